# frozen_string_literal: true

# Plays the host plug-in's part: a host model (materials, definitions with triangle
# geometry, instances, loose geometry), an OBJ reader, the built-in sample model, and the
# exporter that drives the extension's Ruby classes along a model export.
module ZarniksuDriver
end

require_relative "zarniksu_driver/transform"
require_relative "zarniksu_driver/model"
require_relative "zarniksu_driver/shapes"
require_relative "zarniksu_driver/progress"
require_relative "zarniksu_driver/obj_reader"
require_relative "zarniksu_driver/sample_model"
require_relative "zarniksu_driver/exporter"

# frozen_string_literal: true

require "json"

module ZarniksuDriver
  # Sends a Model to the extension the way the host's plug-in does on a model export:
  # host materials, definitions, each definition's geometry stream (the loose geometry under
  # id -2), instances, the top-level entities, "apply_geometry", then scene settings and the
  # camera.
  class Exporter
    # The extension's Ruby classes; tests hand in recorders with the same methods.
    Api = Struct.new(:ext, :stream, :definition, :instance, :material, keyword_init: true) do
      def self.from_extension
        missing = %w[ZarnikExt ExtStream ExtDefinition ExtInstance].reject { |name| Object.const_defined?(name) }
        unless missing.empty?
          raise LoadError, "the extension's classes #{missing.join(", ")} are not defined; " \
                           "require \"zarniksu18\" (built with its geometry classes) first"
        end

        material = Object.const_defined?("ExtMaterial") ? Object.const_get("ExtMaterial") : nil
        new(ext: ::ZarnikExt, stream: ::ExtStream, definition: ::ExtDefinition,
            instance: ::ExtInstance, material: material)
      end
    end

    Summary = Struct.new(:materials, :definitions, :meshes, :failed_meshes, :triangles,
                         :corners, :instances, :hidden, :top_level, :seconds, keyword_init: true) do
      def to_s
        text = "#{materials} materials, #{definitions} definitions, #{meshes} meshes " \
               "(#{triangles} triangles), #{instances} instances (#{hidden} hidden), " \
               "#{top_level} top-level entities in #{format("%.2f", seconds)} s"
        failed_meshes.empty? ? text : "#{text}; no mesh for: #{failed_meshes.join(", ")}"
      end
    end

    GEOMETRY_SETTINGS = { "smoothing" => true, "angle" => 89.0 }.freeze

    # Instances cost about as much as a few corners; this weights them for the progress.
    INSTANCE_WEIGHT = 4
    PROGRESS_CHUNK = 4096

    DEFAULT_QUALITY = { "width" => 960, "height" => 540, "sizeType" => 0, "maxSamples" => 1000,
                        "update" => true }.freeze

    # quality, when given, replaces entries of the default scene settings' "quality" section
    # (picture "width" and "height" in pixels, "maxSamples").
    def initialize(api: nil, geometry_settings: GEOMETRY_SETTINGS, scene_settings: nil,
                   progress_io: $stderr, progress: nil, quality: nil)
      @api = api || Api.from_extension
      @geometry_settings = settings_text(geometry_settings)
      @scene_settings = scene_settings
      @quality = DEFAULT_QUALITY.merge(quality || {})
      @progress_io = progress_io
      @progress = progress
      @exported_instances = {}
      @root_streamed = false
    end

    # Exports the whole model and answers a Summary. Exporting again (after the model
    # changed) updates what the extension already holds.
    def export(model)
      started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      progress = Progress.new(work_for(model), io: @progress_io, enabled: @progress)
      summary = Summary.new(materials: 0, definitions: 0, meshes: 0, failed_meshes: [],
                            triangles: 0, corners: 0, instances: 0, hidden: 0, top_level: 0)

      summary.materials = send_materials(model)
      summary.definitions = send_definitions(model)
      send_geometry(model, summary, progress)
      send_instances(model, summary, progress)
      summary.top_level = send_top_level(model)
      @api.ext.apply_geometry
      send_scene(model)
      progress.finish
      summary.seconds = Process.clock_gettime(Process::CLOCK_MONOTONIC) - started
      summary
    end

    private

    def settings_text(settings)
      settings.is_a?(String) ? settings : JSON.generate(settings)
    end

    def work_for(model)
      model.geometry_definitions.sum(&:corner_count) * 2 + model.instances.size * INSTANCE_WEIGHT
    end

    def send_materials(model)
      return 0 unless @api.material.respond_to?(:update)

      model.materials.values.count { |material| @api.material.update(material_entry(material)) == true }
    end

    # The host's twelve-entry description of a material; textures travel by path only.
    def material_entry(material)
      scale_x, scale_y = material.texture_scale
      [material.id, material.name, material.color.map { |c| Integer(c) }, material.texture.to_s,
       scale_x.to_f, scale_y.to_f, material.opacity.to_f, 0, -1, "", [], []]
    end

    # "add" refuses an id that the extension already holds: that definition is updated.
    def send_definitions(model)
      model.definitions.each_value do |definition|
        next if @api.definition.add(definition.id, [], definition.entity_ids) == true

        @api.definition.update(definition.id, [], definition.entity_ids)
      end
      model.definitions.size
    end

    def send_geometry(model, summary, progress)
      model.definitions.each_value do |definition|
        stream(definition, summary, progress) unless definition.empty?
      end
      root = model.root
      if !root.empty?
        stream(root, summary, progress)
        @root_streamed = true
      elsif @root_streamed
        # The loose geometry is gone since the last export: an empty stream drops its mesh.
        @api.stream.set_geometry_stream(root.id, root.name)
        @api.stream.evaluate_stream(@geometry_settings)
        @root_streamed = false
      end
    end

    def stream(definition, summary, progress)
      s = @api.stream
      corners = definition.corner_count
      s.set_geometry_stream(definition.id, definition.name)
      s.warmup_stream(corners, corners)
      stream_corners(s, definition.corner_slots, progress)
      stream_indices(s, corners, progress)
      definition.material_runs.each_with_index do |(material_id, first, stop), index|
        s.add_face(index + 1, material_id, first, stop)
      end
      if s.evaluate_stream(@geometry_settings) == true
        summary.meshes += 1
        summary.triangles += definition.triangle_count
        summary.corners += corners
      else
        summary.failed_meshes << definition.name
      end
    end

    # Position, normal with its smoothing surface, and uv of every corner, in order.
    def stream_corners(s, slots, progress)
      index = 0
      size = slots.size
      chunk = PROGRESS_CHUNK * Definition::CORNER_SLOTS
      while index < size
        start = index
        stop = [index + chunk, size].min
        while index < stop
          p = slots[index]
          n = slots[index + 1]
          uv = slots[index + 2]
          s.add_vertex(p[0], p[1], p[2])
          s.add_normal(n[0], n[1], n[2], slots[index + 3])
          s.add_uvw(uv[0], uv[1], 1.0)
          index += Definition::CORNER_SLOTS
        end
        progress.advance((index - start) / Definition::CORNER_SLOTS)
      end
    end

    # Every corner is its own vertex number; the extension merges shared positions.
    def stream_indices(s, corners, progress)
      number = 1
      while number <= corners
        s.add_vertex_index(number)
        s.add_normal_index(number)
        s.add_uvw_index(number)
        progress.advance(PROGRESS_CHUNK) if (number % PROGRESS_CHUNK).zero?
        number += 1
      end
      progress.advance(corners % PROGRESS_CHUNK)
    end

    def send_instances(model, summary, progress)
      model.instances.each_value do |instance|
        transform = instance.transform.map(&:to_f)
        if @exported_instances.key?(instance.id)
          @api.instance.update(instance.id, instance.definition_id, instance.material_id, transform,
                               nil, instance.visible == true)
        else
          @api.instance.add(instance.id, instance.definition_id, instance.material_id, transform, nil, false)
          @api.instance.set_visibility(instance.id, false) unless instance.visible
          @exported_instances[instance.id] = true
        end
        summary.instances += 1
        summary.hidden += 1 unless instance.visible
        progress.advance(INSTANCE_WEIGHT)
      end
    end

    def send_top_level(model)
      @api.ext.flush_model_entities
      model.top_level_ids.each { |id| @api.ext.define_model_entity(id) }
      model.top_level_ids.size
    end

    def send_scene(model)
      camera = model.camera || Camera.for_bounds(model.bounds)
      @api.ext.set_scene_params(settings_text(@scene_settings || default_scene_settings(camera)))
      @api.ext.set_camera_pos(camera.eye.map(&:to_f), camera.target.map(&:to_f), camera.up.map(&:to_f))
      @api.ext.set_camera_view(camera.fov.to_f, false)
    end

    def default_scene_settings(camera)
      {
        "camera" => { "type" => 0, "fov" => camera.fov.to_f, "focusType" => 2 },
        "kernel" => { "kernelType" => 0 },
        "environment" => { "type" => 0, "sundir" => true, "latitude" => 47.4, "longitude" => 8.5,
                           "month" => 6, "day" => 21, "hour" => 15.0, "gmtoffset" => 1 },
        "quality" => @quality
      }
    end
  end
end

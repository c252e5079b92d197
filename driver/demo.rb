# frozen_string_literal: true

# Exports the built-in sample model, or an OBJ file, into the extension as the host's plug-in
# would, prints what reached the engine, and writes the engine's scene text to a file.
#
#   ruby -I build/ext -I driver driver/demo.rb [model.obj] [--scale F] [--out FILE]

require "optparse"
require "zarniksu_driver"

# Progress goes to stderr; keep stdout in step with it when both reach one terminal.
$stdout.sync = true

options = { out: "demo-scene.zcs", scale: 1.0 }
parser = OptionParser.new do |o|
  o.banner = "usage: demo.rb [model.obj] [--scale INCHES_PER_UNIT] [--out FILE]"
  o.on("--out FILE", "where the engine's scene text goes (default demo-scene.zcs)") { |v| options[:out] = v }
  o.on("--scale F", Float, "inches per OBJ unit (default 1)") { |v| options[:scale] = v }
end
begin
  paths = parser.parse(ARGV)
  raise OptionParser::InvalidArgument, "only one model file" if paths.size > 1
  raise OptionParser::InvalidArgument, "--scale must be positive" unless options[:scale].positive?
rescue OptionParser::ParseError => e
  warn e.message, parser.banner
  exit 2
end

begin
  model = paths.empty? ? ZarniksuDriver::SampleModel.build : ZarniksuDriver::ObjReader.read(paths.first, scale: options[:scale])
rescue ZarniksuDriver::ObjReader::ParseError, SystemCallError => e
  warn "cannot read the model: #{e.message}"
  exit 1
end

begin
  require "zarniksu18"
  require "zarnik_probe"
rescue LoadError => e
  warn "cannot load the extension (#{e.message}); build it first (scripts/build.sh) and pass -I build/ext"
  exit 1
end

require "zarniksu_driver/engine_report"

status = 0
begin
  puts "Model \"#{model.name}\": #{model.materials.size} materials, #{model.definitions.size} definitions, " \
       "#{model.triangle_count} triangles, #{model.instances.size} instances"
  summary = ZarniksuDriver::Exporter.new.export(model)
  puts "Exported: #{summary}"
  report = ZarniksuDriver::EngineReport.new(model, probe: ZarnikProbe)
  report.print_all
  status = 1 unless report.all_ok? && summary.failed_meshes.empty?

  scene = ZarnikProbe.export_root.to_s
  File.write(options[:out], scene)
  puts "Scene text: #{options[:out]} (#{scene.bytesize} bytes)"
rescue SystemCallError => e
  warn "cannot write the scene text: #{e.message}"
  status = 1
rescue LoadError => e
  warn "cannot export: #{e.message}"
  status = 1
ensure
  ZarnikExt.shutdown
end
exit status

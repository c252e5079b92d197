# frozen_string_literal: true

# Exports the built-in sample model, or an OBJ file, into the extension as the host's plug-in
# would, prints what reached the engine, and writes the engine's scene text to a file.
#
#   ruby -I build/ext -I driver driver/demo.rb [model.obj] [--scale F] [--out FILE]

require "optparse"
require "zarniksu_driver"

# Progress goes to stderr; keep stdout in step with it when both reach one terminal.
$stdout.sync = true

READER_NOTES = <<~TEXT
  OBJ files: v (extra numbers such as vertex colours are set aside), vt, vn, f with
  positive and negative (relative) indices, polygons (concave ones triangulated inside
  their outline), o and g (each a definition placed once; faces before any are the
  model's loose geometry), usemtl, mtllib (Kd, d, Tr and map_Kd with its options; Windows
  folder separators are read), s (smoothing groups). Numbers in every form C's strtod
  reads; UTF-8 with or without a byte-order mark, UTF-16 with one; text that is not UTF-8
  is read as Latin-1. Backslash line continuations are joined. Lines (l) and points (p)
  are skipped and counted; faces that name missing vertices or have fewer than 3 are
  skipped, faces without area dropped; unknown statements, missing material libraries and
  missing textures are warned about once per kind. A model without a camera gets one
  that frames its bounds.
TEXT

options = { out: "demo-scene.zcs", scale: 1.0 }
parser = OptionParser.new do |o|
  o.banner = "usage: demo.rb [model.obj] [--scale INCHES_PER_UNIT] [--out FILE]\n\n" \
             "Exports a model into the extension as the host's plug-in would (the built-in sample\n" \
             "model when no file is given), prints what reached the engine and writes the\n" \
             "engine's scene text.\n\n"
  o.on("--scale F", Float, "inches per unit of the OBJ file (default 1: the file is in inches;",
       "39.3701 for a model in metres, 0.393701 for centimetres)") { |v| options[:scale] = v }
  o.on("--out FILE", "where the engine's scene text goes (default demo-scene.zcs)") { |v| options[:out] = v }
  o.on("-h", "--help", "this text") do
    puts o, "", READER_NOTES
    exit 0
  end
end
begin
  paths = parser.parse(ARGV)
  raise OptionParser::InvalidArgument, "only one model file" if paths.size > 1
  unless options[:scale].positive? && options[:scale].finite?
    raise OptionParser::InvalidArgument, "--scale must be a positive number"
  end
rescue OptionParser::ParseError => e
  warn e.message, parser.banner
  exit 2
end

started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
reader = nil
begin
  if paths.empty?
    model = ZarniksuDriver::SampleModel.build
  else
    progress = ZarniksuDriver::Progress.new(File.size?(paths.first).to_i, label: "read", quiet_below: 20_000_000)
    reader = ZarniksuDriver::ObjReader.new(scale: options[:scale],
                                           progress: ->(done, _total) { progress.advance(done - progress.done) })
    model = reader.read(paths.first)
    progress.finish
  end
rescue ZarniksuDriver::ObjReader::ParseError => e
  warn "cannot read the model: #{e.message}"
  exit 1
end
read_seconds = Process.clock_gettime(Process::CLOCK_MONOTONIC) - started
reader&.warnings&.each { |line| warn "warning: #{line}" }

if model.triangle_count.zero?
  counts = reader&.counts
  skipped = counts ? " (#{counts.faces} faces: #{counts.skipped_faces} skipped, #{counts.degenerate} " \
                     "triangles without area; #{counts.lines} lines and #{counts.points} points skipped)" : ""
  warn "nothing to export: #{paths.first} has no usable faces#{skipped}"
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
  if reader
    c = reader.counts
    dropped = [(["#{c.skipped_faces} faces skipped"] if c.skipped_faces.positive?),
               (["#{c.degenerate} triangles without area dropped"] if c.degenerate.positive?),
               (["#{c.lines} lines"] if c.lines.positive?), (["#{c.points} points"] if c.points.positive?)].compact
    puts "Read in #{format("%.2f", read_seconds)} s: #{c.faces} faces#{dropped.empty? ? "" : " (#{dropped.join(", ")})"}"
  end
  summary = ZarniksuDriver::Exporter.new.export(model)
  puts "Exported: #{summary}"
  report = ZarniksuDriver::EngineReport.new(model, probe: ZarnikProbe)
  report.print_all
  status = 1 unless report.all_ok? && summary.failed_meshes.empty?

  scene = ZarnikProbe.export_root.to_s
  File.write(options[:out], scene)
  puts "Scene text: #{options[:out]} (#{scene.bytesize} bytes)"
  total = Process.clock_gettime(Process::CLOCK_MONOTONIC) - started
  puts format("Total: %.2f s (reading %.2f s, export %.2f s)", total, read_seconds, summary.seconds)
rescue SystemCallError => e
  warn "cannot write the scene text: #{e.message.sub(/ @ .*/m, "")}"
  status = 1
rescue LoadError => e
  warn "cannot export: #{e.message}"
  status = 1
ensure
  ZarnikExt.shutdown
end
exit status

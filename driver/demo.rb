# frozen_string_literal: true

# Exports the built-in sample model, or an OBJ file, into the extension as the host's plug-in
# would, prints what reached the engine, writes the engine's scene text to a file and the
# picture the engine renders of it beside that.
#
#   ruby -I build/ext -I driver driver/demo.rb [model.obj] [--scale F] [--out FILE]
#        [--image FILE] [--samples N] [--size WxH]

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

# The extension renders pictures of at most this many pixels across and down.
MAX_SIZE = [1000, 600].freeze
MAX_SAMPLES = 100_000
# A render that adds no sample for this long has stopped.
RENDER_STALL_SECONDS = 300

options = { out: "demo-scene.zcs", scale: 1.0, image: nil, samples: 16, size: [640, 480] }
parser = OptionParser.new do |o|
  o.banner = "usage: demo.rb [model.obj] [--scale INCHES_PER_UNIT] [--out FILE] [--image FILE]\n" \
             "               [--samples N] [--size WxH]\n\n" \
             "Exports a model into the extension as the host's plug-in would (the built-in sample\n" \
             "model when no file is given), prints what reached the engine, writes the engine's\n" \
             "scene text and renders its picture as a PNG file.\n\n"
  o.on("--scale F", Float, "inches per unit of the OBJ file (default 1: the file is in inches;",
       "39.3701 for a model in metres, 0.393701 for centimetres)") { |v| options[:scale] = v }
  o.on("--out FILE", "where the engine's scene text goes (default demo-scene.zcs)") { |v| options[:out] = v }
  o.on("--image FILE", "where the rendered picture goes (default demo.png beside the scene text)") do |v|
    options[:image] = v
  end
  o.on("--samples N", Integer, "samples per pixel to render (default 16; 1 to #{MAX_SAMPLES})") do |v|
    options[:samples] = v
  end
  o.on("--size WxH", "picture size in pixels (default 640x480; at most #{MAX_SIZE.join("x")})") do |v|
    match = /\A(\d{1,9})x(\d{1,9})\z/.match(v)
    raise OptionParser::InvalidArgument, "#{v} (width x height in pixels, such as 640x480)" unless match

    options[:size] = [Integer(match[1], 10), Integer(match[2], 10)]
  end
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
  unless (1..MAX_SAMPLES).cover?(options[:samples])
    raise OptionParser::InvalidArgument, "--samples must be a whole number from 1 to #{MAX_SAMPLES}"
  end
  width, height = options[:size]
  unless (1..MAX_SIZE[0]).cover?(width) && (1..MAX_SIZE[1]).cover?(height)
    raise OptionParser::InvalidArgument,
          "--size #{width}x#{height}: the picture is 1 to #{MAX_SIZE[0]} pixels wide and 1 to #{MAX_SIZE[1]} high"
  end
  folder = File.dirname(options[:out])
  options[:image] ||= folder == "." ? "demo.png" : File.join(folder, "demo.png")
  { "--out" => options[:out], "--image" => options[:image] }.each do |option, file|
    folder = File.dirname(file)
    next if File.directory?(folder)

    raise OptionParser::InvalidArgument, "#{option} #{file}: there is no folder #{folder}"
  end
  if File.expand_path(options[:out]) == File.expand_path(options[:image])
    raise OptionParser::InvalidArgument, "--image and --out name the same file"
  end
rescue OptionParser::ParseError => e
  warn "demo.rb: #{e.message} (demo.rb --help lists the options)"
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

class DemoFailure < StandardError; end

# Lets the engine's workers render what was exported until the picture has its samples,
# with a line on stderr every few samples; answers the seconds it took. Restarting takes a
# fresh look at the scene: the camera set last is in it, and the count starts from 0.
def render_picture(samples)
  started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  step = [samples / 20, 1].max
  reported = 0
  last_change = started
  ZarnikExt.update_and_restart
  loop do
    done = ZarnikProbe.samples_done.to_i
    now = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    if done > reported
      last_change = now
      if done >= samples || done >= reported - reported % step + step
        warn "render: #{[done, samples].min} of #{samples} samples"
        reported = done
      end
    end
    return now - started if done >= samples

    state = ZarnikProbe.render_state
    if state != "running" || now - last_change > RENDER_STALL_SECONDS
      raise DemoFailure, "the render stopped at #{done} of #{samples} samples (the engine is #{state})"
    end

    ZarnikProbe.wait_for_samples(done + 1, 250)
  end
end

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
  width, height = options[:size]
  # The camera's angle is vertical; a picture taller than wide still shows the whole model.
  model.camera = model.camera.for_aspect(width.to_f / height) if model.camera
  quality = { "width" => width, "height" => height, "maxSamples" => options[:samples] }
  summary = ZarniksuDriver::Exporter.new(quality: quality).export(model)
  puts "Exported: #{summary}"
  report = ZarniksuDriver::EngineReport.new(model, probe: ZarnikProbe)
  report.print_all
  status = 1 unless report.all_ok? && summary.failed_meshes.empty?

  scene = ZarnikProbe.export_root.to_s
  begin
    File.write(options[:out], scene)
  rescue SystemCallError => e
    raise DemoFailure, "cannot write the scene text: #{e.message.sub(/ @ .*/m, "")}"
  end
  puts "Scene text: #{options[:out]} (#{scene.bytesize} bytes)"

  render_seconds = render_picture(options[:samples])
  unless ZarnikProbe.render_image(options[:image])
    raise DemoFailure, "cannot write the picture #{options[:image]}"
  end
  puts format("Picture: %s (%dx%d, %d samples in %.2f s, %.1f samples/s)", options[:image], width, height,
              options[:samples], render_seconds, options[:samples] / [render_seconds, 1e-6].max)
  total = Process.clock_gettime(Process::CLOCK_MONOTONIC) - started
  puts format("Total: %.2f s (reading %.2f s, export %.2f s, rendering %.2f s)", total, read_seconds,
              summary.seconds, render_seconds)
rescue DemoFailure => e
  warn e.message
  status = 1
rescue LoadError => e
  warn "cannot export: #{e.message}"
  status = 1
ensure
  ZarnikExt.shutdown
end
exit status

# frozen_string_literal: true

# OBJ reading and the whole export of an OBJ file; prints figures, asserts nothing.
#
#   cmake --build build --target noop_ext     # the do-nothing baseline, once
#   HOME=$(mktemp -d) ruby -I build/ext -I driver bench/obj_bench.rb [--triangles N] [--no-export] [--ruby-only]
#
# 1. Writes a waved grid of at least N triangles (default 1,000,000) as an OBJ file with
#    positions, texture coordinates and normals, every face naming all three.
# 2. Reads it with the driver's OBJ reader, and side by side with a bare Ruby loop that only
#    splits the same lines into words: what any reader written in Ruby pays at least. Each
#    side runs twice, taking turns, and counts its better time. The process's CPU time is
#    printed too: on a machine that other work keeps busy it wanders less than the clock.
#    The reader reads the common lines with its C scanner when that is built (zarniksu_obj_scan
#    on the load path); --ruby-only times its Ruby code alone.
# 3. Exports the model read into the extension (on a fresh scene each time) and into methods
#    that do nothing, twice each, taking turns; the difference of the better times is what
#    was spent inside the extension, given as a share of the whole: reading plus export.

require "optparse"
require "tmpdir"
require "zarniksu_driver"

module ObjBench
  module_function

  def now
    Process.clock_gettime(Process::CLOCK_MONOTONIC)
  end

  def seconds
    GC.start
    started = now
    yield
    now - started
  end

  # [wall clock seconds, CPU seconds of the process]
  def both_seconds
    GC.start
    started = now
    cpu = Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID)
    yield
    [now - started, Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID) - cpu]
  end

  # n x n quads, two triangles each; answers the triangle count.
  def write_grid(path, min_triangles)
    n = Math.sqrt(min_triangles / 2.0).ceil
    File.open(path, "w") do |io|
      io.puts "# waved grid, #{n} x #{n} quads", "o Grid"
      (n + 1).times do |i|
        (n + 1).times do |j|
          z = 4.0 * Math.sin(i * 0.05) * Math.cos(j * 0.05)
          io.puts format("v %.4f %.4f %.4f", i * 2.0, z, j * 2.0)
        end
      end
      (n + 1).times { |i| (n + 1).times { |j| io.puts format("vt %.5f %.5f", i.to_f / n, j.to_f / n) } }
      (n + 1).times do |i|
        (n + 1).times do |j|
          dx = 0.1 * Math.cos(i * 0.05) * Math.cos(j * 0.05)
          dz = -0.1 * Math.sin(i * 0.05) * Math.sin(j * 0.05)
          length = Math.sqrt(dx * dx + dz * dz + 1.0)
          io.puts format("vn %.5f %.5f %.5f", -dx / length, 1.0 / length, -dz / length)
        end
      end
      n.times do |i|
        n.times do |j|
          a = i * (n + 1) + j + 1
          b = a + n + 1
          io.puts "f #{a}/#{a}/#{a} #{a + 1}/#{a + 1}/#{a + 1} #{b + 1}/#{b + 1}/#{b + 1}"
          io.puts "f #{a}/#{a}/#{a} #{b + 1}/#{b + 1}/#{b + 1} #{b}/#{b}/#{b}"
        end
      end
    end
    2 * n * n
  end

  def bare_split(path)
    words = 0
    File.foreach(path) { |line| words += line.split.size }
    words
  end

  # The extension's entity methods, answering as they would but doing nothing.
  class Nothing
    def method_missing(_name, *_args)
      true
    end

    def respond_to_missing?(_name, _private = false)
      true
    end
  end

  # The stream: the per-corner calls go to the do-nothing C methods of the same arities
  # (noop_ext), so that only the extension's own work makes the difference.
  def idle_stream
    require "noop_ext"
    stream = ZarnikBenchNoop
    %i[set_geometry_stream warmup_stream add_face evaluate_stream].each do |name|
      stream.define_singleton_method(name) { |*_| true }
    end
    stream
  end

  def export(model, api)
    ZarniksuDriver::Exporter.new(api: api, progress: false).export(model)
  end
end

options = { triangles: 1_000_000, export: true, native: true }
OptionParser.new do |o|
  o.on("--triangles N", Integer, "at least this many triangles (default 1,000,000)") { |v| options[:triangles] = v }
  o.on("--no-export", "time the reading only") { options[:export] = false }
  o.on("--ruby-only", "read without the reader's C scanner") { options[:native] = false }
end.parse!(ARGV)

Dir.mktmpdir("obj_bench") do |dir|
  path = File.join(dir, "grid.obj")
  triangles = ObjBench.write_grid(path, options[:triangles])
  puts format("OBJ file: %d triangles, %.1f MB", triangles, File.size(path) / 1e6)
  native = options[:native] && ZarniksuDriver::ObjReader.native?
  puts "reader: #{native ? "common lines read by the C scanner" : "every line read in Ruby"}"
  read_obj = -> { ZarniksuDriver::ObjReader.new(native: native).read(path) }

  reader = []
  bare = []
  2.times do
    bare << ObjBench.both_seconds { ObjBench.bare_split(path) }
    reader << ObjBench.both_seconds { read_obj.call }
  end
  wall = [reader.map(&:first).min, bare.map(&:first).min]
  cpu = [reader.map(&:last).min, bare.map(&:last).min]
  puts format("reading: driver's reader %.2f s, bare split loop %.2f s: %.2fx (CPU time %.2f s and %.2f s: %.2fx)",
              *wall, wall[0] / wall[1], *cpu, cpu[0] / cpu[1])
  next unless options[:export]

  require "zarniksu18"
  model = nil
  read = ObjBench.seconds { model = read_obj.call }
  nothing = ObjBench::Nothing.new
  idle_api = ZarniksuDriver::Exporter::Api.new(ext: nothing, stream: ObjBench.idle_stream, definition: nothing,
                                               instance: nothing, material: nothing)
  real_api = ZarniksuDriver::Exporter::Api.from_extension
  idle = []
  real = []
  2.times do
    idle << ObjBench.seconds { ObjBench.export(model, idle_api) }
    ZarnikExt.reset_scene
    real << ObjBench.seconds { ObjBench.export(model, real_api) }
  end
  whole = read + real.min
  inside = real.min - idle.min
  puts format("whole export, reading included: %.2f s (reading %.2f s, export %.2f s); inside the extension " \
              "%.2f s, %.0f%% of the whole (the export into methods that do nothing: %.2f s)",
              whole, read, real.min, inside, inside * 100 / whole, idle.min)
  ZarnikExt.shutdown
end

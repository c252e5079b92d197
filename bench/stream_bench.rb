# frozen_string_literal: true

# Streaming and apply benchmarks; prints figures, asserts nothing.
#
#   ruby -I build/ext bench/stream_bench.rb [--corners N]
#
# 1. Streams a smooth grid of at least N triangle corners (default 1,000,000) through the
#    extension: per corner "add_vertex", "add_normal", "add_uvw" and the three index calls,
#    then "evaluate_stream". The same loop then makes the same calls to methods that do
#    nothing, which is what Ruby's calls alone cost; the ratio is the extension's overhead.
#    Each side runs nine times, taking turns, on thread CPU time, and counts its median.
#    The extension merges most corners on a thread of its own while Ruby calls, so the
#    wall-clock ratio (what the user waits) and that thread's CPU time are printed too.
#    The first stream after an "apply_geometry" is timed on its own: it is the one a user
#    waits for on every export.
# 2. Times "apply_geometry" for 1,000 definitions placed by 100,000 instances nested two
#    levels deep, and for ten times fewer; each size runs in a fresh process so that one
#    scene does not weigh on the other's time.

require "optparse"
require "rbconfig"

module StreamBench
  Grid = Struct.new(:px, :py, :pz, :nx, :ny, :nz, :u, :v, :count, :positions)

  module_function

  def now
    Process.clock_gettime(Process::CLOCK_MONOTONIC)
  end

  # Thread CPU time: what other work on the machine does to the wall clock stays out.
  def cpu
    Process.clock_gettime(Process::CLOCK_THREAD_CPUTIME_ID)
  end

  # Answers the block's thread CPU time; its wall-clock time is kept in @wall.
  def seconds(&block)
    GC.start
    started = cpu
    wall_started = now
    block.call
    @wall = now - wall_started
    cpu - started
  end

  # The CPU time the extension's merge thread has used so far, in seconds (nil when there
  # is no such thread yet). It merges while Ruby calls, so thread CPU time leaves it out.
  def merge_thread_cpu
    Dir.glob("/proc/self/task/*").sum(0.0) do |task|
      next 0.0 unless (File.read("#{task}/comm").strip rescue "") == "zarnik-merge"

      File.read("#{task}/schedstat").split.first.to_f / 1e9
    end
  end

  def median(values)
    values.sort[values.size / 2]
  end

  # A gently waved square of n x n quads, two triangles each, every corner streamed on its
  # own so that the extension merges the shared positions and normals.
  def grid(min_corners)
    n = Math.sqrt(min_corners / 6.0).ceil
    grid = Grid.new([], [], [], [], [], [], [], [], 0, (n + 1)**2)
    point = lambda do |i, j|
      x = i * 2.0
      y = j * 2.0
      z = 4.0 * Math.sin(i * 0.05) * Math.cos(j * 0.05)
      dx = 0.1 * Math.cos(i * 0.05) * Math.cos(j * 0.05)
      dy = -0.1 * Math.sin(i * 0.05) * Math.sin(j * 0.05)
      length = Math.sqrt(dx * dx + dy * dy + 1.0)
      grid.px << x
      grid.py << y
      grid.pz << z
      grid.nx << -dx / length
      grid.ny << -dy / length
      grid.nz << 1.0 / length
      grid.u << i.to_f / n
      grid.v << j.to_f / n
    end
    n.times do |i|
      n.times do |j|
        [[i, j], [i + 1, j], [i + 1, j + 1], [i, j], [i + 1, j + 1], [i, j + 1]].each { |a, b| point.call(a, b) }
      end
    end
    grid.count = grid.px.size
    grid
  end

  # The measured loop, identical for the extension and for the do-nothing methods.
  def corner_calls(target, grid)
    px, py, pz, nx, ny, nz, u, v = grid.px, grid.py, grid.pz, grid.nx, grid.ny, grid.nz, grid.u, grid.v
    count = grid.count
    i = 0
    while i < count
      target.add_vertex(px[i], py[i], pz[i])
      target.add_normal(nx[i], ny[i], nz[i], 1)
      target.add_uvw(u[i], v[i], 1.0)
      i += 1
    end
    k = 1
    while k <= count
      target.add_vertex_index(k)
      target.add_normal_index(k)
      target.add_uvw_index(k)
      k += 1
    end
  end

  # One stream of the whole grid into the definition; answers [total, evaluate_stream, answer].
  def stream_once(definition_id, grid)
    built = nil
    evaluate = nil
    total = seconds do
      ExtStream.set_geometry_stream(definition_id, "benchmark grid")
      ExtStream.warmup_stream(grid.count, grid.count)
      corner_calls(ExtStream, grid)
      ExtStream.add_face(1, -1, 0, grid.count / 3)
      started = cpu
      built = ExtStream.evaluate_stream('{"smoothing":true}')
      evaluate = cpu - started
    end
    [total, evaluate, built]
  end

  # Both sides run ROUNDS times, taking turns, and the median counts. The first run of the
  # process pays for every page of memory the system hands over for the first time and is
  # shown on its own, as is a stream right after an apply.
  ROUNDS = 9

  def stream_benchmark(min_corners)
    grid = grid(min_corners)
    puts "Stream: #{grid.count} corners (#{grid.count / 3} triangles over #{grid.positions} positions)"
    definition_id = 900_001
    ExtDefinition.add(definition_id, [], [])
    noops = []
    streams = []
    noop_walls = []
    stream_walls = []
    merge_before = merge_thread_cpu
    ROUNDS.times do
      noops << seconds { corner_calls(ZarnikBenchNoop, grid) }
      noop_walls << @wall
      streams << stream_once(definition_id, grid)
      stream_walls << @wall
    end
    merge_cpu = (merge_thread_cpu - merge_before) / ROUNDS
    ZarnikExt.apply_geometry
    after_apply = stream_once(definition_id, grid)
    noop = median(noops)
    first = streams.first
    middle = streams.sort_by(&:first)[ROUNDS / 2]

    [["extension  ", middle], ["  first run", first], ["after apply", after_apply]].each do |label, (total, evaluate, built)|
      puts format("  %s: %7.3f s  (calls %.3f s, evaluate_stream %.3f s%s)", label, total, total - evaluate,
                  evaluate, built == true ? "" : ", which answered #{built.inspect}")
    end
    puts format("  do-nothing : %7.3f s  (median; spread %.3f to %.3f s)", noop, noops.min, noops.max)
    puts format("  ratio      : %7.2f  (median of %d rounds; first run %.2f, after apply %.2f)", middle.first / noop,
                ROUNDS, first.first / noop, after_apply.first / noop)
    puts format("  wall clock : %7.3f s against %.3f s, ratio %.2f (medians)", median(stream_walls),
                median(noop_walls), median(stream_walls) / median(noop_walls))
    puts format("  merge thread: %.3f s CPU per stream, beside the calls", merge_cpu)
  end

  # One scene for the apply benchmark: containers, each placed once at the top level,
  # each placing CHILDREN instances of leaf definitions; leaves + containers = definitions.
  CHILDREN = 999

  def apply_scene(containers, leaves)
    if defined?(ExtMaterial) && ExtMaterial.respond_to?(:update)
      [[1, "Benchmark red", [200, 40, 40]], [2, "Benchmark blue", [40, 40, 200]]].each do |id, name, color|
        ExtMaterial.update([id, name, color, "", 1.0, 1.0, 1.0, 0, -1, "", [], []])
      end
    end
    leaves.times { |leaf| stream_leaf(10_000 + leaf, 1.0 + (leaf % 7) * 0.25) }
    next_id = 1_000_000
    ZarnikExt.flush_model_entities
    containers.times do |c|
      container = 20_000 + c
      children = Array.new(CHILDREN) { |j| next_id + j }
      ExtDefinition.add(container, [], children)
      children.each_with_index do |id, j|
        leaf = 10_000 + (c * CHILDREN + j) % leaves
        ExtInstance.add(id, leaf, [-1, 1, 2][j % 3], translation((j % 40) * 10.0, (j / 40) * 10.0, 0.0), nil, false)
      end
      next_id += CHILDREN
      ExtInstance.add(next_id, container, -1, translation(0.0, c * 300.0, 0.0), nil, false)
      ZarnikExt.define_model_entity(next_id)
      next_id += 1
    end
    next_id - 1_000_000
  end

  def translation(x, y, z)
    [1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, x, y, z, 1.0]
  end

  # A small tetrahedron, every side a flat surface of its own.
  def stream_leaf(id, size)
    ExtDefinition.add(id, [], [])
    points = [[0.0, 0.0, 0.0], [size, 0.0, 0.0], [0.0, size, 0.0], [0.0, 0.0, size]]
    triangles = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]
    ExtStream.set_geometry_stream(id, "leaf #{id}")
    triangles.each_with_index do |corners, surface|
      a, b, c = corners.map { |k| points[k] }
      e1 = b.zip(a).map { |p, q| p - q }
      e2 = c.zip(a).map { |p, q| p - q }
      normal = [e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]]
      [a, b, c].each do |p|
        ExtStream.add_vertex(*p)
        ExtStream.add_normal(*normal, surface + 1)
        ExtStream.add_uvw(p[0], p[1], 1.0)
      end
    end
    (1..12).each do |k|
      ExtStream.add_vertex_index(k)
      ExtStream.add_normal_index(k)
      ExtStream.add_uvw_index(k)
    end
    ExtStream.add_face(1, -1, 0, 4)
    ExtStream.evaluate_stream('{"smoothing":false}')
  end

  # Runs in the child process: builds one scene and prints its apply times.
  def apply_child(scale)
    containers = 10 * scale
    instances = apply_scene(containers, 90 * scale)
    first = seconds { ZarnikExt.apply_geometry }
    repeat = seconds { ZarnikExt.apply_geometry }
    puts "APPLY #{containers + 90 * scale} #{instances} #{first} #{repeat}"
  end

  def apply_benchmark
    ext_dir = File.dirname($LOADED_FEATURES.find { |f| f.end_with?("/zarniksu18.so") })
    puts "Apply (instances nested two levels deep: containers at the top, leaves inside):"
    results = [10, 1].map do |scale|
      output = IO.popen([RbConfig.ruby, "-I", ext_dir, __FILE__, "--apply-child", scale.to_s], &:read)
      line = output.lines.find { |l| l.start_with?("APPLY ") }
      unless $?.success? && line
        puts "  the #{scale == 10 ? "large" : "small"} scene failed:", output
        return
      end
      _, definitions, instances, first, repeat = line.split
      puts format("  %5d definitions, %6d instances: first apply %7.3f s, repeat %7.3f s",
                  Integer(definitions), Integer(instances), Float(first), Float(repeat))
      [Float(first), Float(repeat)]
    end
    (large_first, large_repeat), (small_first, small_repeat) = results
    puts format("  ratio large/small: first %.1f, repeat %.1f (10 is linear)",
                large_first / small_first, large_repeat / small_repeat)
  end
end

options = { corners: 1_000_000 }
OptionParser.new do |o|
  o.on("--corners N", Integer) { |v| options[:corners] = v }
  o.on("--apply-child SCALE", Integer) { |v| options[:apply_child] = v }
end.parse!(ARGV)

require "zarniksu18"
begin
  if options[:apply_child]
    StreamBench.apply_child(options[:apply_child])
  else
    require "noop_ext"
    StreamBench.stream_benchmark(options[:corners])
    StreamBench.apply_benchmark
  end
ensure
  ZarnikExt.shutdown
end

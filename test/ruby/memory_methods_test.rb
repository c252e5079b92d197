# A plug-in script may call one method in a tight loop for as long as the host runs: every
# method of the extension is called many times in a row, the whole set eight rounds over, and
# from the second round on the allocator's bytes in use must stay where the first round left
# them, give or take the allocator's noise. The full count is 20,000 calls a method (scripts/fuzz.sh); the
# test run sets ZARNIKSU_METHOD_CALLS lower.
ENV["ZARNIKSU_FILE_PANEL_ANSWER"] = ""
require "tmpdir"
require "test_helper"
require_relative "../fuzz/memory"
require_relative "../fuzz/surface"

class MemoryMethodsTest < Minitest::Test
  CLASSES = %w[ZarnikExt ExtStream ExtDefinition ExtInstance ExtEntity ExtUtils ExtMaterial ExtMaterials].freeze
  ROUNDS = 8
  # Allocator noise: fragments of freed blocks and pages not yet given back.
  NOISE = 4 * 1024 * 1024
  STREAM = %i[add_vertex add_normal add_uvw add_vertex_index add_normal_index add_uvw_index add_face].freeze

  def methods_to_call(dir)
    methods = CLASSES.flat_map do |name|
      klass = Object.const_get(name)
      klass.singleton_methods(false).sort.map { |m| [klass, m, klass.method(m).arity] }
    end
    methods.reject { |_, name, _| name == :shutdown }
  end

  # One fixed argument list per method, drawn the way the fuzzer draws plausible ones.
  def arguments(generator, klass, name, arity)
    rng = Random.new("#{klass}.#{name}".sum)
    plausible = ZarniksuFuzz::Generator::PLAUSIBLE["#{klass}.#{name}"]
    args = plausible ? plausible.call(generator, rng) : Array.new([arity, 0].max) { 101 }
    generator.avoid_known_faults([klass, name, args])[2]
  end

  # A small scene, so that the calls find definitions, instances and materials to work on.
  def scene
    ExtMaterial.update([1, "m", [200, 10, 10], "", 1.0, 1.0, 1.0, 0, -1, "", [], []])
    ExtDefinition.add(101, [], [1])
    ExtStream.set_geometry_stream(101, "d")
    [[0, 0, 0], [1, 0, 0], [0, 1, 0]].each_with_index do |p, i|
      ExtStream.add_vertex(*p.map(&:to_f))
      ExtStream.add_normal(0.0, 0.0, 1.0, 1)
      ExtStream.add_uvw(0.0, 0.0, 1.0)
      ExtStream.add_vertex_index(i + 1)
      ExtStream.add_normal_index(i + 1)
      ExtStream.add_uvw_index(i + 1)
    end
    ExtStream.add_face(1, 1, 0, 1)
    ExtStream.evaluate_stream("")
    ExtInstance.add(1, 101, 1, [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0], nil, false)
    ZarnikExt.flush_model_entities
    ZarnikExt.define_model_entity(1)
    ZarnikExt.apply_geometry
  end

  def test_each_method_called_in_a_row_does_not_grow_memory
    calls = MemoryHelper.count("ZARNIKSU_METHOD_CALLS", 20_000)
    dir = Dir.mktmpdir("zarniksu-memory")
    generator = ZarniksuFuzz::Generator.new([], dir)
    methods = methods_to_call(dir).map { |klass, name, arity| [klass, name, arguments(generator, klass, name, arity)] }
    refute_empty methods
    resident = []
    sizes = Array.new(ROUNDS) do
      methods.each do |klass, name, args|
        scene
        # What a stream collects is the stream's, not a leak: each run starts a stream afresh.
        ExtStream.set_geometry_stream(101, "d") if klass == ExtStream && STREAM.include?(name)
        calls.times do
          klass.public_send(name, *args)
        rescue TypeError, RangeError, ArgumentError
          nil
        end
        ExtStream.set_geometry_stream(101, "d")
        ZarnikExt.reset_scene
        ExtMaterials.clean_scene_materials
      end
      resident << MemoryHelper.resident_bytes
      MemoryHelper.heap_bytes
    end
    puts "heap in use after each round: #{sizes.map { |s| MemoryHelper.mib(s) }.join(", ")}"
    puts "resident memory after each round: #{resident.map { |s| MemoryHelper.mib(s) }.join(", ")}"
    return if MemoryHelper.sanitized?

    # The engine renders in the background, so any round may end with a picture's buffers or a
    # thread's allocator arena newly held: a one-off step of a few MiB. A leak climbs every round
    # and leaves that allowance behind within the six rounds compared.
    sizes.drop(2).each_with_index do |size, i|
      assert_operator size, :<=, sizes[1] + 3 * NOISE,
                      "round #{i + 3} ends at #{MemoryHelper.mib(size)}, round 2 at #{MemoryHelper.mib(sizes[1])}"
    end
  ensure
    FileUtils.rm_rf(dir) if dir
  end
end

# The host must survive whatever its scripts send: every class method of the extension is
# called many times with arguments of every kind. Ruby errors are fine; a crash, an abort or
# a hang fails the whole file.
ENV["ZARNIKSU_FILE_PANEL_ANSWER"] = ""
require "test_helper"

class RobustnessTest < Minitest::Test
  CLASSES = %w[ZarnikExt ExtStream ExtDefinition ExtInstance ExtEntity ExtUtils ExtMaterial ExtMaterials].freeze
  VALUES = [nil, true, false, 0, -1, -2, 1, 7, 2**31, -2**63, 2**70, 1.5, -0.0, Float::NAN, Float::INFINITY,
            "", "x", "20001", "{\"a\":", "{\"kernel\":{\"kernelType\":\"x\"}}", "[1,2]", :sym, [], [nil], [1] * 16,
            [[1] * 16, nil, "a"], [7, "m", [255, 0, 0], "", 1.0, 1.0, 1.0, 0, -1, "", [], []], {}, {"a" => 1},
            Object.new, "a\0b", "a" * 10_000].freeze

  def test_random_calls_with_arguments_of_every_kind
    rng = Random.new(20_261_208)
    methods = CLASSES.flat_map do |name|
      klass = Object.const_get(name)
      (klass.singleton_methods(false) - [:shutdown]).map { |m| [klass, m, klass.method(m).arity] }
    end
    refute_empty methods
    calls = 0
    6000.times do
      klass, name, arity = methods[rng.rand(methods.size)]
      args = Array.new([arity, 0].max) { VALUES[rng.rand(VALUES.size)] }
      begin
        klass.public_send(name, *args)
      rescue StandardError
        nil
      end
      calls += 1
    end
    assert_equal 6000, calls
    # Still fully working afterwards.
    assert_equal true, ZarnikExt.block_updates(false)
    assert_equal false, ZarnikExt.block_updates?
    assert ZarnikProbe.export_root.start_with?("<")
  end
end

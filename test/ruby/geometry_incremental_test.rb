# An apply after a few instance edits walks only what they reach; what reaches the engine
# must be what a full apply of the same model gives. Random edit sequences (the seed is
# printed; ZARNIKSU_SEED repeats one) are applied, and at the end of each round the engine's
# scene text and the apply's log lines are compared with a full apply forced through
# ZARNIKSU_FULL_APPLY.
require "test_helper"
require_relative "geometry_support"

class GeometryIncrementalTest < Minitest::Test
  include GeometrySupport
  include ZarnikTest::Files

  M = INCHES_PER_METRE
  LEAVES = (9000..9003).to_a
  CONTAINERS = (9100..9107).to_a
  MATERIALS = [-1, 9301, 9302].freeze

  def setup
    ENV.delete("ZARNIKSU_FULL_APPLY")
  end

  def teardown
    ENV.delete("ZARNIKSU_FULL_APPLY")
  end

  def host_material(id)
    ExtMaterial.update([id, "paint #{id}", [id % 255, 90, 200], "", 1.0, 1.0, 1.0, 0, -1, "", [], []])
  end

  # Leaves with a mesh; containers holding leaves, one of them placed four times and held
  # by another, so that its instances are reached from several top-level entries; one
  # container would place itself.
  def build_model(rng)
    MATERIALS.drop(1).each { |id| host_material(id) }
    LEAVES.each_with_index do |id, k|
      ExtDefinition.add(id, [], [])
      stream_triangles(id, "incremental leaf #{k}", small_triangle(1.0 + k))
    end
    @children = {}
    next_id = 9500
    CONTAINERS.each_with_index do |container, c|
      ids = Array.new(2 + c % 3) { next_id += 1 }
      ids.each { |id| add_instance(id, LEAVES.sample(random: rng), MATERIALS.sample(random: rng), rng) }
      @children[container] = ids
    end
    add_instance(next_id += 1, CONTAINERS[0], -1, rng)
    @children[CONTAINERS[1]] << next_id
    add_instance(next_id += 1, CONTAINERS[7], -1, rng)
    @children[CONTAINERS[7]] << next_id
    CONTAINERS.each { |container| ExtDefinition.add(container, [], @children[container]) }

    placed = [CONTAINERS[0]] * 3 + CONTAINERS + LEAVES * 4
    @top = placed.shuffle(random: rng).each_with_index.map do |definition, k|
      add_instance(9900 + k, definition, MATERIALS.sample(random: rng), rng)
      9900 + k
    end
    ZarnikExt.flush_model_entities
    @top.each { |id| ZarnikExt.define_model_entity(id) }
  end

  # What the test knows of every instance, to send the host's full update for one field.
  def add_instance(id, definition, material, rng)
    transform = random_transform(rng)
    assert_equal true, ExtInstance.add(id, definition, material, transform, nil, false)
    (@state ||= {})[id] = { definition: definition, transform: transform, material: material, visible: true }
  end

  def random_transform(rng)
    translation(rng.rand(-5..5) * M, rng.rand(-5..5) * M, rng.rand(0..3) * M)
  end

  # One edit a modeller makes between two applies; now and then one that changes the tree.
  def random_edit(rng)
    id = @state.keys.sample(random: rng)
    entry = @state[id]
    case rng.rand(22)
    when 0..7
      entry[:transform] = random_transform(rng)
      ExtInstance.update(id, entry[:definition], entry[:material], entry[:transform], nil, entry[:visible])
    when 8..11
      entry[:material] = MATERIALS.sample(random: rng)
      ExtInstance.update(id, entry[:definition], entry[:material], entry[:transform], nil, entry[:visible])
    when 12..16
      entry[:visible] = !entry[:visible]
      ExtInstance.set_visibility(id, entry[:visible])
    when 17..18
      # The user removes a node in the engine; the apply makes it again.
      nodes = ZarnikProbe.nodes([PLACEMENT, OVERRIDE, GROUP].sample(random: rng))
      ZarnikProbe.destroy(nodes.sample(random: rng)) unless nodes.empty?
    when 19
      # The host deletes a child of a container.
      container, ids = @children.select { |_, list| list.size > 1 }.to_a.sample(random: rng)
      gone = ids.delete(ids.sample(random: rng))
      ExtEntity.delete(gone)
      ExtDefinition.update(container, [], ids)
      @state.delete(gone)
    when 20
      # The user opens an instance for editing and moves it by the edit transform, then closes it.
      ZarnikExt.set_edit_transform(random_transform(rng))
      ExtInstance.set_edit_mode(id, true)
      ExtInstance.update(id, entry[:definition], entry[:material], entry[:transform], nil, entry[:visible])
      ZarnikExt.apply_geometry
      ZarnikExt.clear_edit_list
      entry[:transform] = random_transform(rng)
      ExtInstance.update(id, entry[:definition], entry[:material], entry[:transform], nil, entry[:visible])
    else
      # A new leaf instance in a container: a full apply follows.
      container = CONTAINERS.sample(random: rng)
      new_id = 9700 + @state.size
      add_instance(new_id, LEAVES.sample(random: rng), -1, rng)
      @children[container] << new_id
      ExtDefinition.update(container, [], @children[container])
    end
  end

  # The scene text and the apply's log lines. A node the user destroyed is noticed, and
  # logged, by whichever apply comes first, so those lines are left out.
  def apply_and_read
    before = glog_text.size
    assert_equal true, ZarnikExt.apply_geometry
    lines = glog_text[before..].lines.filter_map { |l| l[/\] (.*)$/, 1] }
    [ZarnikProbe.export_root, lines.grep_v(/destroyed in the engine/)]
  end

  def test_random_edits_reach_the_engine_as_a_full_apply_places_them
    seed = Integer(ENV.fetch("ZARNIKSU_SEED", Random.new_seed % 1_000_000))
    puts "geometry incremental seed #{seed}"
    rng = Random.new(seed)
    build_model(rng)
    apply_and_read

    24.times do |round|
      incremental = nil
      rng.rand(1..4).times do
        rng.rand(1..3).times { random_edit(rng) }
        incremental = apply_and_read
      end
      ENV["ZARNIKSU_FULL_APPLY"] = "1"
      full = apply_and_read
      ENV.delete("ZARNIKSU_FULL_APPLY")
      assert_equal full[0], incremental[0], "seed #{seed}, round #{round}: the engine scene differs"
      assert_equal full[1], incremental[1], "seed #{seed}, round #{round}: the log lines differ"
    end
    assert_equal full_cut_line, apply_and_read[1], "a repeat apply logs the cut placement again"
  end

  # The line every apply of this model logs: the last container holds itself.
  def full_cut_line
    ENV["ZARNIKSU_FULL_APPLY"] = "1"
    apply_and_read[1]
  ensure
    ENV.delete("ZARNIKSU_FULL_APPLY")
  end
end

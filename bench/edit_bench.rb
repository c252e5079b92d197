# frozen_string_literal: true

# What a modeller's edits cost, at growing sizes; prints figures, asserts nothing.
#
#   ruby -I build/ext bench/edit_bench.rb [--quick] [--edit-only]
#
# Each figure is thread CPU time, the median of several rounds. Growth exponents compare two
# sizes: 1 means the cost grows linearly with the size, 2 with its square.
#   painting:  one "set_material" with update on, in a definition of S faces that each have a
#              material of their own (S slots), and one "update_all_materials";
#   deleting:  N top-level instances, then N top-level definitions, deleted one by one in reverse
#              order;
#   one edit:  "apply_geometry" after one instance moved (and, apart, after one took another
#              material and after one was hidden and shown again), against a repeat apply of
#              the same scene. ZARNIKSU_FULL_APPLY=1 in the environment makes every apply a
#              full one, which gives the figures of the full pass for comparison.

require "optparse"

module EditBench
  IDENTITY = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0].freeze

  module_function

  def cpu
    Process.clock_gettime(Process::CLOCK_THREAD_CPUTIME_ID)
  end

  def timed
    started = cpu
    yield
    cpu - started
  end

  def median(values)
    sorted = values.sort
    sorted[sorted.size / 2]
  end

  def exponent(small, large, size_small, size_large)
    Math.log(large / small) / Math.log(size_large.to_f / size_small)
  end

  def translation(x, y, z)
    IDENTITY.dup.tap { |m| m[12, 3] = [x, y, z] }
  end

  def host_material(id)
    ExtMaterial.update([id, "paint #{id}", [id % 255, 90, 200], "", 1.0, 1.0, 1.0, 0, -1, "", [], []])
  end

  # Definition `id` made of `faces` separate triangles, face k painted with material first + k.
  def painted_definition(id, faces, first_material)
    ExtDefinition.add(id, [], [])
    ExtStream.set_geometry_stream(id, "painted #{id}")
    faces.times do |k|
      x = (k % 64) * 2.0
      y = (k / 64) * 2.0
      [[x, y, 0.0], [x + 1.0, y, 0.0], [x, y + 1.0, 0.0]].each do |p|
        ExtStream.add_vertex(*p)
        ExtStream.add_normal(0.0, 0.0, 1.0, k + 1)
        ExtStream.add_uvw(p[0], p[1], 1.0)
      end
    end
    (1..faces * 3).each do |k|
      ExtStream.add_vertex_index(k)
      ExtStream.add_normal_index(k)
      ExtStream.add_uvw_index(k)
    end
    faces.times { |k| ExtStream.add_face(k + 1, first_material + k, k, k + 1) }
    ExtStream.evaluate_stream('{"smoothing":false}')
  end

  def painting(sizes, calls)
    puts "Painting faces (per call, median of #{calls} calls):"
    results = sizes.map do |slots|
      ZarnikExt.reset_scene
      (1..slots + 1).each { |m| host_material(m) }
      painted_definition(500, slots, 1)
      ExtInstance.add(501, 500, -1, IDENTITY, nil, false)
      ZarnikExt.flush_model_entities
      ZarnikExt.define_model_entity(501)
      ZarnikExt.apply_geometry
      paint = Array.new(calls) { |k| timed { ExtDefinition.set_material(500, k + 1, slots + 1, true) } }
      update = Array.new([calls / 4, 3].max) { timed { ExtDefinition.update_all_materials(500) } }
      apply = Array.new(3) { timed { ZarnikExt.apply_geometry } }
      row = [median(paint), median(update), median(apply)]
      puts format("  %5d slots: set_material %8.3f ms, update_all_materials %8.3f ms, apply %8.3f ms",
                  slots, *row.map { |t| t * 1000 })
      row
    end
    names = %w[set_material update_all_materials apply]
    names.each_with_index do |name, i|
      puts format("  growth exponent of %-20s %.2f (%d to %d slots)", name, exponent(results[0][i], results[-1][i],
                                                                                  sizes[0], sizes[-1]),
                  sizes[0], sizes[-1])
    end
  end

  def leaf(id)
    ExtDefinition.add(id, [], [])
    ExtStream.set_geometry_stream(id, "leaf #{id}")
    [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]].each do |p|
      ExtStream.add_vertex(*p)
      ExtStream.add_normal(0.0, 0.0, 1.0, 1)
    end
    (1..3).each do |k|
      ExtStream.add_vertex_index(k)
      ExtStream.add_normal_index(k)
    end
    ExtStream.add_face(1, -1, 0, 1)
    ExtStream.evaluate_stream("")
  end

  def deleting(sizes)
    puts "Deleting one by one, in reverse order (total):"
    rows = sizes.map do |count|
      ZarnikExt.reset_scene
      leaf(7)
      ZarnikExt.flush_model_entities
      ids = (1..count).map { |k| 100_000 + k }
      ids.each_with_index do |id, k|
        ExtInstance.add(id, 7, -1, translation(k * 2.0, 0.0, 0.0), nil, false)
        ZarnikExt.define_model_entity(id)
      end
      ZarnikExt.apply_geometry
      instances = timed { ids.reverse_each { |id| ExtEntity.delete(id) } }
      definitions = (1..count).map { |k| 2_000_000 + k }
      ZarnikExt.flush_model_entities
      # As the host gives them: each definition also stands in the model's top-level list.
      definitions.each do |id|
        ExtDefinition.add(id, [], [])
        ZarnikExt.define_model_entity(id)
      end
      removed = timed { definitions.reverse_each { |id| ExtEntity.delete(id) } }
      puts format("  %7d: instances %7.3f s, definitions %7.3f s", count, instances, removed)
      [instances, removed]
    end
    puts format("  growth exponent: instances %.2f, definitions %.2f",
                exponent(rows[0][0], rows[-1][0], sizes[0], sizes[-1]),
                exponent(rows[0][1], rows[-1][1], sizes[0], sizes[-1]))
  end

  # A repeat apply that walks the whole model, however little changed.
  def full_apply
    forced = ENV.fetch("ZARNIKSU_FULL_APPLY", nil)
    ENV["ZARNIKSU_FULL_APPLY"] = "1"
    timed { ZarnikExt.apply_geometry }
  ensure
    ENV["ZARNIKSU_FULL_APPLY"] = forced
  end

  # Containers of `per` leaf instances each, placed once at the top.
  def one_edit(instances, per = 1000)
    ZarnikExt.reset_scene
    leaves = 100
    leaves.times { |k| leaf(10 + k) }
    ZarnikExt.flush_model_entities
    next_id = 1_000_000
    (instances / per).times do |c|
      children = Array.new(per) { |j| next_id + j }
      ExtDefinition.add(50_000 + c, [], children)
      children.each_with_index do |id, j|
        ExtInstance.add(id, 10 + (j % leaves), -1, translation((j % 40) * 10.0, (j / 40) * 10.0, 0.0), nil, false)
      end
      next_id += per
      ExtInstance.add(next_id, 50_000 + c, -1, translation(0.0, c * 300.0, 0.0), nil, false)
      ZarnikExt.define_model_entity(next_id)
      next_id += 1
    end
    ZarnikExt.apply_geometry
    full = median(Array.new(5) { full_apply })
    nothing = median(Array.new(5) { timed { ZarnikExt.apply_geometry } })
    moved = 1_000_000 + per / 2
    leaf_of_moved = 10 + ((per / 2) % leaves)
    place = translation(((per / 2) % 40) * 10.0, ((per / 2) / 40) * 10.0, 0.0)
    move = median(Array.new(5) do |k|
      ExtInstance.update(moved, leaf_of_moved, -1, translation(k * 3.0, 1.0, 0.0), nil, false)
      timed { ZarnikExt.apply_geometry }
    end)
    ExtInstance.update(moved, leaf_of_moved, -1, place, nil, true)
    host_material(900)
    ZarnikExt.apply_geometry
    paint = median(Array.new(4) do |k|
      ExtInstance.update(moved, leaf_of_moved, k.even? ? 900 : -1, place, nil, true)
      timed { ZarnikExt.apply_geometry }
    end)
    hide = median(Array.new(4) do |k|
      ExtInstance.set_visibility(moved, k.odd?)
      timed { ZarnikExt.apply_geometry }
    end)
    ExtInstance.set_visibility(moved, true)
    puts format("  %8d instances: full repeat apply %7.3f s, with no edit %7.4f s; after one move %7.4f s " \
                "(%.1f%%), one material %7.4f s (%.1f%%), one hidden %7.4f s (%.1f%%)",
                instances, full, nothing, move, 100.0 * move / full, paint, 100.0 * paint / full, hide,
                100.0 * hide / full)
  end
end

options = { quick: false, edit_only: false }
OptionParser.new do |o|
  o.on("--quick", "smaller sizes") { options[:quick] = true }
  o.on("--edit-only", "only the one-edit figures, at 100k and 1M instances") { options[:edit_only] = true }
end.parse!(ARGV)

require "zarniksu18"
begin
  if options[:edit_only]
    puts "One edited instance:"
    (options[:quick] ? [20_000, 100_000] : [100_000, 1_000_000]).each { |n| EditBench.one_edit(n) }
  elsif options[:quick]
    EditBench.painting([100, 400], 8)
    EditBench.deleting([2_000, 8_000])
    puts "One edited instance:"
    EditBench.one_edit(20_000)
  else
    EditBench.painting([250, 1000, 2000], 12)
    EditBench.deleting([25_000, 100_000])
    puts "One edited instance:"
    [100_000, 1_000_000].each { |n| EditBench.one_edit(n) }
  end
ensure
  ZarnikExt.shutdown
end

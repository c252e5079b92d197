# frozen_string_literal: true

module ZarniksuDriver
  # Reads back through the test probe what an export left in the engine: meshes, placements
  # and the geometry group, and checks it against the host model.
  class EngineReport
    MESH = 1
    OVERRIDE = 2
    GEOMETRY_GROUP = 3
    PLACEMENT = 5

    VERTICES_PER_POLYGON = 189
    POSITIONS = 190
    TRANSFORMS = 170
    INPUT_COUNT = 113
    GEOMETRY_PIN = 59

    TOLERANCE = 1e-4

    Check = Struct.new(:ok, :text)

    def initialize(model, probe:, io: $stdout)
      @model = model
      @probe = probe
      @io = io
    end

    def print_all
      print_definitions
      print_meshes
      print_placements
      print_geometry_group
      print_checks
    end

    def checks
      [check_meshes, check_transforms, check_group_inputs]
    end

    def all_ok?
      checks.all?(&:ok)
    end

    private

    def expected_placements
      @expected_placements ||= @model.each_placement.group_by { |definition, _, _| definition.id }
    end

    def meshes
      @meshes ||= @probe.nodes(MESH)
    end

    def placements
      @placements ||= @probe.nodes(PLACEMENT)
    end

    def triangle_count(mesh)
      Array(@probe.attr(mesh, VERTICES_PER_POLYGON)).size
    end

    def vertex_count(mesh)
      Array(@probe.attr(mesh, POSITIONS)).size
    end

    def transforms(placement)
      Array(@probe.attr(placement, TRANSFORMS))
    end

    # The mesh behind a placement: placement -> material override -> mesh.
    def mesh_of(placement)
      source = @probe.input(placement, GEOMETRY_PIN)
      return nil unless source

      @probe.node_type(source) == OVERRIDE ? @probe.input(source, GEOMETRY_PIN) : source
    end

    # Names of the material nodes plugged into the override's slots, "-" for an empty slot.
    def slot_materials(placement)
      override = @probe.input(placement, GEOMETRY_PIN)
      return [] unless override && @probe.node_type(override) == OVERRIDE

      (1...@probe.pin_count(override)).map do |index|
        material = @probe.input_ix(override, index)
        material ? @probe.node_name(material) : "-"
      end
    end

    def name_of(handle)
      handle ? @probe.node_name(handle) : "(nothing)"
    end

    def print_definitions
      @io.puts "Definitions"
      definitions = @model.definitions.values + [@model.root]
      definitions.each do |definition|
        placed = expected_placements.fetch(definition.id, [])
        materials = placed.map { |_, _, material| material }.uniq.size
        @io.puts format("  %5d  %-18s %6d triangles  %3d placements under %d materials, %d entities inside",
                        definition.id, definition.name, definition.triangle_count, placed.size, materials,
                        definition.entity_ids.size)
      end
    end

    def print_meshes
      @io.puts "Meshes (node type #{MESH})"
      @io.puts "  none" if meshes.empty?
      meshes.each do |mesh|
        @io.puts format("  %-24s %6d triangles %6d vertices", name_of(mesh), triangle_count(mesh), vertex_count(mesh))
      end
    end

    def print_placements
      @io.puts "Placements (node type #{PLACEMENT})"
      @io.puts "  none" if placements.empty?
      placements.each do |placement|
        @io.puts "  #{describe_placement(placement)}"
      end
    end

    def describe_placement(placement)
      slots = slot_materials(placement)
      slots_text = slots.empty? ? "" : "  slots: #{slots.join(", ")}"
      format("%-24s %4d transforms%s", name_of(mesh_of(placement)), transforms(placement).size, slots_text)
    end

    def groups
      @groups ||= @probe.nodes(GEOMETRY_GROUP)
    end

    def print_geometry_group
      if groups.empty?
        @io.puts "Geometry group (node type #{GEOMETRY_GROUP}): none"
        return
      end
      groups.each do |group|
        count = @probe.attr(group, INPUT_COUNT)
        @io.puts "Geometry group (node type #{GEOMETRY_GROUP}) \"#{name_of(group)}\": #{count} inputs"
        Integer(count || 0).times do |index|
          input = @probe.input_ix(group, index)
          text = if input.nil? then "empty"
                 elsif @probe.node_type(input) == PLACEMENT then "placement of #{describe_placement(input)}"
                 else "node type #{@probe.node_type(input)} #{name_of(input)}"
                 end
          @io.puts format("  %3d  %s", index, text)
        end
      end
    end

    def print_checks
      @io.puts "Checks"
      checks.each { |check| @io.puts "  #{check.ok ? "ok  " : "FAIL"}  #{check.text}" }
    end

    # Every definition with geometry has one mesh, named after it, with its triangle count.
    def check_meshes
      problems = @model.geometry_definitions.filter_map do |definition|
        found = meshes.select { |mesh| @probe.node_name(mesh) == definition.name }
        if found.size != 1
          "#{definition.name}: #{found.size} meshes"
        elsif triangle_count(found.first) != definition.triangle_count
          "#{definition.name}: #{triangle_count(found.first)} triangles, expected #{definition.triangle_count}"
        end
      end
      Check.new(problems.empty?, "every definition's mesh exists with its triangle count" + details(problems))
    end

    # The engine's transforms of each mesh, over all its placements, are the host's world
    # transforms converted to metres and Y up: the same collection, in any order.
    def check_transforms
      actual = Hash.new { |h, k| h[k] = [] }
      placements.each do |placement|
        mesh = mesh_of(placement)
        actual[@probe.node_name(mesh)].concat(transforms(placement)) if mesh
      end
      problems = @model.geometry_definitions.filter_map do |definition|
        wanted = expected_placements.fetch(definition.id, []).map { |_, world, _| Transform.engine_rows(world) }
        unmatched = match(wanted, actual[definition.name])
        "#{definition.name}: #{unmatched}" if unmatched
      end
      Check.new(problems.empty?, "every placement's transform is the host transform in metres, Y up" +
                                 details(problems))
    end

    # Answers nil when both collections agree, else what differs.
    def match(wanted, got)
      return "#{got.size} transforms, expected #{wanted.size}" if wanted.size != got.size

      left = got.map { |rows| Array(rows).flatten.map(&:to_f) }
      wanted.each do |rows|
        index = left.index { |candidate| close?(candidate, rows) }
        return "no engine transform equals #{rows.map { |v| v.round(4) }.inspect}" unless index

        left.delete_at(index)
      end
      nil
    end

    def close?(a, b)
      a.size == b.size && a.zip(b).all? { |x, y| (x - y).abs <= TOLERANCE * [1.0, y.abs].max }
    end

    # The group holds the loose geometry at input 0 and one material map per definition
    # and instance material after it.
    def check_group_inputs
      return Check.new(false, "there is no geometry group") if groups.size != 1

      group = groups.first
      maps = expected_placements.reject { |id, _| id == Model::ROOT_ID }
                                .sum { |_, list| list.map { |_, _, material| material }.uniq.size }
      wanted = maps + 1
      count = Integer(@probe.attr(group, INPUT_COUNT) || 0)
      problems = []
      problems << "#{count} inputs, expected #{wanted}" if count != wanted
      root_input = @probe.input_ix(group, 0)
      root_name = root_input && name_of(mesh_of(root_input))
      if !@model.root.empty? && root_name != @model.root.name
        problems << "input 0 holds #{root_name.inspect}, not the loose geometry"
      end
      empty = (1...count).count { |index| @probe.input_ix(group, index).nil? }
      problems << "#{empty} empty inputs" if empty.positive?
      Check.new(problems.empty?, "geometry group inputs: loose geometry + #{maps} material maps" + details(problems))
    end

    def details(problems)
      problems.empty? ? "" : " (#{problems.join("; ")})"
    end
  end
end

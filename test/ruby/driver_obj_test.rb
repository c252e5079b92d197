# frozen_string_literal: true

# The host-side driver without the extension: the OBJ reader, the sample model, and the
# calls the exporter makes (recorded instead of sent).

require "minitest/autorun"
require "stringio"
require "tmpdir"
require "zarniksu_driver"
require "png_reader"

module DriverTestSupport
  D = ZarniksuDriver

  def parse(text, **options)
    D::ObjReader.new(**options).parse(StringIO.new(text), source: "t.obj")
  end

  def positions(triangle)
    triangle.corners.map(&:position)
  end

  # What the engine makes of a host point: metres aside, (x, y, z) becomes (x, z, -y).
  def engine_frame(point)
    x, y, z = point
    [x, z, -y]
  end

  # Stands in for the extension's classes and remembers every call.
  class Recorder
    attr_reader :calls, :answers

    def initialize(answers = {})
      @calls = []
      @answers = answers
    end

    def respond_to_missing?(_name, _private = false)
      true
    end

    def method_missing(name, *args)
      @calls << [name, *args]
      answer = @answers.fetch(name, true)
      answer.respond_to?(:call) ? answer.call(*args) : answer
    end

    def names
      @calls.map(&:first)
    end

    def of(name)
      @calls.select { |call| call.first == name }.map { |call| call.drop(1) }
    end
  end

  def export(model, answers = {}, material: :recorder, exporter: nil)
    recorder = Recorder.new(answers)
    api = D::Exporter::Api.new(ext: recorder, stream: recorder, definition: recorder, instance: recorder,
                               material: material == :recorder ? recorder : material)
    exporter ||= D::Exporter.new(api: api, progress: false)
    [exporter.export(model), recorder, exporter]
  end
end

class ObjReaderTest < Minitest::Test
  include DriverTestSupport

  def test_points_come_back_in_the_engine_frame_and_negative_indices_count_back
    model = parse(<<~OBJ, scale: 2.0)
      v 1 2 3
      v 4 5 6
      v 7 8 10
      f -3 -2 -1
      v 0 0 0
      f -4 -1 -2
    OBJ
    first, second = model.root.triangles
    assert_equal [[2.0, -6.0, 4.0], [8.0, -12.0, 10.0], [14.0, -20.0, 16.0]], positions(first)
    assert_equal [[1, 2, 3], [4, 5, 6], [7, 8, 10]].map { |p| p.map { |c| c * 2.0 } },
                 positions(first).map { |p| engine_frame(p) }
    assert_equal [[2.0, -6.0, 4.0], [0.0, -0.0, 0.0], [14.0, -20.0, 16.0]], positions(second)
  end

  def test_polygons_are_fanned_and_missing_normals_and_uvs_are_filled_in
    model = parse(<<~OBJ)
      v 0 0 0
      v 2 0 0
      v 3 1 0
      v 1 3 0
      v -1 1 0
      vt 0.25 0.75
      vn 0 1 0
      f 1 2 3 4 5
      f 1/1/1 2//1 3/1
    OBJ
    fan = model.root.triangles.first(3)
    assert_equal [[0, 1, 2], [0, 2, 3], [0, 3, 4]],
                 fan.map { |t| positions(t).map { |p| model_index(p) } }
    # OBJ +Z is the host's -Y; a polygon counter-clockwise in OBJ's XY plane faces +Z.
    fan.flat_map(&:corners).each do |corner|
      assert_equal [0.0, -1.0, 0.0], corner.normal
      assert_equal [0.0, 0.0], corner.uv
    end
    given = model.root.triangles.last.corners
    assert_equal [[0.25, 0.75], [0.0, 0.0], [0.25, 0.75]], given.map(&:uv)
    assert_equal [[0.0, 0.0, 1.0], [0.0, 0.0, 1.0], [0.0, -1.0, 0.0]], given.map(&:normal)
  end

  # However a corner is written, counted from the start or back from the end, with a sign
  # or not, met first or again, it is the same corner.
  def test_every_way_of_naming_a_corner_gives_the_same_triangles
    head = "v 0 0 0\nv 2 0 0\nv 0 2 0\nvt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\nvn 0 1 0\nvn 1 0 0\n"
    forms = ["f 1/1/1 2/2/2 3/3/3", "f -3/-3/-3 -2/-2/-2 -1/-1/-1", "f +1/+1/+1 2/2/2 3/-1/3",
             "f 1/1/1 2/2/2 3/3/3 \\\n  "]
    corners = forms.map do |face|
      model = parse("#{head}#{face}\n#{face}\n")
      assert_equal 2, model.triangle_count, face
      model.root.triangles.map { |t| t.corners.map { |c| [c.position, c.uv, c.normal] } }.uniq
    end
    assert_equal [corners.first], corners.uniq
    assert_equal [[0.0, 0.0, 0.0], [0.0, 0.0], [0.0, -1.0, 0.0]], corners.first.first.first
    # A part that does not exist is left out the first time and every time after.
    reader = D::ObjReader.new
    model = reader.parse("#{head}f 1/9/1 2/9/2 3//3\nf 1/9/1 2/9/2 3//3\n", source: "t.obj")
    assert_equal [[0.0, 0.0]], model.root.triangles.flat_map(&:corners).map(&:uv).uniq
    assert_match(/texture coordinate 9 does not exist .*\(2 times/, reader.warnings.join)
  end

  def model_index(point)
    [[0, 0, 0], [2, 0, 0], [3, 0, 1], [1, 0, 3], [-1, 0, 1]].index(point.map { |c| c.zero? ? 0 : c.to_i })
  end

  def test_objects_and_groups_become_definitions_placed_once
    model = parse(<<~OBJ)
      v 0 0 0
      v 1 0 0
      v 0 1 0
      f 1 2 3
      o Chair
      f 1 2 3
      g Empty
      g Table top
      f 1 3 2
      o Chair
      f 2 3 1
    OBJ
    assert_equal 1, model.root.triangles.size
    assert_equal ["Chair", "Table top"], model.definitions.values.map(&:name)
    assert_equal [2, 1], model.definitions.values.map { |d| d.triangles.size }
    placed = model.top_level_ids.map { |id| model.instances[id] }
    assert_equal model.definitions.keys, placed.map(&:definition_id)
    assert(placed.all? { |i| i.transform == D::Transform::IDENTITY && i.material_id == -1 && i.visible })
    refute_includes model.definitions.keys + model.instances.keys, D::Model::ROOT_ID
  end

  def test_usemtl_runs_and_the_material_library
    Dir.mktmpdir do |dir|
      Dir.mkdir(File.join(dir, "tex"))
      File.write(File.join(dir, "tex/red brick.png"), "")
      File.write(File.join(dir, "m.mtl"), <<~MTL)
        newmtl red
        Kd 1 0 0.5
        d 0.25
        map_Kd -s 2 3 1 tex/red brick.png
        newmtl grey
        Kd 0.5
        Tr 0.75
      MTL
      File.write(File.join(dir, "m.obj"), <<~OBJ)
        mtllib m.mtl
        v 0 0 0
        v 1 0 0
        v 0 1 0
        f 1 2 3
        usemtl red
        f 1 2 3
        f 1 2 3
        usemtl grey
        f 1 2 3
        usemtl unknown
        f 1 2 3
        usemtl red
        f 1 2 3
      OBJ
      model = D::ObjReader.read(File.join(dir, "m.obj"))
      red, grey, unknown = model.materials.values
      assert_equal [1, "red", [255, 0, 128], File.join(dir, "tex/red brick.png"), 0.25, [2.0, 3.0]],
                   [red.id, red.name, red.color, red.texture, red.opacity, red.texture_scale]
      assert_equal [[128, 128, 128], 0.25, ""], [grey.color, grey.opacity, grey.texture]
      assert_equal [3, [200, 200, 200], 1.0], [unknown.id, unknown.color, unknown.opacity]
      assert_equal [[-1, 0, 1], [1, 1, 3], [2, 3, 4], [3, 4, 5], [1, 5, 6]], model.root.material_runs
    end
  end

  def test_smoothing_groups_become_surface_ids
    model = parse(<<~OBJ)
      v 0 0 0
      v 1 0 0
      v 0 1 0
      v 1 1 0
      f 1 2 3
      s 7
      f 1 2 3 4
      f 2 4 3
      s off
      f 1 2 3 4
      f 1 2 3
      s 0
      f 1 2 3
      s 7
      f 1 2 3
    OBJ
    surfaces = model.root.triangles.map { |t| t.corners.map(&:surface).uniq }
    assert(surfaces.all? { |s| s.size == 1 }, "a face keeps one surface on all its corners")
    surfaces = surfaces.map(&:first)
    assert_equal [7, 7, 7], surfaces.values_at(1, 2, 3)
    assert_equal 7, surfaces.last
    flat = surfaces.values_at(0, 4, 6, 7)
    assert_equal surfaces[4], surfaces[5], "both triangles of one flat quad share its surface"
    assert_equal flat.uniq, flat, "every face outside a group is a surface of its own"
    assert(flat.none? { |s| s == 7 })
  end

  def test_unreadable_vertices_are_refused_with_their_line_number
    {
      "v 1 2" => /a vertex needs 3 numbers/,
      "v 1 x 3" => /'x' is not a number/,
      "v 1 nan 3" => /not a number/,
      "vt" => /texture coordinate needs a number/,
      "vn 1 2" => /normal needs 3 numbers/
    }.each do |line, message|
      error = assert_raises(D::ObjReader::ParseError, line) { parse("v 0 0 0\nv 1 0 0 \\\n\nv 0 1 0\n#{line}\n") }
      assert_match message, error.message, line
      assert_match(/\At\.obj:5: /, error.message, line)
      assert_includes error.message, line
    end
  end

  def test_faces_and_statements_that_cannot_be_used_are_skipped_with_one_warning_each
    {
      "f 1 2" => /fewer than 3 vertices skipped/,
      "f 1 2 9" => /vertex 9, which does not exist \(3 so far\): face skipped/,
      "f 0 1 2" => /vertex 0, which does not exist/,
      "f 1 2 -4" => /vertex -4, which does not exist/,
      "f 1/1/1/1 2 3" => /unreadable: face skipped/,
      "s maybe" => /smoothing group 'maybe'/,
      "bogus 1 2" => /statement 'bogus' ignored/
    }.each do |line, message|
      reader = D::ObjReader.new
      model = reader.parse("v 0 0 0\nv 1 0 0 \\\n\nv 0 1 0\n#{line}\n#{line}\nf 1 2 3\n", source: "t.obj")
      assert_equal 1, model.triangle_count, line
      assert_equal 1, reader.warnings.size, line
      assert_match message, reader.warnings.first, line
      assert_match(/\At\.obj:5: .*\(2 times, first here\)\z/, reader.warnings.first, line)
    end
  end
end

class SampleModelTest < Minitest::Test
  include DriverTestSupport

  def setup
    @model = D::SampleModel.build
  end

  def depth(definition)
    children = definition.entity_ids.map { |id| @model.definitions[@model.instances[id].definition_id] }
    1 + (children.map { |child| depth(child) }.max || 0)
  end

  def test_it_carries_what_an_export_has_to_handle
    assert_operator @model.top_level_ids.map { |id| depth(@model.definitions[@model.instances[id].definition_id]) }.max,
                    :>=, 3, "components nested in components"
    assert(@model.instances.values.any? { |i| !i.visible }, "a hidden instance")
    refute_empty @model.root.triangles, "loose geometry"
    assert_operator @model.materials.size, :>=, 3
    assert(@model.definitions.values.any? { |d| d.material_runs.map(&:first).uniq.size >= 2 },
           "a definition with faces of its own material beside faces painted by the instance")

    # One definition placed under several instance materials, some of them inherited.
    by_definition = @model.each_placement.group_by { |definition, _, _| definition.name }
    leg_materials = by_definition["Leg"].map { |_, _, material| material }
    assert_operator leg_materials.uniq.size, :>=, 3
    instance_materials = @model.instances.values.select { |i| i.definition_id == D::SampleModel::LEG }
                               .map(&:material_id)
    assert_equal [-1], instance_materials.uniq, "legs inherit whatever places them"
    assert(@model.instances.values.any? { |i| i.material_id == -1 && i.definition_id == D::SampleModel::CHAIR })
  end

  def test_hidden_instances_place_nothing_and_worlds_compose_child_first
    hidden = @model.instances.values.find { |i| !i.visible }
    placed = @model.each_placement.select { |definition, _, _| definition.id == hidden.definition_id }
    visible = @model.top_level_ids.count { |id| @model.instances[id].visible && @model.instances[id].definition_id == hidden.definition_id }
    assert_equal visible, placed.size

    # The second dining set is turned 90 degrees and moved 130 inches along X; a leg of its
    # table stands at (22, 13) in the table, which is at the set's origin.
    worlds = @model.each_placement.select { |d, _, _| d.name == "Leg" }.map { |_, world, _| D::Transform.apply(world, [0, 0, 0]) }
    assert(worlds.any? { |p| close?(p, [130.0 - 13.0, 22.0, 0.0]) }, worlds.inspect)
  end

  def close?(a, b)
    a.zip(b).all? { |x, y| (x - y).abs < 1e-9 }
  end

  def test_it_is_the_same_model_every_time
    _, first = export(@model)
    _, second = export(D::SampleModel.build)
    assert_equal first.calls, second.calls
  end

  def test_a_cyclic_model_still_walks_to_an_end
    model = D::Model.new
    a = model.add_definition(D::Definition.new(1, "A"))
    D::Shapes.new(a).box([0, 0, 0], [1, 1, 1])
    b = model.add_definition(D::Definition.new(2, "B"))
    model.add_instance(D::Instance.new(id: 10, definition_id: 2), parent: a)
    model.add_instance(D::Instance.new(id: 11, definition_id: 1), parent: b)
    model.add_instance(D::Instance.new(id: 12, definition_id: 1))
    assert_equal ["A"], model.each_placement.map { |d, _, _| d.name }
  end
end

class TransformTest < Minitest::Test
  D = ZarniksuDriver

  def test_engine_rows_are_metres_and_y_up
    t = D::Transform
    assert_equal [1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0], t.engine_rows(t::IDENTITY).map { |v| v + 0.0 }
    moved = t.engine_rows(t.translation(39.3701, 2 * 39.3701, 3 * 39.3701))
    assert_equal [1.0, 3.0, -2.0], moved.values_at(3, 7, 11).map { |v| v.round(12) }
    assert_equal 2.0, t.engine_rows(t.scale(1, 1, 2))[5]
    # A quarter turn about the host's up axis takes host X to host Y, which is engine -Z.
    turned = t.engine_rows(t.rotation_z(90)).map { |v| v.round(12) + 0.0 }
    assert_equal [0.0, -1.0], [turned[0], turned[8]]
  end
end

class ExporterTest < Minitest::Test
  include DriverTestSupport

  def test_calls_follow_the_road_of_a_model_export
    model = D::SampleModel.build
    summary, calls = export(model)
    names = calls.names
    phases = [:update, :add, :set_geometry_stream, :set_visibility, :flush_model_entities,
              :define_model_entity, :apply_geometry, :set_scene_params, :set_camera_pos, :set_camera_view]
    firsts = phases.map { |name| names.index(name) }
    assert_equal firsts.sort, firsts, "phases in export order"
    assert_operator names.rindex(:evaluate_stream), :<, names.index(:set_visibility)
    assert_equal model.top_level_ids, calls.of(:define_model_entity).flatten
    assert_equal model.materials.size, summary.materials
    assert_includes calls.of(:update), [[D::SampleModel::GLASS, "Glass", [190, 215, 230], "", 1.0, 1.0, 0.35, 0, -1, "", [], []]]
    hidden = model.instances.values.reject(&:visible).map(&:id)
    assert_equal hidden.map { |id| [id, false] }, calls.of(:set_visibility)
    assert_equal [model.geometry_definitions.size, 0], [summary.meshes, summary.failed_meshes.size]
  end

  # Between "set_geometry_stream" and "evaluate_stream" of each definition: one vertex,
  # normal and uvw per corner, every corner numbered from 1, and faces that cover the
  # triangles exactly, one per material run.
  def test_each_stream_is_complete
    model = D::SampleModel.build
    _, calls = export(model)
    streams = calls.calls.slice_before { |c| c.first == :set_geometry_stream }.select { |s| s.first.first == :set_geometry_stream }
    assert_equal model.geometry_definitions.map { |d| [d.id, d.name] }, streams.map { |s| s.first.drop(1) }
    streams.each do |stream|
      definition = model.definition(stream.first[1])
      corners = definition.corner_count
      tally = stream.map(&:first).tally
      %i[add_vertex add_normal add_uvw add_vertex_index add_normal_index add_uvw_index].each do |name|
        assert_equal corners, tally[name], "#{definition.name} #{name}"
      end
      numbers = stream.select { |c| c.first == :add_vertex_index }.map(&:last)
      assert_equal (1..corners).to_a, numbers
      faces = stream.select { |c| c.first == :add_face }.map { |c| c.drop(1) }
      assert_equal 0, faces.first[2]
      assert_equal definition.triangles.size, faces.last[3]
      faces.each_cons(2) { |a, b| assert_equal a[3], b[2] }
      assert_equal (1..faces.size).to_a, faces.map(&:first)
      first_corner = definition.triangles.first.corners.first
      assert_equal first_corner.position, stream.find { |c| c.first == :add_vertex }.drop(1)
      assert_equal first_corner.normal + [first_corner.surface], stream.find { |c| c.first == :add_normal }.drop(1)
      assert_equal :evaluate_stream, stream.select { |c| c.first.to_s.start_with?("add_", "evaluate") }.last.first
    end
  end

  def test_without_material_updates_and_on_a_second_export
    model = D::SampleModel.build
    summary, recorder, exporter = export(model, material: Object)
    assert_equal 0, summary.materials
    refute_includes recorder.names, :update

    # The extension already holds the definitions: "add" answers false and they are updated;
    # instances exported before are updated with their visibility.
    recorder.calls.clear
    recorder.answers[:add] = false
    exporter.export(model)
    updates = recorder.of(:update)
    assert_equal model.definitions.values.map { |d| [d.id, [], d.entity_ids] }, updates.select { |u| u.size == 3 }
    hidden = model.instances.values.find { |i| !i.visible }
    assert_includes updates, [hidden.id, hidden.definition_id, hidden.material_id, hidden.transform, nil, false]
    assert_equal model.instances.size, updates.count { |u| u.size == 6 }
    refute_includes recorder.names, :set_visibility
  end

  def test_failed_streams_are_reported_and_progress_lines_rise
    model = D::SampleModel.build
    io = StringIO.new
    recorder = Recorder.new(evaluate_stream: ->(_) { false })
    api = D::Exporter::Api.new(ext: recorder, stream: recorder, definition: recorder, instance: recorder, material: nil)
    summary = D::Exporter.new(api: api, progress: true, progress_io: io).export(model)
    assert_equal model.geometry_definitions.map(&:name).sort, summary.failed_meshes.sort
    assert_equal 0, summary.meshes
    percents = io.string.lines.map { |l| l[/\Aexport: (\d+)%\n\z/, 1].to_i }
    assert_equal percents.sort.uniq, percents
    assert_equal 100, percents.last
    assert_operator percents.size, :>=, 5
  end
end

# The project's own OBJ files in test/data/obj, each written to exercise forms that other
# tools write; every one is checked for what it must give and what it must say.
class ObjFilesTest < Minitest::Test
  include DriverTestSupport

  DATA = File.expand_path("../data/obj", __dir__)
  DEMO = File.expand_path("../../driver/demo.rb", __dir__)

  def read(name)
    reader = D::ObjReader.new
    [reader.read(File.join(DATA, name)), reader]
  end

  def warning_lines(reader)
    reader.warnings.map { |w| w[/:(\d+): /, 1].to_i }
  end

  def area(triangle)
    a, b, c = positions(triangle)
    u = b.zip(a).map { |p, q| p - q }
    v = c.zip(a).map { |p, q| p - q }
    cross = [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
    [Math.sqrt(cross.sum { |x| x * x }) / 2, cross]
  end

  def test_forms_other_tools_write_are_read_and_the_rest_skipped_with_one_warning_per_kind
    model, reader = read("tolerant.obj")
    assert_equal({ faces: 6, triangles: 4, skipped_faces: 2, degenerate: 1, lines: 1, points: 2 }, reader.counts.to_h)
    assert_equal 4, model.triangle_count
    # "2.", "2e0", "0x1p1", "+1" and "-0." are numbers; the quad was continued on line 14.
    assert_equal [[0, 0, 0], [2, 0, 0], [2, 0, 2], [0, 0, 2]].map { |p| p.map(&:to_f) },
                 model.root.triangles.first(2).flat_map { |t| positions(t) }.uniq.map { |p| p.map(&:abs) }
    assert_equal 6.0, model.root.triangles.sum { |t| area(t).first }
    assert_equal [2, 3, 4, 12, 16, 17, 19, 20, 21, 22, 23], warning_lines(reader)
    expected = [/library 'missing.mtl' not found/, /'maplib' ignored/, /vertex colours set aside.*\(3 times/,
                /'usemap' ignored/, /lines skipped/, /points skipped \(2 times/, /fewer than 3 vertices/,
                /vertex 99, which does not exist/, /degenerate/, /usemtl without a name/,
                /texture coordinate 3 does not exist .*left out/]
    expected.zip(reader.warnings).each { |pattern, warning| assert_match pattern, warning }
    assert(reader.warnings.all? { |w| w.start_with?(File.join(DATA, "tolerant.obj:")) })
    assert_equal ["default"], model.materials.values.map(&:name)
    assert_equal [1], model.root.triangles.last(1).map(&:material_id)
  end

  def test_concave_polygons_stay_inside_their_outline_and_face_one_way
    model, reader = read("concave.obj")
    comb, dart = model.definitions.values
    assert_equal [10, 2], [comb.triangles.size, dart.triangles.size]
    { comb => 11.0, dart => 4.0 }.each do |definition, outline_area|
      areas = definition.triangles.map { |t| area(t) }
      assert_in_delta outline_area, areas.sum(&:first), 1e-9, definition.name
      # Counter-clockwise in OBJ's XY plane faces OBJ +Z, the host's -Y.
      areas.each { |_, cross| assert_operator cross[1], :<, 0, definition.name }
      definition.triangles.flat_map(&:corners).each { |c| assert_equal [0.0, -1.0, 0.0], c.normal }
    end
    assert_empty reader.warnings
  end

  def test_materials_unnamed_missing_and_textures_with_options_and_windows_folders
    model, reader = read("materials.obj")
    wood, glass, nowhere, bad = model.materials.values
    assert_equal [[128, 64, 0], File.join(DATA, "tex", "Brick Wall.png"), [2.0, 2.0]],
                 [wood.color, wood.texture, wood.texture_scale]
    assert_equal [[255, 255, 128], "", 0.5], [glass.color, glass.texture, glass.opacity]
    assert_equal [[200, 200, 200]] * 2, [nowhere.color, bad.color]
    mtl = File.join(DATA, "materials.mtl")
    assert_equal ["#{File.join(DATA, "materials.obj")}:9: material 'Nowhere' is in no material library: grey",
                  "#{mtl}:1: newmtl without a name: its statements are skipped",
                  "#{mtl}:9: texture 'missing.png' not found: the material keeps its colour",
                  "#{mtl}:11: Kd takes one or three numbers: red"], reader.warnings
    assert_equal 4, model.triangle_count
  end

  def test_encodings_are_converted_or_refused_clearly
    model, reader = read("latin1.obj")
    assert_equal ["Stühl"], model.definitions.values.map(&:name)
    assert_match(/not UTF-8 text: names are read as Latin-1/, reader.warnings.join)
    model, reader = read("utf16.obj")
    assert_equal [["Tür"], 1, []], [model.definitions.values.map(&:name), model.triangle_count, reader.warnings]
    {
      "utf16_no_mark.obj" => "UTF-16 text without a byte-order mark; save it as UTF-8",
      "binary.obj" => "not a text file", "tex" => "is a folder, not a file", "gone.obj" => "no such file"
    }.each do |name, message|
      error = assert_raises(D::ObjReader::ParseError, name) { read(name) }
      assert_equal "#{File.join(DATA, name)}: #{message}", error.message
    end
    error = assert_raises(D::ObjReader::ParseError) { parse("v 1 #{"9" * 500} x\n") }
    assert_operator error.message.size, :<, 100, "the offending line is quoted short"
  end

  def test_files_without_faces_give_an_empty_model_and_count_what_was_skipped
    model, reader = read("lines_only.obj")
    assert_equal [0, 1, 2], [model.triangle_count, reader.counts.lines, reader.counts.points]
    model, reader = read("empty.obj")
    assert_equal [0, []], [model.triangle_count, reader.warnings]
  end

  # The camera a model without one gets sees every point of it: each lies within the
  # vertical half-angle of the view and in front of the eye, and within the narrower
  # half-angle across a picture taller than wide.
  def test_the_camera_frames_the_whole_model
    model, = read("concave.obj")
    assert_sees_every_point model, model.camera, model.camera.fov
    # It looks at the middle of the model, not at the origin the file was drawn around.
    assert_in_delta 7.0, model.camera.target[0], 1e-9

    sample = D::SampleModel.build
    assert_same sample.camera, sample.camera.for_aspect(4.0 / 3)
    tall = sample.camera.for_aspect(0.5)
    across = 2 * Math.atan(Math.tan(tall.fov * Math::PI / 360) * 0.5) * 180 / Math::PI
    assert_sees_every_point sample, tall, across
    assert_equal sample.camera.target, tall.target
  end

  def assert_sees_every_point(model, camera, fov)
    forward = camera.target.zip(camera.eye).map { |t, e| t - e }
    length = Math.sqrt(forward.sum { |c| c * c })
    forward = forward.map { |c| c / length }
    half_angle = fov / 2 * Math::PI / 180
    points = model.each_placement.flat_map do |d, world, _|
      d.triangles.flat_map(&:corners).map { |c| D::Transform.apply(world, c.position) }
    end
    points.each do |point|
      ray = point.zip(camera.eye).map { |p, e| p - e }
      distance = Math.sqrt(ray.sum { |c| c * c })
      along = ray.zip(forward).sum { |r, f| r * f }
      assert_operator along, :>, 0
      assert_operator Math.acos(along / distance), :<, half_angle, point.inspect
    end
  end

  # The box of placed geometry is exact whether a placement only moves and scales (its
  # definition's own box is carried over) or turns it off the axes (no corner of a
  # triangle's box is a point of it).
  def test_bounds_follow_every_placement
    model = D::Model.new
    triangle = model.add_definition(D::Definition.new(1, "Triangle"))
    points = [[0.0, 0.0, 0.0], [2.0, 0.0, 0.0], [0.0, 1.0, 1.0]]
    triangle.add_triangle(points.map { |p| D::Corner.new(p, [0.0, 0.0, 1.0], [0.0, 0.0], 1) })
    mirrored = D::Transform.chain(D::Transform.scale(-1, 1, 3), D::Transform.translation(10, 0, 0))
    model.add_instance(D::Instance.new(id: 2, definition_id: 1, transform: mirrored))
    assert_equal [[8.0, 0.0, 0.0], [10.0, 1.0, 3.0]], model.bounds
    model.add_instance(D::Instance.new(id: 3, definition_id: 1, transform: D::Transform.rotation_z(45)))
    min, max = model.bounds
    wanted = [[-Math.sqrt(0.5), 0.0, 0.0], [10.0, Math.sqrt(2.0), 3.0]]
    wanted.flatten.zip((min + max)).each { |want, got| assert_in_delta want, got, 1e-12 }
  end

  def test_text_that_is_no_obj_file_gives_few_warnings
    reader = D::ObjReader.new
    model = reader.parse((1..5000).map { |i| "word#{i} and more text\n" }.join, source: "prose.txt")
    assert_equal 0, model.triangle_count
    assert_equal 17, reader.warnings.size
    assert_equal "prose.txt:17: more unknown statements ignored (4984 times, first here)", reader.warnings.last
  end

  def test_reading_reports_progress_up_to_the_whole_file
    text = "v 0 0 0\nv 1 0 0\nv 0 1 0\n" + "f 1 2 3\n" * 20_000
    reports = []
    D::ObjReader.new(progress: ->(done, total) { reports << [done, total] }).parse(text)
    assert_operator reports.size, :>=, 3
    assert_equal [text.bytesize] * 2, reports.last
    assert_equal reports.map(&:first).sort, reports.map(&:first)
  end

  # The demo's answers that come before the extension is loaded: one line, status 1.
  def test_the_demo_says_in_one_line_why_it_exports_nothing
    {
      "binary.obj" => "cannot read the model: #{File.join(DATA, "binary.obj")}: not a text file",
      "utf16_no_mark.obj" => "byte-order mark",
      "tex" => "is a folder, not a file",
      "lines_only.obj" => "nothing to export: #{File.join(DATA, "lines_only.obj")} has no usable faces " \
                          "(0 faces: 0 skipped, 0 triangles without area; 1 lines and 2 points skipped)",
      "empty.obj" => "has no usable faces"
    }.each do |name, message|
      out, err, status = run_demo(File.join(DATA, name))
      assert_equal 1, status.exitstatus, name
      assert_empty out, name
      assert_includes err.lines.last, message, name
      refute_match(/\.rb:\d+:in /, err, name)
    end
    out, _err, status = run_demo("--help")
    assert_equal 0, status.exitstatus
    assert_match(/inches per unit of the OBJ file .*\n.*39\.3701 for a model in metres/, out)
    %w[--out --scale --help concave UTF-16 Latin-1 continuations].each { |word| assert_includes out, word }
  end

  # Options that make no picture are refused up front in one line.
  def test_the_demo_refuses_picture_options_it_cannot_honour
    ["--size 0x48", "--size 64", "--size 1001x48", "--size 64x601", "--samples 0", "--samples many",
     "--image /no/such/folder/p.png"].each do |option|
      out, err, status = run_demo(*option.split)
      assert_equal [2, "", 1], [status.exitstatus, out, err.lines.size], option
      assert_includes err, option.split.first, option
    end
  end

  # The built-in sample model, exported and rendered: a PNG of the size asked for that
  # shows something besides the background.
  def test_the_demo_renders_the_picture_of_what_it_exported
    ext_dir = ENV.fetch("ZARNIKSU_EXT_DIR") { skip "needs the built extension (ZARNIKSU_EXT_DIR)" }
    Dir.mktmpdir do |dir|
      out, err, status = run_demo("--out", File.join(dir, "scene.zcs"), "--size", "64x48", "--samples", "2",
                                  ext_dir: ext_dir)
      assert_equal 0, status.exitstatus, err
      path = File.join(dir, "demo.png")
      assert_match(/^Picture: #{Regexp.escape(path)} \(64x48, 2 samples in [\d.]+ s, [\d.]+ samples\/s\)$/, out)
      assert_includes err.lines, "render: 2 of 2 samples\n"
      width, height, pixels = read_rgba_png(path)
      assert_equal [64, 48], [width, height]
      assert_operator pixels.uniq.size, :>, 10, "the model shows, not one flat colour"
    end
  end

  def run_demo(*args, ext_dir: nil)
    require "open3"
    load_path = [File.dirname(DEMO), ext_dir].compact.flat_map { |dir| ["-I", dir] }
    Open3.capture3(RbConfig.ruby, *load_path, DEMO, *args)
  end

  # Width, height and the [r, g, b, a] pixels of the picture.
  def read_rgba_png(path)
    width, height, rows = PngReader.read_rgba(path)
    [width, height, rows.flatten.each_slice(4).to_a]
  end
end

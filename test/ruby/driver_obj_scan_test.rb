# frozen_string_literal: true

# The OBJ reader with its C scanner against the reader in Ruby alone: the same model to the
# bit, the same counts, warnings, errors and progress reports, whatever the file holds.

require "minitest/autorun"
require "stringio"
require "zarniksu_driver"

class DriverObjScanTest < Minitest::Test
  D = ZarniksuDriver
  DATA = File.expand_path("../data/obj", __dir__)

  # Everything the model holds, with every Float kept to the bit (-0.0 is not 0.0) and the
  # sharing of position, normal and uv arrays between corners kept as Marshal records it.
  def snapshot(reader, model, reports)
    definitions = [model.root, *model.definitions.values].map do |d|
      [d.id, d.name, Marshal.dump(d.corner_slots), d.triangle_materials, d.local_bounds]
    end
    [Marshal.dump([definitions, model.materials.values.map(&:to_a), model.instances.values.map(&:to_a),
                   model.top_level_ids, model.camera.to_a]),
     reader.counts.to_a, reader.warnings, reports]
  end

  def read_both(&read)
    [true, false].map do |native|
      reports = []
      reader = D::ObjReader.new(native: native, progress: ->(done, total) { reports << [done, total] })
      begin
        snapshot(reader, read.call(reader), reports)
      rescue D::ObjReader::ParseError => e
        [:error, e.message, reports]
      end
    end
  end

  def assert_same_both_ways(text, what)
    native, plain = read_both { |reader| reader.parse(StringIO.new(text), source: "g.obj") }
    assert_equal plain, native, what
  end

  def test_the_scanner_is_built_and_used
    assert D::ObjReader.native?, "zarniksu_obj_scan is not on the load path"
    refute D::ObjReader.new(native: false).instance_variable_get(:@native)
  end

  def test_every_fixture_reads_the_same_both_ways
    Dir[File.join(DATA, "*.obj")].sort.each do |path|
      native, plain = read_both { |reader| reader.read(path) }
      assert_equal plain, native, File.basename(path)
    end
  end

  # Each form the scanner takes, and next to it the forms it leaves to Ruby, in one file:
  # lines of either kind change what the other kind reads (counts, groups, surfaces).
  def test_every_form_of_line_reads_the_same_both_ways
    text = <<~OBJ
      # comment \u00e9
      mtllib none.mtl
      v 0 0 0
      v 1.5 -0 0e0\r
      v\t+0.25\t2.5E+1\t-3.125e-2 1.0
      v 0.1 0.2 0.30000000000000004441 # trailing comment
      v 2. .5 -.5
      v 0x1p3 1_0 4
      v 1 2 3 0.5 0.5 0.5
      v 12345678901234567890.123 1e-320 7
      vt 0.5
      vt 0.25 0.75
      vt 0.1 0.2 0.3
      vt 1e-400 0
      vn 0 1 0
      vn 0 0 -1 \\
      vn 1 0 0
      f 1 2 3
      f 1/1 2/2 3/3
      f 1//1 2//2 3//1
      f 1/1/1 2/2/2 3/3/3
      f 1/ 2/2/ 003//2
      f 1 1 2
      f 1 2 9
      f -1 -2 -3
      f 1/5 2/5 3/5
      f 1 2 3 4
      f 1 2
      f 1 2 \\
        3
      s 4
      f 4 5 6
      usemtl red
      o part
      f 6 7 8
      s off
      g other
      f 2/1/1 3/2/2 4/3/3
      fo 1 2 3
      f 1/2/3/4 2 3
      f 1 2 3\u00a0
      vt 0 1
      vt 1 1
      vt 1 0
      f 1/4 2/5 3/6
    OBJ
    assert_same_both_ways(text, "forms")
    # A corner remembered without its texture coordinate stays so once the coordinate exists.
    assert_same_both_ways("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/1 2/1 3/1\nvt 0.5 0.5\nf 1/1 2/1 3/1\n", "forward")
    # Four corners: convex, concave either way round, crossing itself, on a straight edge,
    # twice the same, without area.
    quads = "v 0 0 0\nv 2 1 0\nv 0 2 0\nv 0.5 1 0\nv 1 0.5 0\nvn 0 0 1\nvt 0.5 0.5\n" \
            "f 1 2 3 5\nf 1 2 3 4\nf 4 3 2 1\nf 1 2 4 3\nf 1 5 2 3\nf 1/1 1 2//1 3\nf 1 5 2 5\nf 1 2 3 4 5\n"
    assert_same_both_ways(quads, "quads")
    assert_same_both_ways(quads.gsub(" 0\n", " 1e-200\n").gsub("v 0 ", "v 3e200 "), "quads far out")
    assert_same_both_ways("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3", "no last newline")
    assert_same_both_ways("v 0 0 0\nv 1 0 0\nv 0 1 0 \\", "continued at the end")
    assert_same_both_ways("v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 e 0\nf 1 2 3\n", "unreadable vertex")
    assert_same_both_ways("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 1e400 0\nf 1 2 3\n", "too big a number")
  end

  # Random mixtures, long enough for progress reports, with numbers of many digits; the last
  # round holds only lines the scanner takes.
  def test_random_files_read_the_same_both_ways
    random = Random.new(20_261_209)
    number = lambda do |odd|
      forms = [format("%.*f", random.rand(0..20), random.rand(-1e3..1e3)), format("%.17e", random.rand(-1.0..1.0)),
               random.rand(-9..9).to_s, "#{random.rand(1..9)}e#{random.rand(-330..300)}"]
      forms.push(".5", "7.") unless odd.zero?
      forms.sample(random: random)
    end
    3.times do |round|
      odd = round < 2 ? 30 : 0
      counts = [0, 0, 0]
      pick = ->(kind) { random.rand(odd.zero? ? 1..counts[kind] : 1..counts[kind] + 1) }
      corner = lambda do
        p = pick.call(0)
        forms = ["#{p}", "#{p}/#{pick.call(1)}", "#{p}//#{pick.call(2)}", "#{p}/#{pick.call(1)}/#{pick.call(2)}", "#{p}/"]
        forms << "-1/-1" unless odd.zero?
        forms.sample(random: random)
      end
      lines = []
      12_000.times do
        kind = random.rand(100)
        if kind < odd / 3
          lines << ["s #{random.rand(3)}", "usemtl m#{random.rand(3)}", "g g#{random.rand(3)}", "# note", "",
                    "f 1 2 3 4", "f 1 2 \\", "v #{number.call(odd)} 1 \\\n  2"].sample(random: random)
        elsif kind < 40 || counts.min.zero?
          kind = counts.index(counts.min) if counts.min.zero?
          lines << "#{%w[v vt vn][kind % 3]} #{number.call(odd)} #{number.call(odd)} #{number.call(odd)}"
          counts[kind % 3] += 1
        else
          lines << "f #{Array.new(random.rand(3..4)) { corner.call }.join(" ")}"
        end
      end
      assert_same_both_ways("#{lines.join(round == 1 ? "\r\n" : "\n")}\n", "round #{round}")
    end
    # Four corners on a small grid, in a plane of the axes or at 45 degrees to two of them:
    # concave, crossing, straight-edged and repeated outlines, and normals with two equal axes.
    points = Array.new(200) do
      a, b = Array.new(2) { random.rand(0..3) }
      ["v #{a} #{b} 0", "v #{a} #{a} #{b}", "v 0 #{-a} #{b}"].sample(random: random)
    end
    quads = Array.new(6000) { "f #{Array.new(4) { random.rand(1..200) }.join(" ")}" }
    assert_same_both_ways("#{points.join("\n")}\n#{quads.join("\n")}\n", "grid quads")
  end

  def test_arguments_of_the_wrong_kind_raise_instead_of_crashing
    arrays = [[], [], [], [], [], [0.0] * 3, [0.0] * 3, [0.0, 0.0]]
    settings = [0, 1.0, nil, -1, -1, true]
    assert_raises(TypeError) { D::ObjScan.scan(nil, 0, 0, arrays, settings) }
    assert_raises(TypeError) { D::ObjScan.scan("v 1 2 3\n", 0, 0, arrays.dup.tap { |a| a[0] = {} }, settings) }
    assert_raises(TypeError) { D::ObjScan.scan("v 1 2 3\n", 0, 0, arrays, settings.dup.tap { |s| s[1] = "1" }) }
    assert_raises(ArgumentError) { D::ObjScan.scan("v 1 2 3\n", 9, 0, arrays, settings) }
    assert_raises(TypeError) { D::ObjScan.scan("v 1 2 3\n", 0.5, 0, arrays, settings) }
    assert_raises(TypeError) { D::ObjScan.scan("f 1 1 1\n", 0, 0, arrays.dup.tap { |a| a[0] = [[1, 2, 3]] }, settings) }
    assert_raises(ArgumentError) { D::ObjScan.scan("v".encode("UTF-16LE"), 0, 0, arrays, settings) }
    assert_equal [8, 1, -1, 0, 0, 8], D::ObjScan.scan("v 1 2 3\n", 0, 0, arrays, settings)
    assert_equal [[1.0, -3.0, 2.0]], arrays[0]
  end
end

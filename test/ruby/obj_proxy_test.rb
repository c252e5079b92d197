# The engine's own reading of the project's OBJ files when a definition shows one as its
# proxy: the same files as the driver's reader meets, the same tolerance, warnings on the
# process's standard error naming the file and line.
require "test_helper"
require "tempfile"

class ObjProxyTest < Minitest::Test
  MESH = 1
  FILE_NAME = 34
  POLYGON_SIZES = 189
  VERTICES = 190
  DATA = File.expand_path("../data/obj", __dir__)

  # What the engine writes to file descriptor 2 while the block runs.
  def engine_warnings
    saved = STDERR.dup
    Tempfile.create("obj_proxy_test") do |log|
      STDERR.reopen(log.path, "w")
      begin
        yield
      ensure
        STDERR.flush
        STDERR.reopen(saved)
        saved.close
      end
      File.read(log.path).lines.map(&:chomp).grep(/\Azarnik: /)
    end
  end

  def mesh_of(path)
    meshes = ZarnikProbe.nodes(MESH).select { |mesh| ZarnikProbe.attr(mesh, FILE_NAME) == path }
    assert_equal 1, meshes.size, path
    meshes.first
  end

  # A file that gives no polygons is no proxy: the definition keeps its own mesh.
  def load(name, id, usable: true)
    path = File.join(DATA, name)
    assert ExtDefinition.add(id, [], []), name
    warnings = engine_warnings { assert_equal usable, ExtDefinition.set_proxy(id, path), name }
    [usable ? mesh_of(path) : nil, warnings, path]
  end

  def sizes(mesh)
    Array(ZarnikProbe.attr(mesh, POLYGON_SIZES))
  end

  def test_forms_other_tools_write_load_and_unusable_faces_are_skipped_with_a_warning
    mesh, warnings, path = load("tolerant.obj", 301)
    # The quad continued over two lines, the relative triangle, the face without area (the
    # engine keeps it) and the last face; the short face and the one naming vertex 99 go.
    assert_equal [4, 3, 3, 3], sizes(mesh)
    assert_equal 5, Array(ZarnikProbe.attr(mesh, VERTICES)).size
    assert_equal ["zarnik: #{path}: line 19: face with fewer than three corners skipped",
                  "zarnik: #{path}: line 20: face naming a vertex that does not exist skipped"], warnings

    mesh, warnings, = load("concave.obj", 302)
    assert_equal [[12, 4], []], [sizes(mesh), warnings]
  end

  def test_encodings_and_files_that_are_no_text
    mesh, warnings, = load("utf16.obj", 311)
    assert_equal [[3], []], [sizes(mesh), warnings]
    mesh, warnings, = load("latin1.obj", 312)
    assert_equal [[3], []], [sizes(mesh), warnings]
    %w[binary.obj utf16_no_mark.obj].each_with_index do |name, i|
      _, warnings, path = load(name, 313 + i, usable: false)
      assert_equal ["zarnik: #{path}: not a text file (or UTF-16 without a byte-order mark)"], warnings
    end
    %w[lines_only.obj empty.obj].each_with_index do |name, i|
      _, warnings, = load(name, 315 + i, usable: false)
      assert_empty warnings, name
    end
  end
end

# Sequences the fuzzer found that hung the host, kept so that they never come back.
#
# Each sequence runs in a process of its own under a time limit, so a hang fails the test
# instead of stalling the run.
require "minitest/autorun"
require "open3"
require "tmpdir"
require "fileutils"
require "timeout"

class FuzzRegressionsTest < Minitest::Test
  EXT_DIR = ENV.fetch("ZARNIKSU_EXT_DIR") { $LOAD_PATH.find { |dir| File.exist?(File.join(dir, "zarniksu18.so")) } }
  IDENTITY = "[1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]".freeze
  LIMIT = 20

  def setup
    @dir = Dir.mktmpdir("zarniksu-known")
  end

  def teardown
    FileUtils.rm_rf(@dir)
  end

  # Runs the script with the extension loaded and answers its stdout; fails when it does not
  # end within LIMIT seconds.
  def run_sequence(script)
    File.mkfifo(File.join(@dir, "fifo.zcs"))
    File.mkfifo(File.join(@dir, "fifo.png"))
    code = "require \"zarniksu18\"\n#{script}\nputs \"done\"\nZarnikExt.shutdown\n"
    Open3.popen2e({ "HOME" => @dir }, RbConfig.ruby, "-I", EXT_DIR, "-e", code, chdir: @dir,
                  pgroup: true) do |stdin, out, wait|
      stdin.close
      reader = Thread.new { out.read }
      # A killed sequence closes the pipe under the reader; the time limit is the failure.
      reader.report_on_exception = false
      unless wait.join(LIMIT)
        Process.kill("KILL", -wait.pid)
        flunk "the sequence did not return within #{LIMIT} s"
      end
      reader.value
    end
  end

  # Seed 1, slice 0, step 23: a texture that is a FIFO.
  def test_texture_fifo
    out = run_sequence(<<~RUBY)
      ExtMaterial.update([2, "m3", [168, 162, 247], File.join(Dir.pwd, "fifo.png"), 1.0, 1.0, 0.95, 0, -1, "", [], []])
      ExtMaterials.serialize_material(2)
    RUBY
    assert_includes out, "done"
  end

  # Seed 1, slice 0, step 163 (and slice 2, step 54): a proxy file that is a FIFO.
  def test_proxy_fifo
    out = run_sequence(<<~RUBY)
      ExtDefinition.add(101, [], [1])
      ExtInstance.add(1, 101, -1, #{IDENTITY}, nil, false)
      ZarnikExt.define_model_entity(1)
      p ExtDefinition.set_proxy(101, File.join(Dir.pwd, "fifo.zcs"))
      ZarnikExt.apply_geometry
    RUBY
    assert_match(/^false\n(.*\n)*done$/, out)
  end

  # Seed 675160385, slice 4, step 28: geometry painted with a material whose texture is a FIFO.
  # The picture's scene is taken on the host's thread, which waited on the FIFO for good.
  def test_painted_with_fifo_texture_while_rendering
    out = run_sequence(<<~RUBY)
      ExtMaterial.update([3, "m2", [162, 118, 203], File.join(Dir.pwd, "fifo.png"), 1.0, 1.0, 0.45, 0, -1, "", [], []])
      ExtDefinition.add(102, [], [])
      ExtStream.set_geometry_stream(102, "d102")
      [[0, 0, 0], [40, 0, 0], [0, 40, 0]].each do |p|
        ExtStream.add_vertex(*p)
        ExtStream.add_normal(0.0, 0.0, 1.0, 1)
        ExtStream.add_uvw(p[0], p[1], 1.0)
      end
      (1..3).each { |k| ExtStream.add_vertex_index(k); ExtStream.add_normal_index(k); ExtStream.add_uvw_index(k) }
      ExtStream.add_face(1, 3, 0, 1)
      ExtStream.evaluate_stream("")
      ExtInstance.add(1, 102, -1, #{IDENTITY}, nil, false)
      ZarnikExt.define_model_entity(1)
      ZarnikExt.block_updates(false)
      p ZarnikExt.apply_geometry
    RUBY
    assert_match(/^true\n(.*\n)*done$/, out)
  end

  # A scene file given as a proxy whose mesh names a FIFO as its OBJ file: the engine reads
  # that file itself when it builds the scene.
  def test_scene_file_proxy_naming_a_fifo_obj
    out = run_sequence(<<~RUBY)
      require "zarnik_probe"
      obj = File.join(Dir.pwd, "lamp.obj")
      File.write(obj, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
      ExtDefinition.add(101, [], [])
      ExtDefinition.set_proxy(101, obj)
      File.write("lamp.zcs", ZarnikProbe.export_root)
      File.delete(obj)
      File.mkfifo(obj)
      ExtDefinition.add(102, [], [])
      p ExtDefinition.set_proxy(102, File.join(Dir.pwd, "lamp.zcs"))
    RUBY
    assert_match(/^false\n(.*\n)*done$/, out)
  end

  # Seed 528127133, slice 111: two placed definitions whose meshes are one point each. The
  # renderer's tree builder found every box of the set in one point and aborted the host.
  def test_definitions_collapsed_to_a_point_render
    out = run_sequence(<<~RUBY)
      require "zarnik_probe"
      [201, 202].each_with_index do |id, k|
        ExtDefinition.add(id, [], [])
        ExtStream.set_geometry_stream(id, "d\#{id}")
        3.times do
          ExtStream.add_vertex(5.0, 5.0, 5.0)
          ExtStream.add_normal(0.0, 0.0, 1.0, 1)
          ExtStream.add_uvw(0.0, 0.0, 1.0)
        end
        (1..3).each { |n| ExtStream.add_vertex_index(n); ExtStream.add_normal_index(n); ExtStream.add_uvw_index(n) }
        ExtStream.add_face(1, -1, 0, 1)
        ExtStream.evaluate_stream("")
        ExtInstance.add(id + 100, id, -1, #{IDENTITY}, nil, false)
        ZarnikExt.define_model_entity(id + 100)
      end
      p ZarnikExt.apply_geometry
      ZarnikExt.update_and_restart
      p ZarnikProbe.wait_for_samples(1, 10000)
    RUBY
    assert_match(/^true\ntrue\n(.*\n)*done$/, out)
  end
end

# Files named by the Ruby side (textures, proxies) that are not regular files: each is
# treated as missing, at once, instead of leaving the host waiting on it.
require "test_helper"
require "tmpdir"

class FileReadsTest < Minitest::Test
  # A reader that waits on a FIFO is let go after this long, so that a fault shows as a
  # slow call rather than a hung test.
  RELEASE_AFTER = 3
  FAST_ENOUGH = 2.0

  def setup
    @dir = Dir.mktmpdir("file_reads", Dir.home)
  end

  def teardown
    FileUtils.remove_entry(@dir)
  end

  def fifo(name)
    File.join(@dir, name).tap { |path| File.mkfifo(path) }
  end

  # Runs the block while a helper process stands ready to open `path` for writing after
  # RELEASE_AFTER seconds, and fails when the block took long enough to need it.
  def answered_at_once(path)
    releaser = Process.spawn("sh", "-c", "sleep #{RELEASE_AFTER}; exec 3> \"$1\"", "sh", path)
    started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    result = yield
    elapsed = Process.clock_gettime(Process::CLOCK_MONOTONIC) - started
    assert_operator elapsed, :<, FAST_ENOUGH, "the call waited on #{File.basename(path)}"
    result
  ensure
    begin
      Process.kill("KILL", releaser)
    rescue Errno::ESRCH
      nil # it ran to its end: the call had opened the FIFO
    end
    Process.wait(releaser)
  end

  def test_a_fifo_texture_is_a_missing_texture
    path = fifo("wood.png")
    entry = [70, "fifo", [255, 255, 255], path, 1.0, 1.0, 1.0, 1, -1, "", [], []]
    assert_equal true, answered_at_once(path) { ExtMaterial.update(entry) }
    stored = answered_at_once(path) { ExtMaterials.serialize_material(70) }
    assert_equal 1, stored.size, "a FIFO was stored as texture bytes"

    # A device is no texture either, and a file of the same name beside it still is.
    assert_equal true, ExtMaterial.update([71, "device", [255, 255, 255], "/dev/zero", 1.0, 1.0, 1.0, 1, -1, "", [], []])
    assert_equal 1, ExtMaterials.serialize_material(71).size
    real = File.join(@dir, "real.png").tap { |file| File.binwrite(file, "PNGBYTES") }
    assert_equal true, ExtMaterial.update([72, "real", [255, 255, 255], real, 1.0, 1.0, 1.0, 1, -1, "", [], []])
    assert_equal [real, ["PNGBYTES"].pack("m0"), "real.png", nil], ExtMaterials.serialize_material(72)[1..]
  end

  def test_a_fifo_proxy_is_no_proxy
    assert_equal true, ExtDefinition.add(301, [], [])
    %w[chair.obj chair.zcs chair.zpak].each do |name|
      path = fifo(name)
      assert_equal false, answered_at_once(path) { ExtDefinition.set_proxy(301, path) }, name
    end
  end
end

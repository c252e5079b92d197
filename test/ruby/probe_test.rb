# The probe's own answers: what it reads back from the engine, and how it treats handles
# that name nothing and arguments of the wrong type.
require "test_helper"
require "rexml/document"

class ProbeTest < Minitest::Test
  THIN_LENS_CAMERA = 13
  FOV_PIN = 53              # float
  ORTHOGRAPHIC_PIN = 127    # bool
  EYE_PIN = 133             # three floats
  LENS_SHIFT_PIN = 95       # two floats
  STEREO_MODE_PIN = 227     # enum
  IMAGE_TEXTURE = 34
  TEXTURE_TRANSFORM_PIN = 243

  # Handles that can name no live node: never issued, negative, wider than 64 bits.
  UNUSED_HANDLES = [2**63 + 11, -1, 2**64 + 5, 2**80].freeze
  HANDLE_READERS = %i[node_type node_name graph_name graph_owner pin_owned? pin_count attr_ids destinations].freeze
  INDEXED_READERS = %i[input input_ix pin_id_ix pin_name_ix pin_value attr].freeze

  def setup
    @created = []
  end

  def teardown
    @created.each { |handle| ZarnikProbe.destroy(handle) }
  end

  def create(type, graph = nil)
    handle = ZarnikProbe.create_node(type, graph)
    refute_nil handle, "no node of type #{type} was made"
    @created << handle
    handle
  end

  def test_handles_that_name_no_node_answer_nil_or_false
    camera = create(THIN_LENS_CAMERA)
    root_graph = ZarnikProbe.graph_owner(camera)
    refute_nil root_graph
    gone = ZarnikProbe.create_node(THIN_LENS_CAMERA, nil)
    assert_equal true, ZarnikProbe.destroy(gone)

    [*UNUSED_HANDLES, root_graph, gone].each do |handle|
      HANDLE_READERS.each { |name| assert_nil ZarnikProbe.public_send(name, handle), "#{name}(#{handle})" }
      INDEXED_READERS.each { |name| assert_nil ZarnikProbe.public_send(name, handle, 0), "#{name}(#{handle}, 0)" }
      assert_equal false, ZarnikProbe.node_handle_valid?(handle)
      assert_equal false, ZarnikProbe.set_pin_value(handle, FOV_PIN, 1.0)
    end
    assert_equal false, ZarnikProbe.destroy(gone), "destroyed twice"
    assert_equal false, ZarnikProbe.destroy(root_graph), "the project's root graph was destroyed"
    assert ZarnikProbe.node_handle_valid?(camera)
    assert_nil ZarnikProbe.graph_nodes(camera), "a node is not a graph"
    assert_nil ZarnikProbe.create_node(THIN_LENS_CAMERA, camera), "a node cannot own nodes"
  end

  def test_pins_and_attributes_that_a_node_lacks_answer_nil
    camera = create(THIN_LENS_CAMERA)
    count = ZarnikProbe.pin_count(camera)
    assert_operator count, :>, 0
    [2**32 + FOV_PIN, 2**40, -FOV_PIN, 999_999].each do |id|
      assert_nil ZarnikProbe.pin_value(camera, id), "pin #{id}"
      assert_nil ZarnikProbe.input(camera, id), "pin #{id}"
      assert_nil ZarnikProbe.attr(camera, id), "attribute #{id}"
      assert_equal false, ZarnikProbe.set_pin_value(camera, id, 1.0), "pin #{id}"
    end
    [count, -1, 2**64].each do |index|
      %i[input_ix pin_id_ix pin_name_ix].each { |name| assert_nil ZarnikProbe.public_send(name, camera, index) }
    end
  end

  def test_arguments_of_the_wrong_type_raise_type_error
    camera = create(THIN_LENS_CAMERA)
    [nil, "1", 1.5, :one, [1]].each do |bad|
      HANDLE_READERS.each { |name| assert_raises(TypeError, "#{name}(#{bad.inspect})") { ZarnikProbe.public_send(name, bad) } }
      INDEXED_READERS.each do |name|
        assert_raises(TypeError, "#{name}(#{bad.inspect}, 0)") { ZarnikProbe.public_send(name, bad, 0) }
        assert_raises(TypeError, "#{name}(camera, #{bad.inspect})") { ZarnikProbe.public_send(name, camera, bad) }
      end
      assert_raises(TypeError) { ZarnikProbe.node_handle_valid?(bad) }
      assert_raises(TypeError) { ZarnikProbe.set_pin_value(bad, FOV_PIN, 1.0) }
      assert_raises(TypeError) { ZarnikProbe.set_pin_value(camera, bad, 1.0) }
      assert_raises(TypeError) { ZarnikProbe.destroy(bad) }
      assert_raises(TypeError) { ZarnikProbe.create_node(bad, nil) }
    end
    %w[1 x].each do |bad|
      assert_raises(TypeError) { ZarnikProbe.nodes(bad) }
      assert_raises(TypeError) { ZarnikProbe.graph_nodes(bad) }
      assert_raises(TypeError) { ZarnikProbe.create_node(THIN_LENS_CAMERA, bad) }
    end
    assert ZarnikProbe.node_handle_valid?(camera), "a refused call changed the scene"
  end

  def test_set_pin_value_refuses_values_no_pin_takes_before_anything_changes
    camera = create(THIN_LENS_CAMERA)
    assert_equal true, ZarnikProbe.set_pin_value(camera, FOV_PIN, 40.0)
    [nil, {}, :wide, Object.new, [], [1], [1, "2"], [1, nil, 3], [1, 2, 3, 4, 5], Array.new(12, "x")].each do |bad|
      assert_raises(TypeError, bad.inspect) { ZarnikProbe.set_pin_value(camera, FOV_PIN, bad) }
    end
    [2**31, -2**31 - 1, [1, 2**40]].each do |wide|
      assert_raises(RangeError, wide.inspect) { ZarnikProbe.set_pin_value(camera, FOV_PIN, wide) }
    end
    assert_raises(ArgumentError) { ZarnikProbe.set_pin_value(camera, FOV_PIN, "a\0b") }
    assert_equal 40.0, ZarnikProbe.pin_value(camera, FOV_PIN)
  end

  def test_pin_values_written_as_the_user_read_back_by_kind
    camera = create(THIN_LENS_CAMERA)
    {
      FOV_PIN => 47.5,
      ORTHOGRAPHIC_PIN => true,
      EYE_PIN => [1.5, 2, -3],
      LENS_SHIFT_PIN => [0.25, 0.5],
      STEREO_MODE_PIN => 2
    }.each do |pin, value|
      assert_equal true, ZarnikProbe.set_pin_value(camera, pin, value), "pin #{pin}"
      expected = value.is_a?(Array) ? value.map(&:to_f) : value
      assert_equal expected, ZarnikProbe.pin_value(camera, pin), "pin #{pin}"
    end
    assert_equal false, ZarnikProbe.set_pin_value(camera, FOV_PIN, "wide"), "a float pin took a String"
    assert_equal 47.5, ZarnikProbe.pin_value(camera, FOV_PIN)

    texture = create(IMAGE_TEXTURE)
    shift_and_stretch = [1, 0, 0, 2, 0, 2.5, 0, 3, 0, 0, 1, 0]
    assert_equal true, ZarnikProbe.set_pin_value(texture, TEXTURE_TRANSFORM_PIN, shift_and_stretch)
    assert_equal shift_and_stretch.map(&:to_f), ZarnikProbe.pin_value(texture, TEXTURE_TRANSFORM_PIN)
  end

  # Every node of every type, with the pin-owned nodes its pins are filled with, reads back
  # in the shapes the probe promises, and the links it reports agree in both directions.
  def test_every_node_type_reads_back_consistently
    before = ZarnikProbe.nodes(0)
    types = ZarnikProbe.node_types
    refute_empty types
    made = types.map { |type| create(type) }
    made.zip(types).each { |handle, type| assert_equal type, ZarnikProbe.node_type(handle) }
    graph_owned = (ZarnikProbe.nodes(0) - before).reject { |handle| ZarnikProbe.pin_owned?(handle) }
    assert_equal made, graph_owned, "new nodes not listed in creation order"
    assert_equal made.last(1), ZarnikProbe.nodes(types.last).last(1)

    ZarnikProbe.nodes(0).each { |node| check_node_shape(node) }

    @created.each { |handle| ZarnikProbe.destroy(handle) }
    @created.clear
    assert_equal before, ZarnikProbe.nodes(0), "destroying the new nodes left some behind"
    made.each { |handle| assert_nil ZarnikProbe.node_type(handle) }
  end

  def test_export_root_answers_the_scene_as_xml
    first = ZarnikProbe.export_root
    camera = create(THIN_LENS_CAMERA)
    text = ZarnikProbe.export_root
    assert_instance_of String, text
    assert_equal Encoding::UTF_8, text.encoding
    document = REXML::Document.new(text)
    refute_nil document.root, "no root element"
    refute_equal first, text, "a new node did not reach the exported text"
    assert_includes text, ZarnikProbe.node_name(camera)
  end

  def test_window_queries_answer_without_a_window
    extent = ZarnikProbe.window_extent
    assert_equal 4, extent.size
    extent.each { |number| assert_kind_of Integer, number }
    assert_includes [true, false], ZarnikProbe.window_visible?
    assert_equal true, ZarnikProbe.close_window
    assert_equal false, ZarnikProbe.window_visible?
  end

  private

  def check_node_shape(node)
    assert_kind_of String, ZarnikProbe.node_name(node)
    pin_owned = ZarnikProbe.pin_owned?(node)
    assert_includes [true, false], pin_owned
    graph = ZarnikProbe.graph_owner(node)
    if pin_owned
      assert_nil graph
      assert_nil ZarnikProbe.graph_name(node)
    else
      assert_includes ZarnikProbe.graph_nodes(graph), node
      assert_kind_of String, ZarnikProbe.graph_name(node)
    end
    ZarnikProbe.pin_count(node).times do |index|
      name = ZarnikProbe.pin_name_ix(node, index)
      assert_kind_of String, name
      assert_kind_of Integer, ZarnikProbe.pin_id_ix(node, index)
      check_value_shape(ZarnikProbe.pin_value(node, ZarnikProbe.pin_id_ix(node, index)), "pin #{name}")
      input = ZarnikProbe.input_ix(node, index)
      next if input.nil?
      assert ZarnikProbe.node_handle_valid?(input)
      assert_includes ZarnikProbe.destinations(input), [node, name], "input of pin #{name} does not lead back"
    end
    ZarnikProbe.attr_ids(node).each { |id| check_value_shape(ZarnikProbe.attr(node, id), "attribute #{id}") }
  end

  def check_value_shape(value, what)
    case value
    when nil, true, false, Integer, Float, String then nil
    when Array then value.each { |element| check_value_shape(element, what) }
    else flunk "#{what} answered a #{value.class}"
    end
  end
end

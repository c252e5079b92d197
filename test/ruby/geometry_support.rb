# Shared pieces of the scene-geometry tests: streaming small shapes through ExtStream and
# reading back, through the probe, what reached the engine.
module GeometrySupport
  MESH = 1
  OVERRIDE = 2
  GROUP = 3
  PLACEMENT = 5
  RENDER_TARGET_GEOMETRY = 111
  GEOMETRY_PIN = 59
  INPUT_COUNT = 113
  TRANSFORMS = 170
  INSTANCE_IDS = 279
  VERTICES_PER_POLY = 189
  POSITIONS = 190
  POSITION_INDICES = 120
  NORMALS = 80
  NORMAL_INDICES = 115
  UVWS = 184
  UVW_INDICES = 119
  SLOTS = 114
  SLOT_NAMES = 63
  INCHES_PER_METRE = 39.3701

  IDENTITY = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0].freeze
  ENGINE_IDENTITY = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0].freeze

  # A host transform array moving by (x, y, z) inches.
  def translation(x, y, z)
    IDENTITY.dup.tap { |m| m[12, 3] = [x, y, z] }
  end

  def f32(value)
    [value].pack("f").unpack1("f")
  end

  # A host point as the engine stores it: metres, Y up, in single precision.
  def engine_point(x, y, z)
    k = f32(INCHES_PER_METRE)
    [f32(f32(x) / k), f32(f32(z) / k), f32(-f32(y) / k)]
  end

  # Streams `triangles` (each three host points in inches) into definition `id`, every
  # corner its own vertex number, the normal of its triangle on surface `surface` (or the
  # triangle's index when nil). Answers what "evaluate_stream" answered.
  def stream_triangles(id, name, triangles, faces: nil, surface: 1, settings: "")
    ExtStream.set_geometry_stream(id, name)
    triangles.each_with_index do |corners, t|
      normal = face_normal(*corners)
      corners.each do |p|
        ExtStream.add_vertex(*p)
        ExtStream.add_normal(*normal, surface || t + 1)
        ExtStream.add_uvw(p[0], p[1], 1.0)
      end
    end
    (1..triangles.size * 3).each do |k|
      ExtStream.add_vertex_index(k)
      ExtStream.add_normal_index(k)
      ExtStream.add_uvw_index(k)
    end
    (faces || [[1, -1, 0, triangles.size]]).each { |face| ExtStream.add_face(*face) }
    ExtStream.evaluate_stream(settings)
  end

  def face_normal(a, b, c)
    u = b.zip(a).map { |p, q| p - q }
    v = c.zip(a).map { |p, q| p - q }
    [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
  end

  # One triangle of the given size, for definitions whose shape does not matter.
  def small_triangle(size = 1.0)
    [[[0.0, 0.0, 0.0], [size, 0.0, 0.0], [0.0, size, 0.0]]]
  end

  def mesh_named(name)
    ZarnikProbe.nodes(MESH).find { |h| ZarnikProbe.node_name(h) == name }
  end

  def geometry_group
    ZarnikProbe.input(ZarnikProbe.render_target, RENDER_TARGET_GEOMETRY)
  end

  def group_inputs
    group = geometry_group
    (0...ZarnikProbe.pin_count(group)).map { |i| ZarnikProbe.input_ix(group, i) }
  end

  # The mesh a placement shows: placement -> material override -> mesh.
  def mesh_of(placement)
    source = ZarnikProbe.input(placement, GEOMETRY_PIN)
    source && ZarnikProbe.node_type(source) == OVERRIDE ? ZarnikProbe.input(source, GEOMETRY_PIN) : source
  end

  # Every placement in the group that shows the mesh of `name`.
  def placements_of(name)
    mesh = mesh_named(name)
    group_inputs.compact.select { |p| mesh_of(p) == mesh }
  end

  def transforms_of(placement)
    ZarnikProbe.attr(placement, TRANSFORMS)
  end

  def assert_rows(expected, actual, message = nil)
    assert_equal expected.size, actual.size, message
    expected.zip(actual).each { |e, a| assert_in_delta e, a, 1e-5, message }
  end
end

# frozen_string_literal: true

module ZarniksuDriver
  # The host model as the plug-in sees it: positions in inches with Z up, transforms as 16
  # numbers acting on row vectors with the translation in elements 12 to 14.

  # A host material. Colour channels are 0 to 255; texture is a file path or "".
  HostMaterial = Struct.new(:id, :name, :color, :texture, :opacity, :texture_scale,
                            keyword_init: true) do
    def initialize(id:, name:, color: [200, 200, 200], texture: "", opacity: 1.0,
                   texture_scale: [1.0, 1.0])
      super
    end
  end

  # One triangle corner: position and normal in the host frame, uv, smoothing surface id.
  # Corners of one surface that share a position share one normal in the engine.
  Corner = Struct.new(:position, :normal, :uv, :surface)

  # Three corners and the host material of the triangle (-1: painted by the instance).
  Triangle = Struct.new(:corners, :material_id)

  # A component definition; id -2 is the model's own loose geometry.
  #
  # A big model holds millions of corners, so they are kept flat rather than as an object
  # each: CORNER_SLOTS entries per corner in #corner_slots (position, normal, uv, smoothing
  # surface) and one host material per triangle in #triangle_materials. Positions, normals
  # and uvs are arrays that are shared and never changed afterwards.
  class Definition
    CORNER_SLOTS = 4

    attr_reader :id, :name, :entity_ids, :corner_slots, :triangle_materials

    def initialize(id, name)
      @id = id
      @name = name
      @corner_slots = []
      @triangle_materials = []
      @entity_ids = []
      @local_bounds = nil
    end

    def add_triangle(corners, material_id = -1)
      raise ArgumentError, "a triangle has three corners" unless corners.size == 3

      corners.each { |c| @corner_slots.push(c.position, c.normal, c.uv, c.surface) }
      @triangle_materials << material_id
      @local_bounds = nil
      self
    end

    # add_triangle without the corner objects: each corner's position, normal and uv, all
    # three on one smoothing surface.
    def add_corners(pa, na, uva, pb, nb, uvb, pc, nc, uvc, surface, material_id)
      @corner_slots.push(pa, na, uva, surface, pb, nb, uvb, surface, pc, nc, uvc, surface)
      @triangle_materials << material_id
      @local_bounds = nil
      self
    end

    # The flat arrays themselves, for a reader that appends triangles in bulk as add_corners
    # does; the bounds worked out so far are let go.
    def corner_arrays
      @local_bounds = nil
      [@corner_slots, @triangle_materials]
    end

    def triangle_count
      @triangle_materials.size
    end

    def corner_count
      @triangle_materials.size * 3
    end

    def empty?
      @triangle_materials.empty?
    end

    # The triangles as Triangle objects, made afresh on each call: for looking at a model,
    # not for walking a big one.
    def triangles
      slots = @corner_slots
      Array.new(@triangle_materials.size) do |t|
        first = t * 3 * CORNER_SLOTS
        corners = Array.new(3) { |k| Corner.new(*slots[first + k * CORNER_SLOTS, CORNER_SLOTS]) }
        Triangle.new(corners, @triangle_materials[t])
      end
    end

    # Consecutive triangles with one material, as [material_id, first, end) triples: the
    # faces that the stream reports.
    def material_runs
      runs = []
      @triangle_materials.each_with_index do |material_id, index|
        if runs.empty? || runs.last[0] != material_id
          runs << [material_id, index, index + 1]
        else
          runs.last[2] = index + 1
        end
      end
      runs
    end

    # [min, max] of the corner positions in the definition's own frame, nil when empty.
    def local_bounds
      return nil if empty?

      @local_bounds ||= begin
        min = [Float::INFINITY] * 3
        max = [-Float::INFINITY] * 3
        slots = @corner_slots
        index = 0
        while index < slots.size
          point = slots[index]
          3.times do |axis|
            value = point[axis]
            min[axis] = value if value < min[axis]
            max[axis] = value if value > max[axis]
          end
          index += CORNER_SLOTS
        end
        [min, max]
      end
    end
  end

  # A placement of a definition. material_id -1 inherits the parent's material.
  Instance = Struct.new(:id, :definition_id, :material_id, :transform, :visible,
                        keyword_init: true) do
    def initialize(id:, definition_id:, material_id: -1, transform: Transform::IDENTITY,
                   visible: true)
      super
    end
  end

  # Where the host camera looks from, in host inches; fov is the vertical field of view in
  # degrees.
  Camera = Struct.new(:eye, :target, :up, :fov, keyword_init: true)

  class Camera
    DEFAULT_FOV = 35.0

    # A view from the front right, above, that takes in the whole box [min, max].
    def self.for_bounds(bounds, fov: DEFAULT_FOV)
      min, max = bounds || [[-100.0, -100.0, 0.0], [100.0, 100.0, 100.0]]
      center = min.zip(max).map { |a, b| (a + b) / 2.0 }
      radius = [Math.sqrt(min.zip(max).sum { |a, b| (b - a)**2 }) / 2.0, 1.0].max
      distance = radius / Math.sin(fov * Math::PI / 360.0) * 1.1
      direction = [0.55, -0.75, 0.37]
      length = Math.sqrt(direction.sum { |c| c * c })
      eye = center.zip(direction).map { |c, d| c + d / length * distance }
      new(eye: eye, target: center, up: [0.0, 0.0, 1.0], fov: fov)
    end

    # The same view for a picture of width / height aspect. fov is vertical, so a picture
    # taller than wide sees less across than up and down: the eye steps back along its line
    # of sight until the narrower angle takes in what the vertical one did.
    def for_aspect(aspect)
      return self if aspect >= 1.0

      half = fov * Math::PI / 360.0
      across = Math.atan(Math.tan(half) * aspect)
      factor = Math.sin(half) / Math.sin(across)
      new_eye = target.zip(eye).map { |t, e| t + (e - t) * factor }
      Camera.new(eye: new_eye, target: target, up: up, fov: fov)
    end
  end

  class Model
    ROOT_ID = -2

    attr_reader :materials, :definitions, :instances, :top_level_ids, :root
    attr_accessor :camera, :name

    def initialize(name = "model")
      @name = name
      @materials = {}
      @definitions = {}
      @instances = {}
      @top_level_ids = []
      @root = Definition.new(ROOT_ID, "Loose geometry")
      @camera = nil
    end

    def add_material(material)
      check_new_id(material.id, @materials, "material")
      @materials[material.id] = material
    end

    def add_definition(definition)
      raise ArgumentError, "id #{ROOT_ID} is the model's own geometry" if definition.id == ROOT_ID

      check_new_entity_id(definition.id)
      @definitions[definition.id] = definition
    end

    # Adds the instance and lists it inside parent (a definition, or nil for the top level).
    def add_instance(instance, parent: nil)
      check_new_entity_id(instance.id)
      unless instance.transform.is_a?(Array) && instance.transform.size == 16
        raise ArgumentError, "instance #{instance.id}: a transform has 16 numbers"
      end

      @instances[instance.id] = instance
      (parent ? parent.entity_ids : @top_level_ids) << instance.id
      instance
    end

    def definition(id)
      id == ROOT_ID ? @root : @definitions[id]
    end

    # Every definition that carries geometry, the loose geometry included.
    def geometry_definitions
      list = @definitions.values.reject(&:empty?)
      list << @root unless @root.empty?
      list
    end

    def triangle_count
      geometry_definitions.sum(&:triangle_count)
    end

    # Bounding box [min, max] of the placed geometry in host inches, or nil when nothing is
    # placed.
    #
    # A placement that only scales and moves keeps a box's extremes at its corners, so the
    # definition's own box is carried over; one that turns it (by any angle: a quarter turn
    # leaves rounding residue off the axes) has every corner position transformed.
    def bounds
      min = [Float::INFINITY] * 3
      max = [-Float::INFINITY] * 3
      each_placement do |definition, world, _material|
        points = if Transform.axis_aligned?(world)
                   box_corners(definition.local_bounds)
                 else
                   definition.corner_slots.each_slice(Definition::CORNER_SLOTS).map(&:first)
                 end
        points.each do |local|
          point = Transform.apply(world, local)
          3.times do |axis|
            min[axis] = point[axis] if point[axis] < min[axis]
            max[axis] = point[axis] if point[axis] > max[axis]
          end
        end
      end
      min[0].finite? ? [min, max] : nil
    end

    # Walks the placed tree as the engine's evaluation does: yields every definition with its
    # world transform and effective material. Hidden instances and their contents are not
    # placed; the loose geometry comes first with the identity. A definition reached again
    # below itself is not entered a second time, so a cyclic model still terminates.
    def each_placement(&block)
      return enum_for(:each_placement) unless block

      yield @root, Transform::IDENTITY, -1 unless @root.empty?
      @top_level_ids.each do |id|
        instance = @instances[id]
        walk(instance, Transform::IDENTITY, instance.material_id, [], &block) if instance
      end
    end

    private

    def box_corners((min, max))
      [min[0], max[0]].product([min[1], max[1]], [min[2], max[2]])
    end

    def walk(instance, parent, inherited, path, &block)
      return unless instance.visible

      definition = @definitions[instance.definition_id]
      return if definition.nil? || path.include?(definition.id)

      material = instance.material_id == -1 ? inherited : instance.material_id
      world = Transform.multiply(instance.transform, parent)
      yield definition, world, material unless definition.empty?
      path.push(definition.id)
      definition.entity_ids.each do |child_id|
        child = @instances[child_id]
        walk(child, world, material, path, &block) if child
      end
      path.pop
    end

    def check_new_entity_id(id)
      raise ArgumentError, "entity id #{id} is taken" if @definitions.key?(id) || @instances.key?(id)
      raise ArgumentError, "entity id must be an Integer" unless id.is_a?(Integer)
    end

    def check_new_id(id, table, what)
      raise ArgumentError, "#{what} id #{id} is taken" if table.key?(id)
      raise ArgumentError, "#{what} id must be a non-negative Integer" unless id.is_a?(Integer) && id >= 0
    end
  end
end

# frozen_string_literal: true

module ZarniksuDriver
  # The project's own demo scene: two dining sets (a set places a table and four chairs, and
  # each of those places legs), three lamps, one of them hidden, on a lawn of loose geometry.
  # It exercises what an export has to carry: nesting three levels deep, one definition
  # placed under several instance materials and under none, faces with their own material
  # inside a definition, a hidden instance and the model's loose geometry.
  module SampleModel
    BRICK = 1
    OAK = 2
    SLATE = 3
    GRASS = 4
    BRASS = 5
    LINEN = 6
    GLASS = 7

    LEG = 101
    TABLE = 102
    CHAIR = 103
    DINING_SET = 104
    LAMP = 105

    module_function

    def build
      model = Model.new("sample")
      add_materials(model)
      model.add_definition(leg_definition)
      table = model.add_definition(table_definition)
      chair = model.add_definition(chair_definition)
      set = model.add_definition(Definition.new(DINING_SET, "Dining set"))
      model.add_definition(lamp_definition)
      ids = (1001..).each

      [[22, 13], [-22, 13], [-22, -13], [22, -13]].each do |x, y|
        place(model, ids, LEG, Transform.translation(x, y, 0), parent: table)
      end
      chair_legs = Transform.scale(1.0, 1.0, 16.0 / 28.0)
      [[7.5, 7.5], [-7.5, 7.5], [-7.5, -7.5], [7.5, -7.5]].each do |x, y|
        place(model, ids, LEG, Transform.chain(chair_legs, Transform.translation(x, y, 0)), parent: chair)
      end

      place(model, ids, TABLE, Transform::IDENTITY, parent: set)
      # Two chairs inherit the set's material, two carry their own.
      [[-12, -26, 0, -1], [12, -26, 0, BRICK], [-12, 26, 180, -1], [12, 26, 180, SLATE]].each do |x, y, turn, material|
        place(model, ids, CHAIR, Transform.chain(Transform.rotation_z(turn), Transform.translation(x, y, 0)),
              material: material, parent: set)
      end

      place(model, ids, DINING_SET, Transform::IDENTITY, material: OAK)
      place(model, ids, DINING_SET, Transform.chain(Transform.rotation_z(90), Transform.translation(130, 0, 0)),
            material: BRICK)
      place(model, ids, LAMP, Transform.translation(65, 45, 0), material: GLASS)
      place(model, ids, LAMP, Transform.chain(Transform.scale(1.25), Transform.translation(65, -45, 0)))
      place(model, ids, LAMP, Transform.translation(-60, 0, 0), material: BRICK, visible: false)

      Shapes.new(model.root).grid([-140.0, -110.0], [270.0, 110.0], 0.0, 6, 4, material: GRASS)
      model.camera = Camera.for_bounds(model.bounds)
      model
    end

    def add_materials(model)
      [[BRICK, "Brick", [164, 74, 52], 1.0],
       [OAK, "Oak", [150, 111, 66], 1.0],
       [SLATE, "Slate", [72, 80, 92], 1.0],
       [GRASS, "Grass", [86, 140, 64], 1.0],
       [BRASS, "Brass", [181, 148, 66], 1.0],
       [LINEN, "Linen", [228, 220, 200], 1.0],
       [GLASS, "Glass", [190, 215, 230], 0.35]].each do |id, name, color, opacity|
        model.add_material(HostMaterial.new(id: id, name: name, color: color, opacity: opacity))
      end
    end

    def place(model, ids, definition_id, transform, material: -1, visible: true, parent: nil)
      model.add_instance(Instance.new(id: ids.next, definition_id: definition_id, material_id: material,
                                      transform: transform, visible: visible),
                         parent: parent)
    end

    # A leg 28 inches tall standing on the origin, painted by whatever places it.
    def leg_definition
      definition = Definition.new(LEG, "Leg")
      Shapes.new(definition).box([-1.0, -1.0, 0.0], [1.0, 1.0, 28.0])
      definition
    end

    # The top's upper side is slate of its own; the rest takes the instance material.
    def table_definition
      definition = Definition.new(TABLE, "Table")
      Shapes.new(definition).box([-24.0, -15.0, 28.0], [24.0, 15.0, 30.0], materials: { top: SLATE })
      definition
    end

    # A seat with a linen cushion and a back, facing +y.
    def chair_definition
      definition = Definition.new(CHAIR, "Chair")
      shapes = Shapes.new(definition)
      shapes.box([-9.0, -9.0, 16.0], [9.0, 9.0, 18.0])
      shapes.box([-8.0, -7.0, 18.0], [8.0, 8.0, 19.5], material: LINEN)
      shapes.box([-9.0, -9.0, 18.0], [9.0, -7.0, 36.0])
      definition
    end

    # A brass stand under a smooth shade that takes the instance material.
    def lamp_definition
      definition = Definition.new(LAMP, "Lamp")
      shapes = Shapes.new(definition)
      shapes.cylinder([0.0, 0.0], 6.0, 0.0, 1.0, segments: 12, material: BRASS)
      shapes.cylinder([0.0, 0.0], 0.6, 1.0, 46.0, segments: 8, material: BRASS)
      shapes.cylinder([0.0, 0.0], 8.0, 44.0, 56.0, segments: 24, side_material: -1, material: -1)
      definition
    end
  end
end

# frozen_string_literal: true

module ZarniksuDriver
  # 4 x 4 transforms as the host writes them: 16 numbers, row-major, acting on row vectors,
  # so the translation sits in elements 12 to 14 and a · b applies a first.
  module Transform
    IDENTITY = [1.0, 0.0, 0.0, 0.0,
                0.0, 1.0, 0.0, 0.0,
                0.0, 0.0, 1.0, 0.0,
                0.0, 0.0, 0.0, 1.0].freeze

    # Inches per metre, as the engine side divides by it.
    INCHES_PER_METRE = 39.3701

    module_function

    def translation(x, y, z)
      m = IDENTITY.dup
      m[12] = x.to_f
      m[13] = y.to_f
      m[14] = z.to_f
      m.freeze
    end

    def scale(sx, sy = sx, sz = sx)
      m = IDENTITY.dup
      m[0] = sx.to_f
      m[5] = sy.to_f
      m[10] = sz.to_f
      m.freeze
    end

    # Rotation about the host's up axis (Z), counter-clockwise seen from above.
    def rotation_z(degrees)
      radians = degrees * Math::PI / 180.0
      c = Math.cos(radians)
      s = Math.sin(radians)
      m = IDENTITY.dup
      m[0] = c
      m[1] = s
      m[4] = -s
      m[5] = c
      m.freeze
    end

    # The product a · b: a applies first, then b.
    def multiply(a, b)
      result = Array.new(16, 0.0)
      4.times do |row|
        4.times do |col|
          sum = 0.0
          4.times { |k| sum += a[row * 4 + k] * b[k * 4 + col] }
          result[row * 4 + col] = sum
        end
      end
      result.freeze
    end

    # Chains several transforms, the first applying first.
    def chain(*transforms)
      transforms.reduce(IDENTITY) { |acc, t| multiply(acc, t) }
    end

    # True when the transform only scales (mirroring included) and moves along each axis.
    def axis_aligned?(m)
      m[1].zero? && m[2].zero? && m[4].zero? && m[6].zero? && m[8].zero? && m[9].zero? &&
        m[3].zero? && m[7].zero? && m[11].zero? && m[15] == 1.0
    end

    def apply(m, point)
      x, y, z = point
      [x * m[0] + y * m[4] + z * m[8] + m[12],
       x * m[1] + y * m[5] + z * m[9] + m[13],
       x * m[2] + y * m[6] + z * m[10] + m[14]]
    end

    # The engine's form of a host transform: 3 rows of 4 for column vectors, in metres, in
    # the engine's Y-up frame (host (x, y, z) is engine (x, z, -y)).
    def engine_rows(m)
      s = INCHES_PER_METRE
      [m[0], m[8], -m[4], m[12] / s,
       m[2], m[10], -m[6], m[14] / s,
       -m[1], -m[9], m[5], -m[13] / s]
    end
  end
end

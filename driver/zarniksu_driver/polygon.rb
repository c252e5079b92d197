# frozen_string_literal: true

module ZarniksuDriver
  # Normals and triangulation of the polygons an OBJ face describes, in any frame.
  module Polygon
    # Beyond this many corners ear clipping costs more than it is worth: such polygons are
    # fanned (they are nearly always convex caps).
    EAR_CLIPPING_LIMIT = 512

    module_function

    # The unit normal of a counter-clockwise triangle, or nil when it has no area.
    def triangle_normal(a, b, c)
      ux = b[0] - a[0]
      uy = b[1] - a[1]
      uz = b[2] - a[2]
      vx = c[0] - a[0]
      vy = c[1] - a[1]
      vz = c[2] - a[2]
      nx = uy * vz - uz * vy
      ny = uz * vx - ux * vz
      nz = ux * vy - uy * vx
      length = Math.sqrt(nx * nx + ny * ny + nz * nz)
      return nil unless length.positive? && length.finite?

      [nx / length, ny / length, nz / length]
    end

    # Newell's method: robust for non-planar and concave polygons; nil when the polygon
    # has no area.
    def normal(points)
      nx = ny = nz = 0.0
      points.each_with_index do |(x0, y0, z0), i|
        x1, y1, z1 = points[(i + 1) % points.size]
        nx += (y0 - y1) * (z0 + z1)
        ny += (z0 - z1) * (x0 + x1)
        nz += (x0 - x1) * (y0 + y1)
      end
      length = Math.sqrt(nx * nx + ny * ny + nz * nz)
      return nil unless length.positive? && length.finite?

      [nx / length, ny / length, nz / length]
    end

    # Corner index triples that cover the polygon inside its outline, each wound like the
    # polygon. Ears are cut from the first corner on, so a convex polygon comes out as the
    # fan from its first corner. Corners on a straight edge give no triangle of their own.
    def triangulate(points, normal)
      count = points.size
      return [[0, 1, 2]] if count == 3
      return (1...(count - 1)).map { |k| [0, k, k + 1] } if count > EAR_CLIPPING_LIMIT

      flat = project(points, normal)
      remaining = (0...count).to_a
      triangles = []
      while remaining.size > 3
        k = find_ear(flat, remaining)
        a = remaining[k - 1]
        b = remaining[k]
        c = remaining[(k + 1) % remaining.size]
        triangles << [a, b, c] if cross(flat[a], flat[b], flat[c]).positive?
        remaining.delete_at(k)
      end
      triangles << remaining if cross(*remaining.map { |i| flat[i] }).positive?
      triangles
    end

    # The fan from the first corner without its triangles of no area.
    def fan_with_area(points)
      (1...(points.size - 1)).map { |k| [0, k, k + 1] }
                             .select { |t| triangle_normal(*t.map { |i| points[i] }) }
    end

    # Drops the normal's largest axis, so that the polygon runs counter-clockwise in 2D.
    def project(points, normal)
      axis = normal.each_with_index.max_by { |value, _| value.abs }[1]
      u, v = [[1, 2], [2, 0], [0, 1]][axis]
      sign = normal[axis].negative? ? -1.0 : 1.0
      points.map { |p| [p[u], p[v] * sign] }
    end

    # The position (in remaining) of a corner whose triangle with its neighbours is convex
    # and holds no other corner. A corner on a straight edge is taken first: cutting it
    # costs nothing. When no ear exists (a self-crossing outline) the first convex corner,
    # or else the first one, is cut so that the loop always ends.
    def find_ear(flat, remaining)
      size = remaining.size
      first_convex = nil
      size.times do |step|
        k = (step + 1) % size
        a = flat[remaining[k - 1]]
        b = flat[remaining[k]]
        c = flat[remaining[(k + 1) % size]]
        area = cross(a, b, c)
        return k if area.zero?
        next if area.negative?

        first_convex ||= k
        return k unless remaining.any? { |i| inside?(flat[i], a, b, c) }
      end
      first_convex || 1
    end

    def cross(a, b, c)
      (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])
    end

    # Strictly inside, or on an edge without being one of the corners.
    def inside?(point, a, b, c)
      return false if point == a || point == b || point == c

      cross(a, b, point) >= 0 && cross(b, c, point) >= 0 && cross(c, a, point) >= 0
    end
  end
end

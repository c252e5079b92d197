# frozen_string_literal: true

module ZarniksuDriver
  # Adds simple solids to a definition, in host inches with Z up. Flat faces each get a
  # smoothing surface of their own; a smooth side shares one, so the engine merges its
  # normals per position.
  class Shapes
    UV_INCHES = 24.0

    def initialize(definition, first_surface: 1)
      @definition = definition
      @next_surface = first_surface
    end

    def new_surface
      surface = @next_surface
      @next_surface += 1
      surface
    end

    # A quad p0..p3, counter-clockwise seen from the side its normal points to.
    def quad(p0, p1, p2, p3, normal, material: -1, surface: new_surface, uvs: nil)
      uvs ||= planar_uvs([p0, p1, p2, p3], normal)
      corner = ->(i, point) { Corner.new(point, normal, uvs[i], surface) }
      @definition.add_triangle([corner[0, p0], corner[1, p1], corner[2, p2]], material)
      @definition.add_triangle([corner[0, p0], corner[2, p2], corner[3, p3]], material)
    end

    # An axis-aligned box from min to max. materials maps a side (:bottom, :top, :front,
    # :back, :left, :right) to a host material; unnamed sides take material.
    def box(min, max, material: -1, materials: {})
      x0, y0, z0 = min
      x1, y1, z1 = max
      sides = {
        bottom: [[x0, y0, z0], [x0, y1, z0], [x1, y1, z0], [x1, y0, z0], [0.0, 0.0, -1.0]],
        top: [[x0, y0, z1], [x1, y0, z1], [x1, y1, z1], [x0, y1, z1], [0.0, 0.0, 1.0]],
        front: [[x0, y0, z0], [x1, y0, z0], [x1, y0, z1], [x0, y0, z1], [0.0, -1.0, 0.0]],
        back: [[x1, y1, z0], [x0, y1, z0], [x0, y1, z1], [x1, y1, z1], [0.0, 1.0, 0.0]],
        left: [[x0, y1, z0], [x0, y0, z0], [x0, y0, z1], [x0, y1, z1], [-1.0, 0.0, 0.0]],
        right: [[x1, y0, z0], [x1, y1, z0], [x1, y1, z1], [x1, y0, z1], [1.0, 0.0, 0.0]]
      }
      sides.each do |side, (p0, p1, p2, p3, normal)|
        quad(p0, p1, p2, p3, normal, material: materials.fetch(side, material))
      end
    end

    # A vertical cylinder with a smooth side and flat caps.
    def cylinder(center, radius, z0, z1, segments: 16, material: -1, side_material: material)
      cx, cy = center
      ring = Array.new(segments) do |i|
        angle = 2.0 * Math::PI * i / segments
        [Math.cos(angle), Math.sin(angle)]
      end
      side = new_surface
      segments.times do |i|
        a = ring[i]
        b = ring[(i + 1) % segments]
        u0 = i.to_f / segments
        u1 = (i + 1).to_f / segments
        points = [[cx + radius * a[0], cy + radius * a[1], z0], [cx + radius * b[0], cy + radius * b[1], z0],
                  [cx + radius * b[0], cy + radius * b[1], z1], [cx + radius * a[0], cy + radius * a[1], z1]]
        normals = [[a[0], a[1], 0.0], [b[0], b[1], 0.0], [b[0], b[1], 0.0], [a[0], a[1], 0.0]]
        uvs = [[u0, 0.0], [u1, 0.0], [u1, 1.0], [u0, 1.0]]
        corners = Array.new(4) { |k| Corner.new(points[k], normals[k], uvs[k], side) }
        @definition.add_triangle([corners[0], corners[1], corners[2]], side_material)
        @definition.add_triangle([corners[0], corners[2], corners[3]], side_material)
      end
      cap(cx, cy, radius, z1, ring, [0.0, 0.0, 1.0], material)
      cap(cx, cy, radius, z0, ring.reverse, [0.0, 0.0, -1.0], material)
    end

    # A flat grid of nx by ny quads on the plane z, from min to max (x, y).
    def grid(min, max, z, nx, ny, material: -1)
      surface = new_surface
      normal = [0.0, 0.0, 1.0]
      point = ->(i, j) { [min[0] + (max[0] - min[0]) * i / nx, min[1] + (max[1] - min[1]) * j / ny, z] }
      nx.times do |i|
        ny.times do |j|
          quad(point[i, j], point[i + 1, j], point[i + 1, j + 1], point[i, j + 1], normal,
               material: material, surface: surface)
        end
      end
    end

    private

    def cap(cx, cy, radius, z, ring, normal, material)
      surface = new_surface
      center = Corner.new([cx, cy, z], normal, [0.5, 0.5], surface)
      ring.each_index do |i|
        a = ring[i]
        b = ring[(i + 1) % ring.size]
        corner_a = Corner.new([cx + radius * a[0], cy + radius * a[1], z], normal,
                              [0.5 + a[0] / 2, 0.5 + a[1] / 2], surface)
        corner_b = Corner.new([cx + radius * b[0], cy + radius * b[1], z], normal,
                              [0.5 + b[0] / 2, 0.5 + b[1] / 2], surface)
        @definition.add_triangle([center, corner_a, corner_b], material)
      end
    end

    # Texture coordinates from the two axes that lie in the quad's plane.
    def planar_uvs(points, normal)
      axis = normal.each_with_index.max_by { |value, _| value.abs }[1]
      u_axis, v_axis = [0, 1, 2].reject { |a| a == axis }
      points.map { |p| [p[u_axis] / UV_INCHES, p[v_axis] / UV_INCHES] }
    end
  end
end

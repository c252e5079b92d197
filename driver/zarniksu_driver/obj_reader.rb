# frozen_string_literal: true

module ZarniksuDriver
  # Reads a Wavefront OBJ file (and the material libraries it names) into a Model.
  #
  # Objects and groups become definitions, each placed once at the top level; faces before
  # any object or group are the model's loose geometry. Polygons are fan-triangulated,
  # `usemtl` runs become host materials, `s N` smoothing groups become surface ids. OBJ is
  # Y-up: a point (x, y, z) becomes the host point (x, -z, y), scaled from file units to
  # inches by the scale factor.
  class ObjReader
    class ParseError < StandardError; end

    # Statements that carry nothing the host model needs (free-form geometry, lines,
    # points, render attributes). They are skipped, not refused.
    IGNORED = %w[vp l p cstype deg bmat step curv curv2 surf parm trim hole scrv sp end con
                 mg bevel c_interp d_interp lod shadow_obj trace_obj ctech stech].freeze

    FLAT_SURFACE_START = -1

    def self.read(path, scale: 1.0)
      new(scale: scale).read(path)
    end

    def initialize(scale: 1.0)
      raise ArgumentError, "scale must be a positive number" unless scale.is_a?(Numeric) && scale.positive?

      @scale = scale.to_f
    end

    def read(path)
      File.open(path, "r:bom|utf-8") do |io|
        parse(io, source: path, base_dir: File.dirname(path),
                  default_mtl: path.sub(/\.obj\z/i, ".mtl"))
      end
    end

    # source names the input in error messages; material libraries are looked up relative
    # to base_dir; default_mtl is tried when the file names no library.
    def parse(io, source: "(obj)", base_dir: nil, default_mtl: nil)
      reset(source, base_dir)
      each_logical_line(io) { |line, number| parse_line(line, number) }
      load_material_library(default_mtl, nil) if !@library_named && default_mtl && File.file?(default_mtl)
      finish
    end

    private

    def reset(source, base_dir)
      @source = source
      @base_dir = base_dir
      @model = Model.new(File.basename(source.to_s, ".*"))
      @positions = []
      @normals = []
      @uvs = []
      @library = {}
      @library_named = false
      @material_ids = {}
      @current_material = -1
      @smoothing = nil
      @next_flat_surface = FLAT_SURFACE_START
      @target = @model.root
      @definitions_by_name = {}
      @next_definition_id = 1
    end

    # Joins lines continued with a trailing backslash; numbers are those of the first line.
    def each_logical_line(io)
      pending = nil
      first = nil
      io.each_line.with_index(1) do |raw, number|
        text = raw.chomp.scrub
        if text.end_with?("\\")
          first ||= number
          pending = "#{pending}#{text.chop} "
          next
        end
        yield("#{pending}#{text}", first || number)
        pending = nil
        first = nil
      end
      yield(pending, first) if pending
    end

    def parse_line(line, number)
      @line = line
      @number = number
      text = line.sub(/#.*/, "").strip
      return if text.empty?

      keyword, rest = text.split(/\s+/, 2)
      rest ||= ""
      case keyword
      when "v" then @positions << numbers(rest, 3, 4)[0, 3]
      when "vn" then @normals << numbers(rest, 3, 3)
      when "vt" then @uvs << uv(numbers(rest, 1, 3))
      when "f", "fo" then add_polygon(rest)
      when "o", "g" then start_definition(rest)
      when "usemtl" then use_material(rest)
      when "mtllib" then material_libraries(rest)
      when "s" then smoothing_group(rest)
      else
        fail_line("unknown statement '#{keyword}'") unless IGNORED.include?(keyword)
      end
    end

    def fail_line(message)
      raise ParseError, "#{@source}:#{@number}: #{message}: #{@line.strip}"
    end

    def numbers(rest, min, max)
      fields = rest.split
      fail_line("expected #{min == max ? min : "#{min} to #{max}"} numbers") unless fields.size.between?(min, max)
      fields.map do |field|
        value = Float(field, exception: false)
        fail_line("'#{field}' is not a number") unless value&.finite?
        value
      end
    end

    def uv(values)
      [values[0], values[1] || 0.0]
    end

    def start_definition(rest)
      name = rest.strip
      name = "default" if name.empty?
      @target = @definitions_by_name[name] ||= begin
        definition = Definition.new(next_free_id, name)
        @model.add_definition(definition)
        definition
      end
    end

    def next_free_id
      id = @next_definition_id
      @next_definition_id += 1
      id
    end

    def use_material(rest)
      name = rest.strip
      fail_line("usemtl needs a material name") if name.empty?
      @current_material = @material_ids[name] ||= begin
        id = @material_ids.size + 1
        @model.add_material(material_from_library(id, name))
        id
      end
    end

    def material_from_library(id, name)
      entry = @library[name] || {}
      HostMaterial.new(id: id, name: name,
                       color: entry[:color] || [200, 200, 200],
                       texture: entry[:texture] || "",
                       opacity: entry[:opacity] || 1.0,
                       texture_scale: entry[:texture_scale] || [1.0, 1.0])
    end

    def material_libraries(rest)
      @library_named = true
      names = rest.split
      fail_line("mtllib needs a file name") if names.empty?
      names.each do |name|
        path = @base_dir ? File.expand_path(name, @base_dir) : name
        load_material_library(path, name)
      end
    end

    # A named library that is missing leaves its materials at their defaults, as viewers do.
    def load_material_library(path, _name)
      return unless File.file?(path)

      MtlReader.read(path).each { |name, entry| @library[name] ||= entry }
      refresh_known_materials
    end

    # Libraries named after a `usemtl` still describe that material.
    def refresh_known_materials
      @material_ids.each do |name, id|
        next unless @library.key?(name)

        current = @model.materials[id]
        fresh = material_from_library(id, name)
        current.members.each { |field| current[field] = fresh[field] }
      end
    end

    def smoothing_group(rest)
      value = rest.strip
      @smoothing =
        case value
        when "off", "0" then nil
        when /\A\d{1,9}\z/ then Integer(value, 10)
        else fail_line("smoothing group must be 'off' or a number below 1000000000")
        end
    end

    def add_polygon(rest)
      corners = rest.split.map { |field| corner_indices(field) }
      fail_line("a face needs at least 3 vertices") if corners.size < 3

      surface = @smoothing || take_flat_surface
      points = corners.map { |c| host_point(@positions[c[0]]) }
      face_normal = polygon_normal(points)
      material = @current_material
      (1...(corners.size - 1)).each do |k|
        triangle = [0, k, k + 1].map do |i|
          index = corners[i]
          normal = index[2] ? host_direction(@normals[index[2]]) : face_normal
          Corner.new(points[i], normal, index[1] ? @uvs[index[1]] : [0.0, 0.0], surface)
        end
        @target.add_triangle(triangle, material)
      end
    end

    # Every face outside a smoothing group is a surface of its own; these ids count down from
    # -1 so that they never meet the file's own group numbers.
    def take_flat_surface
      surface = @next_flat_surface
      @next_flat_surface -= 1
      surface
    end

    # "v", "v/vt", "v//vn" or "v/vt/vn", each number counted from 1 or, when negative, back
    # from the latest element of its kind; answers 0-based indices (nil for a missing part).
    def corner_indices(field)
      parts = field.split("/", -1)
      fail_line("bad face vertex '#{field}'") if parts.size > 3 || parts[0].to_s.empty?
      position = resolve(parts[0], @positions.size, "vertex")
      uv = parts[1].to_s.empty? ? nil : resolve(parts[1], @uvs.size, "texture coordinate")
      normal = parts[2].to_s.empty? ? nil : resolve(parts[2], @normals.size, "normal")
      [position, uv, normal]
    end

    def resolve(text, count, what)
      number = Integer(text, 10, exception: false)
      fail_line("'#{text}' is not a #{what} number") if number.nil? || number.zero?
      index = number.positive? ? number - 1 : count + number
      fail_line("#{what} #{number} does not exist (#{count} defined so far)") unless index.between?(0, count - 1)
      index
    end

    def host_point(point)
      x, y, z = point
      [x * @scale, -z * @scale, y * @scale]
    end

    def host_direction(direction)
      x, y, z = direction
      [x, -z, y]
    end

    # Newell's method: robust for non-planar and concave polygons; a degenerate polygon
    # falls back to the host's up axis.
    def polygon_normal(points)
      nx = ny = nz = 0.0
      points.each_with_index do |(x0, y0, z0), i|
        x1, y1, z1 = points[(i + 1) % points.size]
        nx += (y0 - y1) * (z0 + z1)
        ny += (z0 - z1) * (x0 + x1)
        nz += (x0 - x1) * (y0 + y1)
      end
      length = Math.sqrt(nx * nx + ny * ny + nz * nz)
      return [0.0, 0.0, 1.0] unless length.positive? && length.finite?

      [nx / length, ny / length, nz / length]
    end

    # Objects and groups without faces (a group statement right before an object, say) are
    # dropped; every other definition is placed once at the top level.
    def finish
      @model.definitions.delete_if { |_, definition| definition.empty? }
      @model.definitions.each_value do |definition|
        @model.add_instance(Instance.new(id: next_free_id, definition_id: definition.id))
      end
      @model.camera = Camera.for_bounds(@model.bounds)
      @model
    end
  end

  # Reads the material library of an OBJ file: diffuse colour (Kd), diffuse texture (map_Kd
  # with its -s scale) and opacity (d, or Tr as its complement).
  module MtlReader
    # Texture options and how many values each takes at most.
    MAP_OPTIONS = { "-blendu" => 1, "-blendv" => 1, "-bm" => 1, "-boost" => 1, "-cc" => 1,
                    "-clamp" => 1, "-imfchan" => 1, "-mm" => 2, "-o" => 3, "-s" => 3,
                    "-t" => 3, "-texres" => 1 }.freeze

    module_function

    def read(path)
      File.open(path, "r:bom|utf-8") do |io|
        parse(io, source: path, base_dir: File.dirname(path))
      end
    end

    # Answers name => { color:, texture:, opacity:, texture_scale: } (missing keys unset).
    def parse(io, source: "(mtl)", base_dir: nil)
      materials = {}
      current = nil
      io.each_line.with_index(1) do |raw, number|
        raw = raw.scrub
        text = raw.sub(/#.*/, "").strip
        next if text.empty?

        keyword, rest = text.split(/\s+/, 2)
        rest ||= ""
        fail_line = ->(message) { raise ObjReader::ParseError, "#{source}:#{number}: #{message}: #{raw.strip}" }
        if keyword == "newmtl"
          fail_line.call("newmtl needs a name") if rest.strip.empty?
          current = materials[rest.strip] = {}
          next
        end
        next unless %w[Kd d Tr map_Kd].include?(keyword)

        fail_line.call("#{keyword} before any newmtl") unless current
        case keyword
        when "Kd"
          value = color(rest, fail_line)
          current[:color] = value if value
        when "d" then current[:opacity] = fraction(rest, fail_line)
        when "Tr" then current[:opacity] ||= 1.0 - fraction(rest, fail_line)
        when "map_Kd" then texture(rest, base_dir, current, fail_line)
        end
      end
      materials
    end

    # "Kd r [g b]"; the spectral and CIE XYZ forms have no host colour and keep the default.
    def color(rest, fail_line)
      fields = rest.split
      return nil if %w[spectral xyz].include?(fields.first)

      values = fields.map { |f| Float(f, exception: false) }
      unless [1, 3].include?(values.size) && values.all? { |v| v&.finite? }
        fail_line.call("Kd takes one or three numbers")
      end
      values = values * 3 if values.size == 1
      values.map { |v| (v.clamp(0.0, 1.0) * 255).round }
    end

    def fraction(rest, fail_line)
      fields = rest.split
      fields.shift if fields.first == "-halo"
      value = fields.size == 1 ? Float(fields.first, exception: false) : nil
      fail_line.call("expected one number from 0 to 1") unless value&.finite?
      value.clamp(0.0, 1.0)
    end

    def texture(rest, base_dir, current, fail_line)
      fields = rest.split
      scale = nil
      while (option = fields.first) && MAP_OPTIONS.key?(option)
        fields.shift
        values = []
        while values.size < MAP_OPTIONS[option] && fields.size > 1 && Float(fields.first, exception: false)
          values << Float(fields.shift)
        end
        values << fields.shift if values.empty? && fields.size > 1 && !fields.first.start_with?("-")
        scale = [values[0], values[1] || values[0]] if option == "-s" && values[0].is_a?(Float)
      end
      fail_line.call("map_Kd needs a file name") if fields.empty?
      name = fields.join(" ")
      current[:texture] = base_dir ? File.expand_path(name, base_dir) : name
      current[:texture_scale] = scale if scale
    end
  end
end

# frozen_string_literal: true

require_relative "obj_text"
require_relative "polygon"

begin
  # The common lines read in C (ZarniksuDriver::ObjScan), built beside the extension; without
  # it every line is read in Ruby, to the same model.
  require "zarniksu_obj_scan"
rescue LoadError
  nil
end

module ZarniksuDriver
  # Reads a Wavefront OBJ file (and the material libraries it names) into a Model.
  #
  # Objects and groups become definitions, each placed once at the top level; faces before
  # any object or group are the model's loose geometry. Polygons are triangulated inside
  # their outline, `usemtl` runs become host materials, `s N` smoothing groups become
  # surface ids. OBJ is Y-up: a point (x, y, z) becomes the host point (x, -z, y), scaled
  # from file units to inches by the scale factor.
  #
  # It reads what common OBJ readers read and skips what they skip: a face that cannot be
  # used, a statement it does not know, a missing library or texture cost one warning per
  # kind (see #warnings) and the rest of the file is read. Only what would shift every later
  # index (an unreadable vertex) or what is not an OBJ file at all is an error.
  class ObjReader
    ParseError = ObjText::ParseError

    # Statements that carry nothing the host model has (free-form geometry, render
    # attributes, texture map libraries): skipped with one warning each.
    FREE_FORM = %w[vp cstype deg bmat step curv curv2 surf parm trim hole scrv sp end con].freeze

    FLAT_SURFACE_START = -1
    DEFAULT_MATERIAL = "default"
    NO_UV = [0.0, 0.0].freeze
    IGNORED_KINDS_NAMED = 16

    # Lines read between two progress reports.
    PROGRESS_LINES = 8192

    # Counts of what the file held that the model does not show.
    Counts = Struct.new(:faces, :triangles, :skipped_faces, :degenerate, :lines, :points,
                        keyword_init: true)

    # Counts of the last read (nil before the first).
    def counts
      return nil unless @counts

      @counts.faces = @face_count
      @counts.triangles = @triangle_count
      @counts
    end

    def self.read(path, scale: 1.0)
      new(scale: scale).read(path)
    end

    # native: false reads every line in Ruby even where the C scanner is built.
    def initialize(scale: 1.0, progress: nil, native: true)
      raise ArgumentError, "scale must be a positive number" unless scale.is_a?(Numeric) && scale.positive?

      @scale = scale.to_f
      @progress = progress
      @native = native && self.class.native?
    end

    # Whether the C scanner is there to read the common lines.
    def self.native?
      defined?(ObjScan) ? true : false
    end

    # progress, when given, is called with the bytes read so far and the file's size.
    def read(path)
      warnings = ObjText::Warnings.new(path)
      text = ObjText.load(path, warnings)
      parse(text, source: path, base_dir: File.dirname(path),
                  default_mtl: path.sub(/\.obj\z/i, ".mtl"), warnings: warnings)
    end

    # Warnings of the last read: one line per kind of trouble, the OBJ file's first.
    def warnings
      (@warnings&.to_a || []) + @library_warnings
    end

    # text is a String or an IO. source names the input in messages; material libraries are
    # looked up relative to base_dir; default_mtl is tried when the file names no library.
    def parse(text, source: "(obj)", base_dir: nil, default_mtl: nil, warnings: nil)
      text = text.read if text.respond_to?(:read)
      warnings ||= ObjText::Warnings.new(source)
      text = ObjText.decode(text.b, source, warnings) unless text.encoding == Encoding::UTF_8 && text.valid_encoding?
      text = text.delete_prefix("\uFEFF")
      reset(source, base_dir, warnings)
      @native ? each_scanned_line(text) : each_logical_line(text)
      load_material_library(default_mtl, nil, nil) if !@library_named && default_mtl && File.file?(default_mtl)
      finish
    end

    private

    def reset(source, base_dir, warnings)
      @source = source
      @base_dir = base_dir
      @warnings = warnings
      @library_warnings = []
      @model = Model.new(File.basename(source.to_s, ".*"))
      @positions = []
      @normals = []
      @uvs = []
      @library = {}
      @library_named = false
      @material_ids = {}
      @material_first_use = {}
      @current_material = -1
      @smoothing = nil
      @next_flat_surface = FLAT_SURFACE_START
      @target = @model.root
      @definitions_by_name = {}
      @next_definition_id = 1
      @corner_cache = {}
      @ignored_kinds = {}
      @bounds_min = [Float::INFINITY] * 3
      @bounds_max = [-Float::INFINITY] * 3
      @counts = Counts.new(faces: 0, triangles: 0, skipped_faces: 0, degenerate: 0, lines: 0, points: 0)
      # Every face counts in these two: plain variables are cheaper than the Struct's.
      @face_count = 0
      @triangle_count = 0
      @scan_faces = true
      @pending = @pending_number = nil
    end

    # Parses every line, joining lines continued with a trailing backslash; numbers are those
    # of the first line.
    def each_logical_line(text)
      number = 0
      done = 0
      total = text.bytesize
      progress = @progress
      # Most files have no backslash at all: their lines need no look at their ends.
      continued = text.include?("\\")
      text.each_line do |line|
        number += 1
        if progress
          progress.call(done, total) if (number % PROGRESS_LINES).zero?
          done += line.bytesize
        end
        take_line(line, number, continued)
      end
      finish_lines
      @progress&.call(total, total)
    end

    # Joins a line ending in a backslash with the lines it continues into; each whole line is
    # parsed under the number of its first line.
    def take_line(line, number, continued)
      if continued && line.end_with?("\\\n", "\\\r\n", "\\")
        @pending_number ||= number
        @pending = "#{@pending}#{line.chomp.chop} "
      elsif @pending
        parse_line("#{@pending}#{line}", @pending_number)
        @pending = @pending_number = nil
      else
        parse_line(line, number)
      end
    end

    def finish_lines
      parse_line(@pending, @pending_number) if @pending
      @pending = @pending_number = nil
    end

    # each_logical_line with the C scanner: it reads the common lines in bulk and stops
    # before the first other one, which is read here, and so are the lines it continues into;
    # then it goes on after them. With progress it leaves the lines of each report to this
    # loop, so that the reports come where each_logical_line makes them.
    def each_scanned_line(text)
      total = text.bytesize
      progress = @progress
      arrays = [@positions, @uvs, @normals, nil, nil, @bounds_min, @bounds_max, NO_UV]
      settings = [progress ? PROGRESS_LINES : 0, @scale, nil, 0, 0, true]
      offset = 0
      number = 0
      while offset < total
        if @pending
          line_end = ObjScan.line_end(text, offset)
        else
          arrays[3], arrays[4] = @target.corner_arrays
          settings[2] = @smoothing
          settings[3] = @next_flat_surface
          settings[4] = @current_material
          settings[5] = @scan_faces
          offset, number, @next_flat_surface, faces, triangles, line_end =
            ObjScan.scan(text, offset, number, arrays, settings)
          @face_count += faces
          @triangle_count += triangles
          break if offset >= total
        end
        line = text.byteslice(offset, line_end - offset)
        number += 1
        progress.call(offset, total) if progress && (number % PROGRESS_LINES).zero?
        offset = line_end
        take_line(line, number, true)
      end
      finish_lines
      progress&.call(total, total)
    end

    def parse_line(line, number)
      fields = line.split
      return if fields.empty?

      if line.include?("#")
        line = line[0, line.index("#")]
        fields = line.split
        return if fields.empty?
      end
      @line = line
      @number = number
      case fields[0]
      when "v" then vertex(fields)
      when "vt" then @uvs << texture_coordinate(fields)
      when "vn" then @normals << normal(fields)
      when "f", "fo" then add_polygon(fields)
      when "o", "g" then start_definition(fields)
      when "usemtl" then use_material(fields)
      when "mtllib" then material_libraries(line)
      when "s" then smoothing_group(fields)
      when "l" then skip_element(:lines)
      when "p" then skip_element(:points)
      else ignore(fields[0])
      end
    end

    def fail_line(message)
      raise ParseError, "#{@source}:#{@number}: #{message}: #{ObjText.quote(@line)}"
    end

    def warn_line(kind, message)
      @warnings.add(kind, @number, message)
    end

    # A text that is no OBJ file at all would otherwise give a warning per line.
    def ignore(keyword)
      what = FREE_FORM.include?(keyword) ? "free-form geometry" : "statement"
      @ignored_kinds[keyword] = true if @ignored_kinds.size < IGNORED_KINDS_NAMED
      if @ignored_kinds.key?(keyword)
        warn_line([:ignored, keyword], "#{what} '#{ObjText.quote(keyword, ObjText::WORD_LENGTH)}' ignored")
      else
        warn_line(:ignored_more, "more unknown statements ignored")
      end
    end

    def skip_element(kind)
      @counts[kind] += 1
      warn_line(kind, kind == :lines ? "lines skipped (the host model has faces only)" : "points skipped")
    end

    # "v x y z [w]" or "v x y z r g b": colours are read and set aside.
    def vertex(fields)
      fail_line("a vertex needs 3 numbers") if fields.size < 4
      x = Float(fields[1], exception: false)
      y = Float(fields[2], exception: false)
      z = Float(fields[3], exception: false)
      # The plain form first; number takes every other one and says what is wrong.
      unless x&.finite? && y&.finite? && z&.finite?
        x = number(fields[1])
        y = number(fields[2])
        z = number(fields[3])
      end
      if fields.size > 5
        fields[4..].each { |field| number(field) }
        warn_line(:colours, "vertex colours set aside (the host model has none)")
      end
      @positions << [x * @scale, -z * @scale, y * @scale]
    end

    def texture_coordinate(fields)
      fail_line("a texture coordinate needs a number") if fields.size < 2
      u = Float(fields[1], exception: false)
      v = fields.size > 2 ? Float(fields[2], exception: false) : 0.0
      return [u, v] if u&.finite? && v&.finite?

      [number(fields[1]), fields.size > 2 ? number(fields[2]) : 0.0]
    end

    def normal(fields)
      fail_line("a normal needs 3 numbers") if fields.size < 4
      x = Float(fields[1], exception: false)
      y = Float(fields[2], exception: false)
      z = Float(fields[3], exception: false)
      unless x&.finite? && y&.finite? && z&.finite?
        x = number(fields[1])
        y = number(fields[2])
        z = number(fields[3])
      end
      [x, -z, y]
    end

    def number(field)
      value = Float(field, exception: false)
      return value if value&.finite?

      ObjText.number(field) || fail_line("'#{ObjText.quote(field, ObjText::WORD_LENGTH)}' is not a number")
    end

    def start_definition(fields)
      name = fields.drop(1).join(" ")
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

    def use_material(fields)
      name = fields.drop(1).join(" ")
      if name.empty?
        warn_line(:unnamed_material, "usemtl without a name: the default material")
        name = DEFAULT_MATERIAL
      end
      @current_material = @material_ids[name] ||= begin
        @material_first_use[name] = @number
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

    # File names may hold spaces when they are the only one on the line.
    def material_libraries(line)
      @library_named = true
      rest = line.strip.sub(/\Amtllib\s*/, "")
      if rest.empty?
        warn_line(:mtllib_empty, "mtllib without a file name ignored")
        return
      end
      names = rest.split
      names = [rest] if names.size > 1 && !names.all? { |n| n.downcase.end_with?(".mtl") }
      names.each do |name|
        name = name.tr("\\", "/")
        path = @base_dir ? File.expand_path(name, @base_dir) : name
        load_material_library(path, name, @number)
      end
    end

    # A library that is missing leaves its materials at their defaults, as viewers do.
    def load_material_library(path, name, line)
      unless File.file?(path)
        warn_line([:mtllib, name], "material library '#{name}' not found: its materials are grey") if line
        return
      end

      reader = MtlReader.new(path)
      reader.read.each { |material, entry| @library[material] ||= entry }
      @library_warnings.concat(reader.warnings)
      refresh_known_materials
    rescue ParseError => e
      @library_warnings << "#{e.message} (the library is skipped)"
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

    def smoothing_group(fields)
      value = fields[1].to_s
      @smoothing =
        case value
        when "off", "0", "" then nil
        when /\A\d{1,9}\z/ then Integer(value, 10)
        else
          warn_line(:smoothing, "smoothing group '#{ObjText.quote(value)}' is not 'off' or a number: read as off")
          nil
        end
    end

    def add_polygon(fields)
      @face_count += 1
      cache = @corner_cache
      size = fields.size
      if size == 4
        # The common case, without the general path's lists.
        a = cache[fields[1]] || corner_indices(fields[1]) or return skip_face
        b = cache[fields[2]] || corner_indices(fields[2]) or return skip_face
        c = cache[fields[3]] || corner_indices(fields[3]) or return skip_face
        return emit_triangle(a, b, c)
      end
      corners = []
      index = 1
      while index < size
        field = fields[index]
        corner = cache[field] || corner_indices(field)
        return skip_face if corner.nil?

        corners << corner
        index += 1
      end
      if corners.size < 3
        warn_line(:short_face, "face with fewer than 3 vertices skipped")
        return skip_face
      end
      corners.size == 3 ? emit_triangle(*corners) : emit_polygon(corners)
    end

    # Corners are [position, uv, normal] with nil for a part the face does not give. The
    # face normal is worked out as Polygon.triangle_normal does, but made only when a
    # corner needs it.
    def emit_triangle(a, b, c)
      pa = a[0]
      pb = b[0]
      pc = c[0]
      ux = pb[0] - pa[0]
      uy = pb[1] - pa[1]
      uz = pb[2] - pa[2]
      vx = pc[0] - pa[0]
      vy = pc[1] - pa[1]
      vz = pc[2] - pa[2]
      nx = uy * vz - uz * vy
      ny = uz * vx - ux * vz
      nz = ux * vy - uy * vx
      # The square root is positive and finite exactly when its square is.
      square = nx * nx + ny * ny + nz * nz
      return drop_degenerate(1) unless square.positive? && square.finite?

      na = a[2]
      nb = b[2]
      nc = c[2]
      if na.nil? || nb.nil? || nc.nil?
        length = Math.sqrt(square)
        face_normal = [nx / length, ny / length, nz / length]
        na ||= face_normal
        nb ||= face_normal
        nc ||= face_normal
      end
      surface = @smoothing
      unless surface
        surface = @next_flat_surface
        @next_flat_surface -= 1
      end
      @target.add_corners(pa, na, a[1] || NO_UV, pb, nb, b[1] || NO_UV, pc, nc, c[1] || NO_UV,
                          surface, @current_material)
      @triangle_count += 1
    end

    def skip_face
      @counts.skipped_faces += 1
      nil
    end

    def emit_polygon(corners)
      surface = @smoothing || take_flat_surface
      points = corners.map(&:first)
      face_normal = Polygon.normal(points)
      if face_normal
        triangles = Polygon.triangulate(points, face_normal)
      else
        # An outline that crosses itself into lobes of opposite turn (a bow tie) has no
        # overall side: its fan still shows each lobe.
        triangles = Polygon.fan_with_area(points)
        return drop_degenerate(corners.size - 2) if triangles.empty?

        face_normal = Polygon.triangle_normal(*triangles.first.map { |i| points[i] })
      end
      drop_degenerate(corners.size - 2 - triangles.size) if triangles.size < corners.size - 2
      material = @current_material
      triangles.each do |i, j, k|
        a = corners[i]
        b = corners[j]
        c = corners[k]
        @target.add_corners(a[0], a[2] || face_normal, a[1] || NO_UV, b[0], b[2] || face_normal, b[1] || NO_UV,
                            c[0], c[2] || face_normal, c[1] || NO_UV, surface, material)
      end
      @triangle_count += triangles.size
    end

    def drop_degenerate(triangles)
      @counts.degenerate += triangles
      warn_line(:degenerate, "degenerate faces (no area) dropped")
      nil
    end

    # Every face outside a smoothing group is a surface of its own; these ids count down from
    # -1 so that they never meet the file's own group numbers.
    def take_flat_surface
      surface = @next_flat_surface
      @next_flat_surface -= 1
      surface
    end

    # "v", "v/vt", "v//vn" or "v/vt/vn", each number counted from 1 or, when negative, back
    # from the latest element of its kind; answers the corner's [position, uv, normal] (nil
    # for a missing part), or nil with a warning for a face that cannot be used. A texture
    # coordinate or normal that does not exist is dropped from its corner, the face stays.
    #
    # Corners counted from the file's start resolve the same way wherever they come, and
    # most are shared by several faces: they are remembered.
    def corner_indices(field)
      corner = counted_corner(field)
      unless corner
        indices = parse_corner(field)
        return nil unless indices

        position, uv, normal = indices
        corner = [@positions[position], uv && @uvs[uv], normal && @normals[normal]].freeze
      end
      @corner_cache[field.freeze] = corner unless field.include?("-")
      include_in_bounds(corner[0])
      corner
    end

    # The corner of a field whose numbers all count from the file's start and all exist,
    # as nearly every corner of a big file does; nil sends the field the long way, which
    # gives the same corner or says what is wrong with it.
    def counted_corner(field)
      return nil if field.include?("-")

      parts = field.split("/", -1)
      count = parts.size
      return nil if count > 3

      position = Integer(parts[0], 10) - 1
      uv = count > 1 && !parts[1].empty? ? Integer(parts[1], 10) - 1 : nil
      normal = count > 2 && !parts[2].empty? ? Integer(parts[2], 10) - 1 : nil
      return nil unless position >= 0 && position < @positions.size
      return nil if uv && (uv.negative? || uv >= @uvs.size)
      return nil if normal && (normal.negative? || normal >= @normals.size)

      [@positions[position], uv && @uvs[uv], normal && @normals[normal]].freeze
    rescue ArgumentError
      nil
    end

    # Every placement of an OBJ model is the identity: the bounds are those of the points
    # that faces name, gathered as each new corner is met.
    def include_in_bounds(point)
      min = @bounds_min
      max = @bounds_max
      x = point[0]
      y = point[1]
      z = point[2]
      min[0] = x if x < min[0]
      max[0] = x if x > max[0]
      min[1] = y if y < min[1]
      max[1] = y if y > max[1]
      min[2] = z if z < min[2]
      max[2] = z if z > max[2]
    end

    def parse_corner(field)
      unless field.include?("/")
        plain = whole_number(field)
        position = plain && resolve(plain, @positions.size)
        return position ? [position, nil, nil] : missing_vertex(field)
      end
      parts = field.split("/", -1)
      if parts.size > 3 || parts[0].empty?
        warn_line(:bad_corner, "face vertex '#{ObjText.quote(field)}' unreadable: face skipped")
        return nil
      end
      given = whole_number(parts[0])
      position = given && resolve(given, @positions.size)
      return missing_vertex(parts[0]) unless position

      [position, optional_index(parts[1], @uvs.size, "texture coordinate"),
       optional_index(parts[2], @normals.size, "normal")]
    end

    # Integer(text, 10, exception: false) without its keyword, which costs more than the
    # conversion: faces are most of a big file.
    def whole_number(text)
      Integer(text, 10)
    rescue ArgumentError
      nil
    end

    def missing_vertex(given)
      warn_line(:missing_vertex, "face names vertex #{ObjText.quote(given.to_s)}, which does not exist " \
                                 "(#{@positions.size} so far): face skipped")
      nil
    end

    def optional_index(text, count, what)
      return nil if text.nil? || text.empty?

      given = whole_number(text)
      index = given && resolve(given, count)
      return index if index

      warn_line([:missing, what], "#{what} #{ObjText.quote(text)} does not exist (#{count} so far): left out")
      # The corner is remembered without this part, also once the part exists: later faces
      # that name it must come here to get the same corner.
      @scan_faces = false
      nil
    end

    def resolve(number, count)
      index = number.positive? ? number - 1 : count + number
      number.zero? || index >= count || index.negative? ? nil : index
    end

    # Objects and groups without faces (a group statement right before an object, say) are
    # dropped; every other definition is placed once at the top level.
    def finish
      warn_undefined_materials
      @model.definitions.delete_if { |_, definition| definition.empty? }
      @model.definitions.each_value do |definition|
        @model.add_instance(Instance.new(id: next_free_id, definition_id: definition.id))
      end
      bounds = @bounds_min[0].finite? && @model.triangle_count.positive? ? [@bounds_min, @bounds_max] : nil
      @model.camera = Camera.for_bounds(bounds)
      @model
    end

    def warn_undefined_materials
      return unless @library_named || !@library.empty?

      missing = @material_ids.keys.reject { |name| @library.key?(name) || name == DEFAULT_MATERIAL }
      missing.each do |name|
        @warnings.add([:undefined_material, name], @material_first_use[name],
                      "material '#{ObjText.quote(name)}' is in no material library: grey")
      end
    end
  end

  # Reads the material library of an OBJ file: diffuse colour (Kd), diffuse texture (map_Kd
  # with its -s scale) and opacity (d, or Tr as its complement). A statement that cannot be
  # used costs a warning and is skipped, as is everything that follows an unnamed `newmtl`.
  class MtlReader
    # Texture options and how many values each takes at most.
    MAP_OPTIONS = { "-blendu" => 1, "-blendv" => 1, "-bm" => 1, "-boost" => 1, "-cc" => 1,
                    "-clamp" => 1, "-imfchan" => 1, "-mm" => 2, "-o" => 3, "-s" => 3,
                    "-t" => 3, "-texres" => 1 }.freeze

    def self.read(path)
      new(path).read
    end

    def initialize(path)
      @path = path
      @base_dir = File.dirname(path)
      @warnings = ObjText::Warnings.new(path)
    end

    def read
      parse(ObjText.load(@path, @warnings))
    end

    def warnings
      @warnings.to_a
    end

    # Answers name => { color:, texture:, opacity:, texture_scale: } (missing keys unset).
    def parse(text)
      materials = {}
      current = nil
      text.each_line.with_index(1) do |raw, number|
        @number = number
        text = raw.sub(/#.*/, "").strip
        next if text.empty?

        keyword, rest = text.split(/\s+/, 2)
        rest ||= ""
        if keyword == "newmtl"
          current = new_material(materials, rest.strip)
          next
        end
        next unless %w[Kd d Tr map_Kd].include?(keyword)
        next unless current || warn([:orphan, keyword], "#{keyword} before any newmtl ignored")

        statement(keyword, rest, current)
      end
      materials
    end

    private

    def warn(kind, message)
      @warnings.add(kind, @number, message)
      false
    end

    def new_material(materials, name)
      if name.empty?
        warn(:unnamed, "newmtl without a name: its statements are skipped")
        return {}
      end
      materials[name] = {}
    end

    def statement(keyword, rest, current)
      case keyword
      when "Kd"
        value = color(rest)
        current[:color] = value if value
      when "d"
        value = fraction(rest)
        current[:opacity] = value if value
      when "Tr"
        value = fraction(rest)
        current[:opacity] ||= 1.0 - value if value
      when "map_Kd" then texture(rest, current)
      end
    end

    # "Kd r [g b]"; the spectral and CIE XYZ forms have no host colour and keep the default.
    def color(rest)
      fields = rest.split
      return nil if %w[spectral xyz].include?(fields.first)

      values = fields.map { |f| ObjText.number(f) }
      unless [1, 3].include?(values.size) && values.all?
        return warn(:kd, "Kd takes one or three numbers: #{ObjText.quote(rest)}") && nil
      end

      values *= 3 if values.size == 1
      values.map { |v| (v.clamp(0.0, 1.0) * 255).round }
    end

    def fraction(rest)
      fields = rest.split
      fields.shift if fields.first == "-halo"
      value = fields.size == 1 ? ObjText.number(fields.first) : nil
      return warn(:fraction, "expected one number from 0 to 1: #{ObjText.quote(rest)}") && nil unless value

      value.clamp(0.0, 1.0)
    end

    # Options come first; the rest of the line, spaces and all, is the file name. Files
    # written on Windows separate folders with backslashes.
    def texture(rest, current)
      fields = rest.split
      scale = nil
      while (option = fields.first) && MAP_OPTIONS.key?(option)
        fields.shift
        values = []
        while values.size < MAP_OPTIONS[option] && fields.size > 1 && ObjText.number(fields.first)
          values << ObjText.number(fields.shift)
        end
        values << fields.shift if values.empty? && fields.size > 1 && !fields.first.start_with?("-")
        scale = [values[0], values[1] || values[0]] if option == "-s" && values[0].is_a?(Float)
      end
      return warn(:map_empty, "map_Kd without a file name ignored") if fields.empty?

      name = fields.join(" ").tr("\\", "/")
      path = File.expand_path(name, @base_dir)
      unless File.file?(path)
        return warn([:texture, name], "texture '#{ObjText.quote(name)}' not found: the material keeps its colour")
      end

      current[:texture] = path
      current[:texture_scale] = scale if scale
    end
  end
end

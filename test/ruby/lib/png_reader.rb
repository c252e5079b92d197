# Reads back the 8-bit RGBA pictures the renderer writes (no interlacing), so that tests can
# look at pixels without an image library.
require "zlib"

module PngReader
  module_function

  # Width, height and the rows of the picture, each row its bytes r, g, b, a, r, ...
  # Raises ArgumentError for a file that is not such a picture.
  def read_rgba(path)
    data = File.binread(path)
    raise ArgumentError, "#{path}: not a PNG file" unless data[0, 8] == "\x89PNG\r\n\x1a\n".b

    chunks = {}
    pos = 8
    while pos + 8 <= data.size
      length, type = data.unpack("@#{pos}Na4")
      (chunks[type] ||= +"".b) << data.byteslice(pos + 8, length)
      pos += 12 + length
    end
    width, height, depth, colour, _, _, interlace = chunks.fetch("IHDR").unpack("NNCCCCC")
    raise ArgumentError, "#{path}: not 8-bit RGBA without interlacing" unless [depth, colour, interlace] == [8, 6, 0]

    raw = Zlib::Inflate.inflate(chunks.fetch("IDAT"))
    stride = width * 4
    previous = Array.new(stride, 0)
    rows = Array.new(height) do |y|
      filter = raw.getbyte(y * (stride + 1))
      line = raw.byteslice(y * (stride + 1) + 1, stride).bytes
      line.each_index do |i|
        a = i >= 4 ? line[i - 4] : 0
        b = previous[i]
        c = i >= 4 ? previous[i - 4] : 0
        line[i] = (line[i] + predict(filter, a, b, c)) & 255
      end
      previous = line
    end
    [width, height, rows]
  end

  # The byte a row filter predicts from the left (a), upper (b) and upper-left (c) bytes.
  def predict(filter, a, b, c)
    case filter
    when 1 then a
    when 2 then b
    when 3 then (a + b) / 2
    when 4
      p = a + b - c
      pa, pb, pc = (p - a).abs, (p - b).abs, (p - c).abs
      pa <= pb && pa <= pc ? a : (pb <= pc ? b : c)
    else 0
    end
  end
end

# frozen_string_literal: true

module ZarniksuDriver
  # What OBJ and MTL reading share: the file's text in UTF-8, numbers in every form C's
  # strtod takes, and warnings gathered one per kind and file.
  module ObjText
    class ParseError < StandardError; end

    # How much of an offending line an error quotes.
    QUOTE_LENGTH = 40
    WORD_LENGTH = 16
    SNIFF_BYTES = 4096

    module_function

    # The file's bytes as UTF-8 text. A UTF-8 byte-order mark is dropped, UTF-16 with a
    # byte-order mark is converted, text that is not UTF-8 is read as Latin-1 (the warnings
    # say so); binary input and UTF-16 without a mark are refused.
    def load(path, warnings)
      data = read_bytes(path)
      decode(data, path, warnings)
    end

    def read_bytes(path)
      raise ParseError, "#{path}: is a folder, not a file" if File.directory?(path)
      raise ParseError, "#{path}: no such file" unless File.exist?(path)
      raise ParseError, "#{path}: not a regular file" unless File.file?(path)

      File.binread(path)
    rescue SystemCallError => e
      raise ParseError, "#{path}: cannot be read (#{e.message.sub(/ @ .*/m, "").sub(/ - .*/m, "").downcase})"
    end

    def decode(data, source, warnings)
      if data.start_with?("\xEF\xBB\xBF".b)
        data = data.byteslice(3, data.bytesize - 3)
      elsif data.start_with?("\xFF\xFE".b, "\xFE\xFF".b)
        return from_utf16(data, source)
      end
      head = data.byteslice(0, SNIFF_BYTES)
      if head.include?("\0")
        raise ParseError, "#{source}: UTF-16 text without a byte-order mark; save it as UTF-8" if utf16_like?(head)

        raise ParseError, "#{source}: not a text file"
      end
      raise ParseError, "#{source}: not a text file" if binary?(head)

      text = data.force_encoding(Encoding::UTF_8)
      return text if text.valid_encoding?

      warnings&.add(:latin1, nil, "not UTF-8 text: names are read as Latin-1")
      text.force_encoding(Encoding::ISO_8859_1).encode(Encoding::UTF_8)
    end

    def from_utf16(data, source)
      encoding = data.start_with?("\xFF\xFE".b) ? Encoding::UTF_16LE : Encoding::UTF_16BE
      body = data.byteslice(2, data.bytesize - 2).force_encoding(encoding)
      text = body.encode(Encoding::UTF_8, invalid: :replace, undef: :replace)
      raise ParseError, "#{source}: not a text file" if text.include?("\0") || binary?(text.byteslice(0, SNIFF_BYTES).b)

      text
    end

    # Every other byte zero near the start: text in UTF-16 that lost its mark.
    def utf16_like?(head)
      bytes = head.bytes
      even = bytes.each_slice(2).count { |a, _| a.zero? }
      odd = bytes.each_slice(2).count { |_, b| b&.zero? }
      pairs = bytes.size / 2
      pairs.positive? && [even, odd].max * 10 >= pairs * 4 && [even, odd].min * 10 <= pairs
    end

    # Control characters other than blanks and line ends are rare in text and common in
    # everything else.
    def binary?(head)
      return false if head.empty?

      controls = head.count("\x01-\x08\x0E-\x1A\x1C-\x1F\x7F")
      controls * 20 > head.bytesize
    end

    STRTOD_FIXES = [
      [/\A([+-]?\d+)\.(?=[eE]|\z)/, '\1.0'],   # "2." and "2.e5"
      [/\A([+-]?)\.(\d)/, '\10.\2']            # ".5" and "-.5"
    ].freeze

    # A finite number in any form strtod reads ("2.", ".5", "1e3", "0x1p4"), or nil.
    def number(text)
      value = Float(text, exception: false)
      unless value
        fixed = text
        STRTOD_FIXES.each { |pattern, replacement| fixed = fixed.sub(pattern, replacement) }
        value = Float(fixed, exception: false) unless fixed.equal?(text)
        value ||= hex_number(text)
      end
      value&.finite? ? value : nil
    end

    def hex_number(text)
      match = /\A([+-]?)0[xX]([0-9a-fA-F]*)(?:\.([0-9a-fA-F]*))?(?:[pP]([+-]?\d+))?\z/.match(text)
      return nil unless match && !(match[2].empty? && match[3].to_s.empty?)

      digits = "#{match[2]}#{match[3]}"
      value = digits.to_i(16) * 2.0**(match[4].to_i - 4 * match[3].to_s.size)
      match[1] == "-" ? -value : value
    end

    # The offending text of an error, cut short.
    def quote(line, length = QUOTE_LENGTH)
      text = line.to_s.strip
      text.size > length ? "#{text[0, length]}..." : text
    end

    # One warning per kind: the first line it happened on and how often.
    class Warnings
      def initialize(source)
        @source = source
        @kinds = {}
      end

      def add(kind, line, message)
        entry = @kinds[kind]
        if entry
          entry[1] += 1
        else
          @kinds[kind] = [line, 1, message]
        end
      end

      def any?
        !@kinds.empty?
      end

      def to_a
        @kinds.values.map do |line, count, message|
          where = line ? "#{@source}:#{line}" : @source
          more = count > 1 ? " (#{count} times, first here)" : ""
          "#{where}: #{message}#{more}"
        end
      end
    end
  end
end

# frozen_string_literal: true

module ZarniksuDriver
  # Percentage lines for long jobs ("export: 35%"), one every few percent. Short jobs stay
  # quiet so that small exports print nothing.
  class Progress
    attr_reader :done

    def initialize(total, label: "export", io: $stderr, step: 5, enabled: nil, quiet_below: 200_000)
      @total = [total, 1].max
      @label = label
      @io = io
      @step = step
      @enabled = enabled.nil? ? total >= quiet_below : enabled
      @done = 0
      @next_percent = step
    end

    def advance(amount = 1)
      @done += amount
      return unless @enabled

      percent = @done * 100 / @total
      return if percent < @next_percent || percent >= 100

      @io.puts "#{@label}: #{percent}%"
      @io.flush
      @next_percent = (percent / @step + 1) * @step
    end

    def finish
      return unless @enabled

      @io.puts "#{@label}: 100%"
      @io.flush
      @enabled = false
    end
  end
end

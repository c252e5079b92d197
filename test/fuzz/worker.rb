# frozen_string_literal: true

# One fuzzing process: loads the extension as the host does and makes the calls of a slice of
# steps, or of chosen steps of it (a replay while shrinking). Run by runner.rb, never alone:
#
#   ruby -I <ext dir> worker.rb run SEED SLICE STEPS [shutdown]
#   ruby -I <ext dir> worker.rb replay SEED SLICE I,J,K [shutdown]
#   ruby -I <ext dir> worker.rb show SEED SLICE I,J,K [shutdown]
#
# Before each step its index goes down the pipe named by ZARNIKSU_FUZZ_FD, so the runner knows
# where a crash or a hang happened. Ruby errors other than the conversion and argument errors
# the extension answers with end the run with status 3.
require_relative "surface"

ALLOWED = [TypeError, RangeError, ArgumentError].freeze

mode, seed, slice, steps, flag = ARGV
seed = Integer(seed)
slice = Integer(slice)
shutdown_allowed = flag == "shutdown"
dir = Dir.pwd
ZarniksuFuzz.make_files(dir)
ZarniksuFuzz.dir = dir
# A file panel must never wait for a person.
ENV["ZARNIKSU_FILE_PANEL_ANSWER"] ||= File.join(dir, "fifo.obj")

before = Object.constants
require "zarniksu18"
classes = (Object.constants - before + [:ZarnikExt]).uniq.map { |name| Object.const_get(name) }.grep(Class)
require "zarnik_probe"
methods = classes.sort_by(&:name).flat_map do |klass|
  klass.singleton_methods(false).sort.map { |name| [klass, name, klass.method(name).arity] }
end
methods.reject! { |_, name, _| name == :shutdown } unless shutdown_allowed
abort "no extension methods found" if methods.empty?

generator = ZarniksuFuzz::Generator.new(methods, dir, shutdown_allowed: shutdown_allowed)
# A replay names steps as "7" (the whole step) or "7@0.3.4" (only those calls of it).
entries = if mode == "run"
            (0...Integer(steps)).map { |i| [i, nil] }
          else
            steps.split(",").map do |entry|
              index, keep = entry.split("@", -1)
              [Integer(index), keep&.split(".")&.map { |k| Integer(k) }]
            end
          end
step_calls = lambda do |index, keep|
  calls = generator.step(ZarniksuFuzz.rng_for(seed, slice, index))
  keep ? calls.values_at(*keep).compact : calls
end
beat = ENV["ZARNIKSU_FUZZ_FD"] && IO.new(Integer(ENV["ZARNIKSU_FUZZ_FD"]), "w")

if mode == "show"
  entries.each do |index, keep|
    puts "    # step #{index}"
    step_calls.call(index, keep).each { |c| puts "    #{ZarniksuFuzz.call_source(c)}" }
  end
  exit 0
end

calls = 0
shut_down = false
entries.each do |index, keep|
  beat&.syswrite("#{index}\n")
  step_calls.call(index, keep).each_with_index do |(receiver, name, args), k|
    calls += 1
    begin
      if receiver == :engine_delete
        ZarniksuFuzz.engine_delete(name, args)
      else
        shut_down = true if name == :shutdown
        receiver.public_send(name, *args)
      end
    rescue *ALLOWED
      nil
    rescue Exception => e # rubocop:disable Lint/RescueException
      warn "FAIL step #{index} call #{k}: #{receiver}.#{name}: #{e.class}: #{e.message[0, 300]}"
      exit! 3
    end
  end
end

unless shut_down
  # Still answering as it should after everything above, then a clean shut-down.
  unless ZarnikExt.block_updates(true) == true && ZarnikExt.block_updates? == true
    warn "FAIL end: block_updates no longer answers"
    exit! 3
  end
  ZarnikExt.shutdown
end
puts "calls #{calls}"

# frozen_string_literal: true

# Fuzzes the extension's Ruby surface for a while, one worker process per slice of steps,
# under a watchdog; on a failure it shrinks the steps to the shortest sequence that still
# fails and writes it out as a test.
#
#   ruby runner.rb --ext DIR --seconds N [--seed S] [--steps PER_SLICE] [--hang SECONDS]
#                  [--out DIR] [--preload LIB] [--slice N] [--shrink SECONDS]
#
# --slice runs that one slice of the seed alone, to chase a failure seen in a longer run;
# --shrink gives the shrinking more time than the default, for failures that are hangs.
#
# A failure is a crash, an abort, a sanitizer report, a hang (no step finished within the
# bound), or a Ruby error other than TypeError, RangeError and ArgumentError. The exit status
# is 0 when nothing failed.
require "optparse"
require "tmpdir"
require "fileutils"
require "rbconfig"

options = { seconds: 60, seed: nil, steps: 400, hang: nil, out: Dir.pwd, preload: ENV["ZARNIKSU_PRELOAD"], ext: nil,
            slice: nil, shrink: nil }
OptionParser.new do |o|
  o.on("--ext DIR") { |v| options[:ext] = v }
  o.on("--seconds N", Float) { |v| options[:seconds] = v }
  o.on("--seed S", Integer) { |v| options[:seed] = v }
  o.on("--steps N", Integer) { |v| options[:steps] = v }
  o.on("--hang N", Float) { |v| options[:hang] = v }
  o.on("--out DIR") { |v| options[:out] = v }
  o.on("--preload LIB") { |v| options[:preload] = v }
  o.on("--slice N", Integer) { |v| options[:slice] = v }
  o.on("--shrink SECONDS", Float) { |v| options[:shrink] = v }
end.parse!
abort "--ext is required" unless options[:ext]
# The sanitizer build runs several times slower; the bound stays generous for it.
options[:hang] ||= options[:preload] ? 90 : 30
seed = options[:seed] || ENV["ZARNIKSU_FUZZ_SEED"]&.then { |s| Integer(s) } || Random.new_seed % 1_000_000_000
WORKER = File.join(__dir__, "worker.rb")
puts "fuzz seed #{seed} (again: --seed #{seed}), #{options[:seconds]} s, #{options[:steps]} steps a slice"
$stdout.flush

# The outcome of one worker process.
Outcome = Struct.new(:ok, :why, :last_step, :calls, :log, keyword_init: true)

def run_worker(options, args)
  home = Dir.mktmpdir("zarniksu-fuzz")
  reader, writer = IO.pipe
  log = File.join(home, "worker.log")
  env = { "HOME" => home, "ZARNIKSU_FUZZ_FD" => writer.fileno.to_s }
  env["LD_PRELOAD"] = options[:preload] if options[:preload]
  pid = Process.spawn(env, RbConfig.ruby, "-I", options[:ext], WORKER, *args.map(&:to_s),
                      chdir: home, out: log, err: log, writer.fileno => writer.fileno, pgroup: true)
  writer.close
  last = nil
  hung = false
  buffer = +""
  loop do
    ready = IO.select([reader], nil, nil, options[:hang])
    unless ready
      hung = true
      Process.kill("KILL", -pid)
      break
    end
    chunk = reader.read_nonblock(65_536, exception: false)
    break if chunk.nil?
    next if chunk == :wait_readable

    buffer << chunk
    lines = buffer.split("\n", -1)
    buffer = lines.pop
    last = Integer(lines.last) unless lines.empty?
  end
  reader.close
  _, status = Process.wait2(pid)
  text = File.exist?(log) ? File.binread(log) : ""
  calls = text[/^calls (\d+)$/, 1].to_i
  why = if hung then "hang: step #{last} did not finish within #{options[:hang]} s"
        elsif status.signaled? then "killed by signal #{Signal.signame(status.termsig)}"
        elsif !status.success? then "exit status #{status.exitstatus}"
        end
  Outcome.new(ok: why.nil?, why: why, last_step: last, calls: calls, log: text)
ensure
  FileUtils.chmod_R("u+rwx", home) if home && Dir.exist?(home)
  FileUtils.rm_rf(home) if home
end

# The lines of a worker's log that say what went wrong: sanitizer and Ruby reports, our
# failure line, the start of a crash report.
def report_lines(log)
  lines = log.lines.map(&:chomp).reject { |l| l.match?(/\A[IWE]\d{8} /) }
  interesting = lines.each_index.select { |i| lines[i].match?(/ERROR: AddressSanitizer|runtime error|LeakSanitizer|FAIL |\(\w+(::\w+)*Error\)|\[BUG\]|terminate called|Check failed|SEGV|Aborted/) }
  start = interesting.first || [lines.size - 12, 0].max
  lines[start, 12]
end

# Delta debugging: the smallest part of items for which the block still answers true.
def ddmin(items, deadline)
  granularity = 2
  while items.size >= 2 && Time.now < deadline
    chunk = (items.size / granularity.to_f).ceil
    reduced = false
    items.each_slice(chunk).to_a.each do |part|
      rest = items - part
      next unless yield(rest)

      items = rest
      granularity = [granularity - 1, 2].max
      reduced = true
      break
    end
    next if reduced
    break if chunk == 1

    granularity = [granularity * 2, items.size].min
  end
  items = [] if items.size == 1 && yield([])
  items
end

# The steps that still fail, fewest first: the steps before the failing one are cut down,
# then the calls of the failing step, each trial in a fresh process. Answers replay entries.
def shrink(options, seed, slice, failing, flag, deadline)
  reproduces = lambda do |entries|
    return false if Time.now > deadline

    !run_worker(options, ["replay", seed, slice, entries.join(","), flag].compact).ok
  end
  before = reproduces.call([failing.to_s]) ? [] : ddmin((0...failing).to_a, deadline) { |s| reproduces.call(s + [failing]) }
  shown = run_worker(options, ["show", seed, slice, failing.to_s, flag].compact).log
  count = shown.lines.count { |l| l.start_with?("    ") && !l.start_with?("    #") }
  keep = ddmin((0...count).to_a, deadline) { |k| reproduces.call(before + ["#{failing}@#{k.join(".")}"]) }
  last = keep.size == count ? failing.to_s : "#{failing}@#{keep.join(".")}"
  before.map(&:to_s) + [last]
end

def write_regression(options, seed, slice, steps, flag, outcome)
  FileUtils.mkdir_p(options[:out])
  shown = run_worker(options, ["show", seed, slice, steps.join(","), flag].compact).log
  body = shown.lines.grep(/\A    /).join
  path = File.join(options[:out], "fuzz_#{seed}_#{slice}_test.rb")
  File.write(path, <<~RUBY)
    # Found by the fuzzer: seed #{seed}, slice #{slice}, steps #{steps.join(",")}#{flag ? " (with shut-down)" : ""}.
    # #{outcome.why}
    require "tmpdir"
    require "zlib"
    require "test_helper"
    require_relative "../fuzz/surface"

    class Fuzz#{seed}Slice#{slice}Test < Minitest::Test
      def test_sequence_leaves_the_host_running
        Dir.chdir(Dir.mktmpdir("zarniksu-fuzz"))
        ZarniksuFuzz.make_files(Dir.pwd)
        [
    #{body.lines.map { |l| l.strip.start_with?("#") ? "      #{l.strip}" : "      -> { #{l.strip} }," }.join("\n")}
        ].each do |call|
          call.call
        rescue TypeError, RangeError, ArgumentError
          nil
        end
        assert_equal true, ZarnikExt.block_updates(true)
      end
    end
  RUBY
  path
end

deadline = Time.now + options[:seconds]
slice = options[:slice] || 0
total_calls = 0
failures = 0
while Time.now < deadline
  # One slice in eight ends the extension part-way and goes on calling it.
  flag = (slice % 8 == 7) ? "shutdown" : nil
  outcome = run_worker(options, ["run", seed, slice, options[:steps], flag].compact)
  total_calls += outcome.calls
  unless outcome.ok
    failures += 1
    puts "FAILURE seed #{seed} slice #{slice}#{flag ? " (with shut-down)" : ""}: #{outcome.why}"
    report_lines(outcome.log).each { |l| puts "  | #{l}" }
    if outcome.last_step
      steps = shrink(options, seed, slice, outcome.last_step, flag, Time.now + (options[:shrink] || [options[:hang] * 6, 180].max))
      path = write_regression(options, seed, slice, steps, flag, outcome)
      puts "  shortest sequence: steps #{steps.join(",")} of slice #{slice}; as a test: #{path}"
    end
    $stdout.flush
    break if failures >= 3
  end
  slice += 1
  break if options[:slice]
end
summary = "fuzz seed #{seed}: #{slice - (options[:slice] || 0)} slices, #{total_calls} calls, #{failures} failures"
puts summary
# The test run shows a passing test's output only on request; the tally stays here as well.
FileUtils.mkdir_p(options[:out])
File.open(File.join(options[:out], "runs.log"), "a") { |f| f.puts("#{Time.now.utc} #{summary}") }
exit(failures.zero? ? 0 : 1)

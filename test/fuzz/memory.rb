# Resident memory of this process, for the growth tests. They are tests of memory, not of
# time: the counts come from the environment so the test run can use smaller ones than
# scripts/fuzz.sh, which runs the full counts.
module MemoryHelper
  module_function

  # Resident set size in bytes, after a full Ruby collection so that Ruby's own garbage does
  # not count.
  def resident_bytes
    GC.start(full_mark: true, immediate_sweep: true)
    File.read("/proc/self/status")[/^VmRSS:\s+(\d+) kB/, 1].to_i * 1024
  end

  # Bytes the C allocator holds for the process (the engine's, the extension's and Ruby's
  # own), after a full Ruby collection. Resident memory also moves with pages the allocator
  # keeps or gives back, by tens of MiB when the render threads' arenas grow and shrink, which
  # would hide a leak of that size; this figure does not.
  def heap_bytes
    require "zarnik_probe"
    GC.start(full_mark: true, immediate_sweep: true)
    ZarnikProbe.heap_in_use
  end

  # Under the sanitizers resident memory is the sanitizer's (freed blocks wait in quarantine),
  # so sizes say nothing there; the leak checker at exit speaks for that build instead, and a
  # fifth of the count is enough for it.
  def sanitized?
    ENV["LD_PRELOAD"].to_s.include?("asan")
  end

  def count(name, full)
    value = Integer(ENV.fetch(name, full.to_s))
    sanitized? ? [value / 5, 1].max : value
  end

  def mib(bytes)
    format("%.1f MiB", bytes / 1048576.0)
  end
end

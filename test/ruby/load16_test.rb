# The extension loaded under the entry name zarniksu16.
ZARNIKSU_ENTRY = "zarniksu16"
require "test_helper"
require "probe_load_cases"

class Load16Test < Minitest::Test
  include ProbeLoadCases
end

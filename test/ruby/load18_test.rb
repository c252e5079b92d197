# The extension loaded under the entry name zarniksu18.
ZARNIKSU_ENTRY = "zarniksu18"
require "test_helper"
require "probe_load_cases"

class Load18Test < Minitest::Test
  include ProbeLoadCases
end

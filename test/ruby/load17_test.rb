# The extension loaded under the entry name zarniksu17.
ZARNIKSU_ENTRY = "zarniksu17"
require "test_helper"
require "probe_load_cases"

class Load17Test < Minitest::Test
  include ProbeLoadCases
end

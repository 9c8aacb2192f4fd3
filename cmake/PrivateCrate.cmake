# Read by ctest before it runs anything: every test, and every program a test
# starts, gets a private, fresh virtual crate and never the user's.
set(ENV{KT40_SIM_STATE} private)

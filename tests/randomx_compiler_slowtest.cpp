// The compiled VM against the interpreter at length: thousands of random
// inputs under several random keys, v1 and v2 (light mode).
#include <gtest/gtest.h>

#include "tests/support/randomx_differential.h"

namespace {

TEST(VmCompilerAtLength, MatchesTheInterpreterV1) { zt::test::compiler_against_interpreter(rx::Variant::V1, 4, 500, 101); }
TEST(VmCompilerAtLength, MatchesTheInterpreterV2) { zt::test::compiler_against_interpreter(rx::Variant::V2, 4, 1500, 202); }

}  // namespace

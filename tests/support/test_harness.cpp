#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Proves a failing test fails the whole test command: run it with QM_DELIBERATE_FAILURE=1.
TEST(harness, deliberate_failure_when_asked)
{
    if (!std::getenv("QM_DELIBERATE_FAILURE"))
        GTEST_SKIP() << "set QM_DELIBERATE_FAILURE=1 to see the test command fail";
    FAIL() << "deliberate failure";
}

} // namespace

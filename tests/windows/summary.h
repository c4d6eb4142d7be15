// The line scripts/test-windows counts after a GoogleTest run.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

namespace wt {

// Prints "N passed, N failed, N skipped"; the run's status, or 1 when
// nothing ran at all.
inline int summary(int status) {
    const testing::UnitTest& u = *testing::UnitTest::GetInstance();
    std::printf("%d passed, %d failed, %d skipped\n", u.successful_test_count(), u.failed_test_count(),
                u.skipped_test_count());
    std::fflush(stdout);
    return u.successful_test_count() == 0 ? 1 : status;
}

}  // namespace wt

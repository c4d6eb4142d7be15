// Every test starts with an empty connection table, as a freshly loaded library does.
#include <gtest/gtest.h>

#include "api/table.h"

namespace {

class FreshTable : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { kiv::api::clear_table(); }
    void OnTestEnd(const testing::TestInfo&) override { kiv::api::clear_table(); }
};

const bool registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshTable);
    return true;
}();

}  // namespace

// Test entry point: every test starts and ends with a clean product registry.
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

class RegistryReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { qlntest::ClearProductRegistry(); }
    void OnTestEnd(const ::testing::TestInfo&) override { qlntest::ClearProductRegistry(); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new RegistryReset);
    return RUN_ALL_TESTS();
}

// The start-up logging step: where the daemon's log directory comes from.
#include "support/TestSupport.h"

#include "QLNUpgrade/QLNUpgradeApp.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/PathUtils.h"

#include <gtest/gtest.h>

namespace {

std::optional<std::wstring> RegistryLoggerDir() { return qlntest::HkcuString(qlntest::kKmKey, L"LoggerDir"); }

TEST(StartupLogging, EmptyConfigurationStoresThePerUserDefault) {
    ASSERT_FALSE(RegistryLoggerDir().has_value());
    InitializeStartupLogging();
    const std::wstring expected = GetLocalDataDirectory() + L"Logger\\";
    ASSERT_FALSE(GetLocalDataDirectory().empty());
    EXPECT_EQ(RegistryLoggerDir(), expected);
    const std::wstring path = KMLoggerHelper::CurrentLogPath();
    EXPECT_EQ(path.rfind(expected, 0), 0u) << "the log file lies in the default directory";
    EXPECT_EQ(path.substr(path.size() - 12), L".upgrade.log");
    EXPECT_NE(qlntest::ReadFileBytes(path).find("Logger probe: initialization successful"), std::string::npos);
}

TEST(StartupLogging, ConfiguredDirectoryIsUsedAndLeftAsItIs) {
    qlntest::TempDir dir;
    const std::wstring configured = dir.dirWithSlash();
    qlntest::SetKmString(L"LoggerDir", configured);
    InitializeStartupLogging();
    EXPECT_EQ(RegistryLoggerDir(), configured);
    EXPECT_EQ(KMLoggerHelper::CurrentLogPath().rfind(configured, 0), 0u);
}

}  // namespace

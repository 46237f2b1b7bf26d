// Upgrade settings from the effective ("Global") scope, driven through local
// registry overrides and, where a server value is needed, the Global cache file.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeConfig.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/StringConv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using qlntest::SetKmString;
using GlobalServerValues = qlntest::ServerConfigFile;

}  // namespace

TEST(QLNUpgradeConfig, ModeNamesCompareWithoutCase) {
    qlntest::LogCapture log;
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::ImmediateManual);  // table default
    const std::pair<const wchar_t*, UpgradeMode> cases[] = {
        {L"immediate_silent", UpgradeMode::ImmediateSilent}, {L"Delay_Silent", UpgradeMode::DelaySilent},
        {L"IMMEDIATE_MANUAL", UpgradeMode::ImmediateManual}, {L"delay_manual", UpgradeMode::DelayManual},
        {L"Ignore", UpgradeMode::Ignore},                    {L"sometimes", UpgradeMode::ImmediateManual},
        {L" ignore", UpgradeMode::ImmediateManual},          {L"delay-silent", UpgradeMode::ImmediateManual},
    };
    for (const auto& [text, mode] : cases) {
        SetKmString(L"QlnUpgradeMode", text);
        EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), mode) << qln::WideToUtf8(text);
    }
    SetKmString(L"QlnUpgradeMode", L"DELAY_MANUAL");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeModeName(), L"delay_manual");
    SetKmString(L"QlnUpgradeMode", L"bogus");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeModeName(), L"immediate_manual");

    EXPECT_FALSE(log.Contains("Silent upgrade is disabled"));  // unknown text falls back silently
    EXPECT_TRUE(log.Contains("Effective upgrade mode: delay_manual"));
    EXPECT_TRUE(log.Contains("Effective upgrade mode: delay_silent"));
}

TEST(QLNUpgradeConfig, EmptyServerModeMeansImmediateManual) {
    GlobalServerValues server(KMConfigManager::kGlobalScope, GlobalServerValues::Values{{"QlnUpgradeMode", ""}});
    SetKmString(L"QlnUpgradeMode", L"ignore");  // not editable: ignored
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::ImmediateManual);
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeModeName(), L"immediate_manual");
}

TEST(QLNUpgradeConfig, SilentModesFallBackWhenNoSilentStrategyIsOn) {
    qlntest::LogCapture log;
    SetKmString(L"SilentUpgradeByReplace", L"TRUE");  // only "true" and "1" switch on
    SetKmString(L"SilentUpgradeByMsi", L"false");
    EXPECT_FALSE(QLNUpgradeConfig::IsSilentUpgradeEnabled());

    SetKmString(L"QlnUpgradeMode", L"delay_silent");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::ImmediateManual);  // not DelayManual
    auto warnings = log.Matching("Silent upgrade is disabled, falling back from 'delay_silent' to 'immediate_manual'");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("[warning]"), std::string::npos) << warnings[0];

    SetKmString(L"QlnUpgradeMode", L"Immediate_Silent");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::ImmediateManual);
    EXPECT_TRUE(log.Contains("falling back from 'Immediate_Silent' to 'immediate_manual'"));

    SetKmString(L"QlnUpgradeMode", L"delay_manual");  // manual modes are untouched
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::DelayManual);
    EXPECT_EQ(log.Matching("Silent upgrade is disabled").size(), 2u);

    SetKmString(L"SilentUpgradeByMsi", L"1");
    EXPECT_TRUE(QLNUpgradeConfig::IsSilentUpgradeEnabled());
    SetKmString(L"QlnUpgradeMode", L"Delay_Silent");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::DelaySilent);

    SetKmString(L"SilentUpgradeByReplace", L"true");
    SetKmString(L"SilentUpgradeByMsi", L"no");
    SetKmString(L"QlnUpgradeMode", L"immediate_silent");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::ImmediateSilent);
    EXPECT_EQ(log.Matching("Silent upgrade is disabled").size(), 2u);
}

TEST(QLNUpgradeConfig, DelayHoursFollowIntegerConversionRules) {
    qlntest::LogCapture log;
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeDelayHours(), 24);  // table default "24"
    const std::pair<const wchar_t*, int> cases[] = {
        {L"168", 168}, {L"169", 24},        {L"12abc", 12}, {L" 5", 5},     {L"\t\r\n 9h", 9},
        {L"0", 24},    {L"1", 1},           {L"-3", 24},    {L"+7", 7},     {L"abc", 24},
        {L"- 5", 24},  {L"4294967297", 24}, {L"-4294967295", 24},           {L"99999999999999999999", 24},
    };
    for (const auto& [text, hours] : cases) {
        SetKmString(L"QlnUpgradeScheduledTime", text);
        EXPECT_EQ(QLNUpgradeConfig::GetUpgradeDelayHours(), hours) << qln::WideToUtf8(text);
    }
    EXPECT_TRUE(log.Contains("Invalid or empty delay hours '169', using default 24 hours"));
    EXPECT_TRUE(log.Contains("Invalid or empty delay hours 'abc', using default 24 hours"));
    EXPECT_FALSE(log.Contains("Invalid or empty delay hours '12abc'"));
}

TEST(QLNUpgradeConfig, EmptyServerDelayAndIntervalUseDefaults) {
    qlntest::LogCapture log;
    GlobalServerValues server(KMConfigManager::kGlobalScope, GlobalServerValues::Values{{"QlnUpgradeScheduledTime", ""}, {"QLNUpgradeImmediateManualInterval", ""}});
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeDelayHours(), 24);
    EXPECT_EQ(QLNUpgradeConfig::GetImmediateManualInterval(), 604800);
    EXPECT_TRUE(log.Contains("Invalid or empty delay hours '', using default 24 hours"));
    EXPECT_TRUE(log.Contains("Invalid or empty immediate manual interval '', using default 604800 seconds"));
}

TEST(QLNUpgradeConfig, ImmediateManualIntervalFollowsInt64ConversionRules) {
    qlntest::LogCapture log;
    EXPECT_EQ(QLNUpgradeConfig::GetImmediateManualInterval(), 604800);
    const std::pair<const wchar_t*, std::int64_t> cases[] = {
        {L"-1", 604800},
        {L"3600", 3600},
        {L"0", 604800},
        {L"1", 1},
        {L" 7200s", 7200},
        {L"x", 604800},
        {L"4294967296", 4294967296LL},
        {L"9223372036854775807", INT64_MAX},
        {L"99999999999999999999999", INT64_MAX},  // saturates
        {L"-99999999999999999999999", 604800},
    };
    for (const auto& [text, seconds] : cases) {
        SetKmString(L"QLNUpgradeImmediateManualInterval", text);
        EXPECT_EQ(QLNUpgradeConfig::GetImmediateManualInterval(), seconds) << qln::WideToUtf8(text);
    }
    const std::uint64_t qword = 86400;
    qlntest::SetKmValue(L"QLNUpgradeImmediateManualInterval", REG_QWORD, &qword, sizeof(qword));
    EXPECT_EQ(QLNUpgradeConfig::GetImmediateManualInterval(), 86400);
    EXPECT_TRUE(log.Contains("Invalid or empty immediate manual interval '-1', using default 604800 seconds"));
}

TEST(QLNUpgradeConfig, ReadsTheDefaultRepositoryScope) {
    const std::wstring repo = L"UnitTest-Repo-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring path = KMConfigManager::GetCacheFilePath(repo);
    ASSERT_TRUE(KMConfigManager::WriteJsonToCacheFile(
        path, {{"configs", {{{"configKey", "QlnUpgradeMode"}, {"configValue", "ignore"}, {"clientEditable", false}}}}}));
    struct Remove {
        std::wstring p;
        ~Remove() { ::DeleteFileW(p.c_str()); }
    } remove{path};
    SetKmString(L"DefaultRepoUUID", repo);
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::Ignore);
    SetKmString(L"DefaultRepoUUID", L"");
    EXPECT_EQ(QLNUpgradeConfig::GetUpgradeMode(), UpgradeMode::ImmediateManual);  // back to "Global"
}

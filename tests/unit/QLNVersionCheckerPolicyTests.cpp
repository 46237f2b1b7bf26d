// Version checker's notification policy under a controlled clock: the
// interval of each upgrade mode, the ignore mark and forced releases.

#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using qlntest::kNewerText;
using qlntest::SetKmString;

std::int64_t g_fakeNow = 0;
std::int64_t FakeNow() { return g_fakeNow; }

constexpr std::int64_t kNow = 1'700'000'000;

class QLNVersionCheckerPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = kNow;
        QLNVersionChecker::SetClock(&FakeNow);
    }
    void TearDown() override { QLNVersionChecker::SetClock(nullptr); }

    // Cache holding the text, last announcement at the given time.
    static void Cache(const std::wstring& text, std::int64_t lastNotifiedAt, DWORD ignore = 0) {
        qlntest::SetVcString(L"NewVersionRawText", text);
        qlntest::SetVcQword(L"NewVersionLastNotifiedAt", static_cast<std::uint64_t>(lastNotifiedAt));
        qlntest::SetVcDword(L"NewVersionIgnore", ignore);
    }

    qlntest::LogCapture log;
};

}  // namespace

TEST_F(QLNVersionCheckerPolicy, IntervalMustBeStrictlyExceeded) {
    SetKmString(L"QlnUpgradeMode", L"immediate_manual");
    SetKmString(L"QLNUpgradeImmediateManualInterval", L"3600");
    Cache(kNewerText, kNow - 3600);

    const QLNVersionChecker checker;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("current=1.16.KM16.2381, server=1.16.KM16.2400, force=false, ignored=0, lastNotifiedAt=" +
                             std::to_string(kNow - 3600)));
    EXPECT_TRUE(log.Contains("mode=2, interval=3600, currentTime=" + std::to_string(kNow) +
                             ", timeSinceLastNotify=3600, elapsed=false"));
    const auto decision = log.Matching("elapsed=false, valid=true, newer=true, result=false");
    ASSERT_EQ(decision.size(), 1u);
    EXPECT_NE(decision[0].find("[info]"), std::string::npos) << decision[0];

    g_fakeNow = kNow + 1;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("timeSinceLastNotify=3601, elapsed=true"));
    EXPECT_TRUE(log.Contains("elapsed=true, valid=true, newer=true, result=true"));
}

TEST_F(QLNVersionCheckerPolicy, ClockTurnedBackWaitsUntilItPassesTheLastAnnouncement) {
    SetKmString(L"QLNUpgradeImmediateManualInterval", L"3600");
    Cache(kNewerText, kNow + 100);

    const QLNVersionChecker checker;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("timeSinceLastNotify=-100, elapsed=false"));

    g_fakeNow = kNow + 100 + 3600;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    g_fakeNow = kNow + 100 + 3601;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
}

TEST_F(QLNVersionCheckerPolicy, DelayModesUseHoursTimes3600) {
    SetKmString(L"QLNUpgradeImmediateManualInterval", L"60");  // must not be used
    SetKmString(L"SilentUpgradeByReplace", L"true");           // keeps the silent mode
    SetKmString(L"QlnUpgradeMode", L"delay_silent");
    Cache(kNewerText, kNow - 86400);

    const QLNVersionChecker checker;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("Delay mode: using interval 24 hours (86400 seconds)"));
    EXPECT_TRUE(log.Contains("mode=1, interval=86400,"));
    g_fakeNow = kNow + 1;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());

    SetKmString(L"QlnUpgradeMode", L"delay_manual");
    SetKmString(L"QlnUpgradeScheduledTime", L"2");
    g_fakeNow = kNow - 86400 + 7200;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("Delay mode: using interval 2 hours (7200 seconds)"));
    EXPECT_TRUE(log.Contains("mode=3, interval=7200,"));
    g_fakeNow += 1;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
}

TEST_F(QLNVersionCheckerPolicy, SilentAndIgnoreModesUseTheImmediateInterval) {
    SetKmString(L"QLNUpgradeImmediateManualInterval", L"60");
    SetKmString(L"SilentUpgradeByMsi", L"true");
    Cache(kNewerText, kNow - 61);
    const QLNVersionChecker checker;

    SetKmString(L"QlnUpgradeMode", L"immediate_silent");
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("mode=0, interval=60,"));

    SetKmString(L"QlnUpgradeMode", L"ignore");
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("mode=4, interval=60,"));
    EXPECT_FALSE(log.Contains("Delay mode"));
}

TEST_F(QLNVersionCheckerPolicy, IgnoredVersionIsNotAnnouncedUnlessForced) {
    Cache(kNewerText, 0, 1);
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("version ignored, returning false"));

    // Forced: neither the ignore mark nor a fresh announcement holds it back.
    Cache(L"1.16.KM16.2400\nnotes\nlink\ntrue", kNow, 1);
    EXPECT_TRUE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("force mode, valid=true, newer=true, result=true"));
}

TEST_F(QLNVersionCheckerPolicy, ForcedOrNotOnlyNewerValidVersionsAreAnnounced) {
    Cache(L"1.16.KM16.2381\nnotes\nlink\ntrue", 0);  // the running version itself
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("force mode, valid=true, newer=false, result=false"));

    Cache(L"1.16.KM15.9999\nnotes\nlink\nfalse", 0);
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("elapsed=true, valid=true, newer=false, result=false"));

    Cache(L"not a version", 0);  // cached, but unusable
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("elapsed=true, valid=false, newer=false, result=false"));
    EXPECT_TRUE(log.Contains("Invalid version string format: ''"));
}

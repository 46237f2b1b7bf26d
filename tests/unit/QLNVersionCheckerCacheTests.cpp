// Version checker's registry cache: the legacy values and their clean-up,
// the cached text and the notification state that goes with it.

#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "Utils/StringConv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using qlntest::kNewerText;
using qlntest::kOtherText;
using qlntest::SetVcDword;
using qlntest::SetVcQword;
using qlntest::SetVcString;
using qlntest::VcNumber;
using qlntest::VcString;

// --- Legacy scheme ------------------------------------------------------------

TEST(QLNVersionCheckerLegacy, LegacyValuesAreMigratedOnceAndDeleted) {
    qlntest::LogCapture log;
    SetVcString(L"NewVersion", L"1.16.KM16.2400");
    SetVcString(L"NewVersionInfo", L"Release notes");
    SetVcString(L"NewVersionLink", L"https://dl.example/2400");
    SetVcString(L"NewVersionForce", L"");

    QLNVersionInfo info;
    info.force = true;
    QLNVersionChecker::LoadFromRegistry(info);
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(info.info, L"Release notes");
    EXPECT_EQ(info.link, L"https://dl.example/2400");
    EXPECT_FALSE(info.force);
    EXPECT_EQ(info.rawText, kNewerText);
    EXPECT_EQ(VcString(L"NewVersionRawText"), kNewerText);
    for (const wchar_t* name : {L"NewVersion", L"NewVersionInfo", L"NewVersionLink", L"NewVersionForce"}) {
        EXPECT_FALSE(VcString(name).has_value()) << qln::WideToUtf8(name);
    }
    EXPECT_EQ(log.Matching("Migrating legacy version-info registry keys to NewVersionRawText").size(), 1u);

    QLNVersionChecker::LoadFromRegistry(info);  // nothing left to migrate
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(log.Matching("Migrating legacy").size(), 1u);
}

TEST(QLNVersionCheckerLegacy, EmptyLegacyInfoGivesAnUnparsedRecordButKeepsTheText) {
    SetVcString(L"NewVersion", L"1.16.KM16.2400");
    SetVcString(L"NewVersionLink", L"link");
    QLNVersionInfo info;
    QLNVersionChecker::LoadFromRegistry(info);
    const std::wstring joined = L"1.16.KM16.2400\n\nlink\nfalse";
    EXPECT_TRUE(info.version.empty());
    EXPECT_TRUE(info.info.empty());
    EXPECT_EQ(info.rawText, joined);
    EXPECT_EQ(VcString(L"NewVersionRawText"), joined);
    EXPECT_FALSE(VcString(L"NewVersion").has_value());
    EXPECT_FALSE(VcString(L"NewVersionLink").has_value());
}

TEST(QLNVersionCheckerLegacy, LegacyValuesWithoutVersionAreDroppedAndCachedTextWins) {
    SetVcString(L"NewVersionInfo", L"orphan");
    SetVcString(L"NewVersionForce", L"true");
    QLNVersionInfo info;
    QLNVersionChecker::LoadFromRegistry(info);
    EXPECT_TRUE(info.rawText.empty());
    EXPECT_FALSE(VcString(L"NewVersionRawText").has_value());
    EXPECT_FALSE(VcString(L"NewVersionInfo").has_value());
    EXPECT_FALSE(VcString(L"NewVersionForce").has_value());

    // With a cache present the legacy values are not looked at.
    SetVcString(L"NewVersionRawText", kOtherText);
    SetVcString(L"NewVersion", L"1.16.KM16.2400");
    QLNVersionChecker::LoadFromRegistry(info);
    EXPECT_EQ(info.version, L"1.16.KM16.2390");
    EXPECT_EQ(VcString(L"NewVersion"), L"1.16.KM16.2400");
}

TEST(QLNVersionCheckerLegacy, CleanupRunsOncePerRunningVersionWithoutMigrating) {
    qlntest::LogCapture log;
    SetVcString(L"NewVersion", L"1.16.KM16.2400");
    SetVcString(L"NewVersionInfo", L"notes");
    SetVcString(L"LastCleanupVersion", L"1.16.KM16.2300");

    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();
    EXPECT_FALSE(VcString(L"NewVersion").has_value());
    EXPECT_FALSE(VcString(L"NewVersionInfo").has_value());
    EXPECT_FALSE(VcString(L"NewVersionRawText").has_value());  // dropped, not migrated
    EXPECT_EQ(VcString(L"LastCleanupVersion"), L"1.16.KM16.2381");
    EXPECT_TRUE(log.Contains("Version changed ('1.16.KM16.2300' -> '1.16.KM16.2381'), running legacy registry cleanup"));
    EXPECT_TRUE(log.Contains("Legacy registry cleanup complete, marker updated to '1.16.KM16.2381'"));

    // Same running version, even in other letter case: nothing happens.
    SetVcString(L"NewVersion", L"1.16.KM16.2400");
    SetVcString(L"LastCleanupVersion", L"1.16.km16.2381");
    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();
    EXPECT_EQ(VcString(L"NewVersion"), L"1.16.KM16.2400");
    EXPECT_EQ(VcString(L"LastCleanupVersion"), L"1.16.km16.2381");
    EXPECT_EQ(log.Matching("running legacy registry cleanup").size(), 1u);
}

TEST(QLNVersionCheckerLegacy, CleanupWithoutMarkerRuns) {
    qlntest::LogCapture log;
    SetVcString(L"NewVersionLink", L"link");
    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();
    EXPECT_FALSE(VcString(L"NewVersionLink").has_value());
    EXPECT_EQ(VcString(L"LastCleanupVersion"), L"1.16.KM16.2381");
    EXPECT_TRUE(log.Contains("Version changed ('' -> '1.16.KM16.2381')"));
}

// --- Cache and notification state --------------------------------------------

TEST(QLNVersionCheckerCache, SameVersionInOtherCaseKeepsNotificationStateChangesResetIt) {
    qlntest::LogCapture log;
    SetVcString(L"NewVersionRawText", kNewerText);
    SetVcQword(L"NewVersionLastNotifiedAt", 1000);
    SetVcDword(L"NewVersionIgnore", 1);

    QLNVersionInfo same;
    same.version = L"1.16.km16.2400";
    same.rawText = L"1.16.km16.2400\nnotes\nlink\nfalse";
    QLNVersionChecker::SaveToRegistry(same);
    EXPECT_EQ(VcString(L"NewVersionRawText"), same.rawText);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 1000u);
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 1u);
    EXPECT_FALSE(log.Contains("resetting notification state"));
    EXPECT_TRUE(log.Contains("Version info saved to registry (version=1.16.km16.2400)"));

    // The stored text no longer parses (lower-case tag), so the cache's
    // version is empty now; restore a parsable one before the flag change.
    SetVcString(L"NewVersionRawText", kNewerText);
    QLNVersionInfo forced;
    ASSERT_TRUE(QLNVersionInfo::ParseVersionText(L"1.16.KM16.2400\nnotes\nlink\ntrue", forced));
    forced.rawText = L"1.16.KM16.2400\nnotes\nlink\ntrue";
    QLNVersionChecker::SaveToRegistry(forced);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0u);
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 0u);
    EXPECT_TRUE(log.Contains(
        "Version info changed (version: '1.16.KM16.2400'->'1.16.KM16.2400', force: false->true), resetting "
        "notification state"));

    SetVcQword(L"NewVersionLastNotifiedAt", 2000);
    SetVcDword(L"NewVersionIgnore", 1);
    QLNVersionInfo next;
    ASSERT_TRUE(QLNVersionInfo::ParseVersionText(kOtherText, next));
    next.rawText = kOtherText;
    next.force = true;  // same flag as the cache, other version
    QLNVersionChecker::SaveToRegistry(next);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0u);
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 0u);
    EXPECT_TRUE(log.Contains("(version: '1.16.KM16.2400'->'1.16.KM16.2390', force: true->true)"));
}

TEST(QLNVersionCheckerCache, SaveDropsLegacyValues) {
    SetVcString(L"NewVersionRawText", kNewerText);
    SetVcString(L"NewVersionLink", L"old link");
    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionInfo::ParseVersionText(kOtherText, info));
    info.rawText = kOtherText;
    QLNVersionChecker::SaveToRegistry(info);
    EXPECT_EQ(VcString(L"NewVersionRawText"), kOtherText);
    EXPECT_FALSE(VcString(L"NewVersionLink").has_value());
}

TEST(QLNVersionCheckerCache, IgnoreIsStoredOnlyForTheCachedVersion) {
    qlntest::LogCapture log;
    SetVcString(L"NewVersionRawText", kNewerText);

    EXPECT_FALSE(QLNVersionChecker::SaveIgnoredFor(L"1.16.KM16.2401"));
    EXPECT_FALSE(VcNumber(L"NewVersionIgnore").has_value());
    EXPECT_TRUE(log.Contains("Skip ignore: cached version '1.16.KM16.2400' differs from prompted '1.16.KM16.2401'"));

    EXPECT_TRUE(QLNVersionChecker::SaveIgnoredFor(L"1.16.km16.2400"));
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 1u);

    QLNVersionChecker::SaveIgnoreFlag(0);
    QLNVersionChecker::SaveLastNotifiedAt(0x1'0000'0001ull);  // needs all 64 bits
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 0u);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0x1'0000'0001ull);

    const QLNVersionChecker checker;
    EXPECT_EQ(checker.Cached().version, L"1.16.KM16.2400");
    EXPECT_EQ(checker.LastNotifiedAt(), 0x1'0000'0001ull);
    EXPECT_EQ(checker.Ignored(), 0u);
}

// The upgrade progress record and the result history in the registry.
#include "support/TestSupport.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <filesystem>
#include <optional>

namespace {

constexpr wchar_t kProgressKey[] = L"Software\\Quillon\\KM\\UpgradeProgress";
constexpr wchar_t kResultKey[] = L"Software\\Quillon\\KM\\UpgradeResult";

using qlntest::HkcuDword;
using qlntest::HkcuString;
using qlntest::SetHkcuDword;
using qlntest::SetHkcuString;

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        qlntest::ClearProductRegistry();
        m_log.emplace();
    }
    std::optional<qlntest::LogCapture> m_log;
};

using Cat = UpgradeFileCategory;

TEST_F(StoreTest, ProgressRoundTripAndCategoryText) {
    QLNUpgradeProgress saved;
    saved.targetVersion = L"1.17.KM17.1";
    saved.upgradeType = L"silent";
    saved.stagingDir = L"C:\\staging";
    saved.productDir = L"C:\\staging\\extract\\Quillon";
    saved.completedCategories = {Cat::Third, Cat::Common, Cat::QLNUpgrade};
    saved.inProgress = true;
    saved.SaveUpgradeProgress();
    EXPECT_EQ(HkcuString(kProgressKey, L"CompletedCategories"), L"Common,Third,QLNUpgrade");
    EXPECT_TRUE(m_log->Contains("Saved upgrade progress: version=1.17.KM17.1, type=silent, completed=Common,Third,QLNUpgrade"));
    EXPECT_TRUE(HasPendingUpgrade());

    const QLNUpgradeProgress loaded = LoadUpgradeProgress();
    EXPECT_TRUE(loaded.inProgress);
    EXPECT_EQ(loaded.targetVersion, saved.targetVersion);
    EXPECT_EQ(loaded.upgradeType, saved.upgradeType);
    EXPECT_EQ(loaded.stagingDir, saved.stagingDir);
    EXPECT_EQ(loaded.productDir, saved.productDir);
    EXPECT_EQ(loaded.completedCategories, saved.completedCategories);

    // Any letter case counts; a messy text keeps only real names.
    SetHkcuString(kProgressKey, L"State", L"inPROGRESS");
    SetHkcuString(kProgressKey, L"CompletedCategories", L" lang ,QLN,,Bogus,Unknown");
    const QLNUpgradeProgress messy = LoadUpgradeProgress();
    EXPECT_TRUE(messy.inProgress);
    EXPECT_EQ(messy.completedCategories, (std::set<Cat>{Cat::QLN, Cat::Lang}));
    EXPECT_EQ(FormatCompletedCategories(messy.completedCategories), L"QLN,Lang");
    EXPECT_EQ(FormatCompletedCategories({static_cast<Cat>(42)}), L"Unknown");

    UpdateCompletedCategories({Cat::System64, Cat::SVN});
    EXPECT_EQ(HkcuString(kProgressKey, L"CompletedCategories"), L"SVN,System64");
    UpdateUpgradeState(L"Succeeded");
    EXPECT_FALSE(HasPendingUpgrade());
    EXPECT_TRUE(m_log->Contains("Updated upgrade state to: Succeeded"));

    ClearUpgradeProgress();
    qln::UniqueHkey key;
    EXPECT_NE(::RegOpenKeyExW(HKEY_CURRENT_USER, kProgressKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_FALSE(LoadUpgradeProgress().inProgress);
    EXPECT_TRUE(m_log->Contains("Clearing upgrade progress: state=Succeeded, version=1.17.KM17.1"));
}

TEST_F(StoreTest, PartlyWrittenOrCorruptRecords) {
    // State missing: not in progress, nothing else read or logged.
    SetHkcuString(kProgressKey, L"TargetVersion", L"1.17.KM17.1");
    EXPECT_FALSE(LoadUpgradeProgress().inProgress);
    EXPECT_FALSE(m_log->Contains("Loaded upgrade progress"));
    // State of the wrong type counts as unreadable.
    SetHkcuDword(kProgressKey, L"State", 1);
    EXPECT_FALSE(HasPendingUpgrade());
    // In progress with values missing: loads empty texts and fails validation.
    SetHkcuString(kProgressKey, L"State", L"InProgress");
    const QLNUpgradeProgress partial = LoadUpgradeProgress();
    EXPECT_TRUE(partial.inProgress);
    EXPECT_TRUE(partial.stagingDir.empty());
    EXPECT_TRUE(partial.completedCategories.empty());
    EXPECT_FALSE(partial.Validate());
    EXPECT_TRUE(m_log->Contains("Incomplete upgrade progress data (version='1.17.KM17.1', staging='', product='')"));
}

TEST_F(StoreTest, ValidateRefusesEachReasonInOrder) {
    qlntest::TempDir staging;
    const std::wstring product = (staging.path() / L"extract" / L"Quillon").wstring();
    const std::wstring bin = product + L"\\bin";
    QLNUpgradeProgress p;
    p.targetVersion = L"1.17.KM17.1";
    p.upgradeType = L"silent";
    p.stagingDir = staging.path().wstring();
    p.productDir = product;

    struct Step {
        std::function<void()> prepare;
        std::string expected;
    };
    const Step steps[] = {
        {[&] { p.targetVersion = L"1.16.KM16.2381"; }, "Target version '1.16.KM16.2381' is no longer newer than running version, skipping resume"},
        {[&] { p.targetVersion = L"1.17.KM17.1"; p.stagingDir = staging.path().wstring() + L"\\gone"; },
         "Staging directory no longer exists: " + qln::WideToUtf8(staging.path().wstring()) + "\\gone"},
        {[&] { p.stagingDir = staging.path().wstring(); }, "Product directory invalid (bin\\ not found): " + qln::WideToUtf8(product)},
        {[&] {
             std::filesystem::create_directories(bin);
             qlntest::WriteFileBytes(bin + L"\\Quillon.dll", "x");
         },
         "Key extracted file missing: " + qln::WideToUtf8(bin) + "\\QuillProc.exe"},
    };
    for (const Step& step : steps) {
        step.prepare();
        EXPECT_FALSE(p.Validate()) << step.expected;
        EXPECT_TRUE(m_log->Contains(step.expected)) << step.expected;
    }
    qlntest::WriteFileBytes(bin + L"\\QuillProc.exe", "x");
    EXPECT_TRUE(p.Validate());
    EXPECT_TRUE(m_log->Contains("Upgrade progress validation passed (version=1.17.KM17.1, productDir=" + qln::WideToUtf8(product) + ")"));
    std::filesystem::remove(bin + L"\\Quillon.dll");
    EXPECT_FALSE(p.Validate());
    EXPECT_TRUE(m_log->Contains("Key extracted file missing: " + qln::WideToUtf8(bin) + "\\Quillon.dll"));
}

TEST_F(StoreTest, HistoryLineFormatAndFirstEntry) {
    const auto before = std::time(nullptr);
    QLNUpgradeResultStore::AddResult(true, L"silent", L"1.17.KM17.1", 2);
    const auto after = std::time(nullptr);
    EXPECT_EQ(HkcuDword(kResultKey, L"Count"), 1u);
    const std::wstring line = HkcuString(kResultKey, L"Entry0").value_or(L"");
    const auto bar = line.find(L'|');
    ASSERT_NE(bar, std::wstring::npos);
    const long long seconds = std::stoll(line.substr(0, bar));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(line.substr(bar), L"|silent|1|2|1.17.KM17.1");
    EXPECT_EQ(QLNUpgradeResultStore::FormatLine({-5, L"elevate_failed", false, -1, L"v"}), L"-5|elevate_failed|0|-1|v");
    EXPECT_TRUE(m_log->Contains("Added upgrade result[0]: success=true, mode=silent, code=2, version=1.17.KM17.1"));
}

struct RollCase {
    const char* name;
    DWORD count;
    int index;          // where the new line goes
    DWORD countAfter;
    bool rolled;
};

class HistoryRoll : public StoreTest, public ::testing::WithParamInterface<RollCase> {};

TEST_P(HistoryRoll, KeepsAtMostFiftyNewestLast) {
    const RollCase& c = GetParam();
    for (int i = 0; i < 60; ++i) SetHkcuString(kResultKey, L"Entry" + std::to_wstring(i), L"old" + std::to_wstring(i));
    SetHkcuDword(kResultKey, L"Count", c.count);
    QLNUpgradeResultStore::AddResult(false, L"manual", L"1.17.KM17.1", 6);
    EXPECT_EQ(HkcuDword(kResultKey, L"Count"), c.countAfter);
    const std::wstring newest = HkcuString(kResultKey, L"Entry" + std::to_wstring(c.index)).value_or(L"");
    EXPECT_NE(newest.find(L"|manual|0|6|1.17.KM17.1"), std::wstring::npos) << qln::WideToUtf8(newest);
    if (c.rolled) {
        for (int i = 0; i < 49; ++i) EXPECT_EQ(HkcuString(kResultKey, L"Entry" + std::to_wstring(i)), L"old" + std::to_wstring(i + 1));
        EXPECT_TRUE(m_log->Contains("Upgrade result list full (50 entries), dropping the oldest record"));
    } else {
        EXPECT_FALSE(m_log->Contains("Upgrade result list full"));
        for (int i = c.index + 1; i < 50; ++i) EXPECT_EQ(HkcuString(kResultKey, L"Entry" + std::to_wstring(i)), L"old" + std::to_wstring(i));
    }
    for (int i = 50; i < 60; ++i) EXPECT_EQ(HkcuString(kResultKey, L"Entry" + std::to_wstring(i)), L"old" + std::to_wstring(i)) << "left untouched";
}

INSTANTIATE_TEST_SUITE_P(Store, HistoryRoll,
                         ::testing::Values(RollCase{"Middle", 7, 7, 8, false}, RollCase{"LastFreeSlot", 49, 49, 50, false},
                                           RollCase{"Full", 50, 49, 50, true}, RollCase{"Oversized", 60, 49, 50, true},
                                           RollCase{"NegativeAsSigned", 0x80000000u, 0, 1, false},
                                           RollCase{"AllBitsSet", 0xFFFFFFFFu, 0, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The upgrade pipeline, its entry points and the resume path, with the real
// package cache and verification and scripted strategies.
#include "support/LogTap.h"
#include "support/ScopedSeam.h"
#include "support/TaskDialogDriver.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeEngine.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "Utils/PathUtils.h"
#include "Utils/UniqueHandle.h"

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

namespace {

using qlntest::ScriptedStep;
constexpr wchar_t kProgressKey[] = L"Software\\Quillon\\KM\\UpgradeProgress";
const std::wstring kTarget = qlntest::kPackageVersion;

class Pipeline : public ::testing::Test {
protected:
    void TearDown() override {
        (void)qln::RemoveDirectoryTree(QLNUpgradeWorkspace::InstallationPath(installRoot));
        ::DeleteFileW(probe.c_str());
    }
    // A deployment of release interrupted in the installation's workspace,
    // whose journal names the probe file (backed up, when given).
    void LeaveInterrupted(const std::wstring& release, const char* journal, const char* backup = nullptr) {
        const std::wstring workspace = QLNUpgradeWorkspace::PathFor(installRoot, release);
        ASSERT_TRUE(QLNUpgradeWorkspace().Open(installRoot, release));
        qlntest::WriteFileBytes(workspace + L"\\replace.journal", journal);
        if (backup) qlntest::WriteFileBytes(workspace + L"\\rollback_backup\\qln-probe.txt", backup);
    }

    qlntest::LogCapture log;
    qlntest::StagedPackage package;
    qlntest::ScriptedStrategies strategies;
    QLNUpgradeEngine engine;
    const std::wstring installRoot = QLNUpgradeEngine::InstallRootOf(GetAppDirectory());
    const std::wstring probe = installRoot + L"\\qln-probe.txt";

    bool StagingExists() const { return std::filesystem::exists(package.StagingDir()); }
};

TEST(InstallRoot, IsTheParentOfTheAppDirectory) {
    EXPECT_EQ(QLNUpgradeEngine::InstallRootOf(L"C:\\Program Files\\Quillon\\bin\\"), L"C:\\Program Files\\Quillon");
    EXPECT_EQ(QLNUpgradeEngine::InstallRootOf(L"C:\\Q\\bin\\\\"), L"C:\\Q");
    EXPECT_EQ(QLNUpgradeEngine::InstallRootOf(L"C:\\bin"), L"C:");
    EXPECT_EQ(QLNUpgradeEngine::InstallRootOf(L"\\bin\\"), L"\\bin") << "a backslash only at the start is kept";
    EXPECT_EQ(QLNUpgradeEngine::InstallRootOf(L"bin\\"), L"bin");
}

TEST_F(Pipeline, RefusalsComeBeforeAnyDownloadAndAreRecorded) {
    EXPECT_EQ(engine.UpgradeSilently(L"1.2"), UpgradeResult::InvalidVersion);
    EXPECT_EQ(engine.LastError(), L"Invalid version format: 1.2");
    EXPECT_EQ(qlntest::HistoryTail(0), L"silent|0|7|1.2");

    QLNUpgradeProgress pending;
    pending.inProgress = true;
    pending.targetVersion = L"1.16.KM16.2399";
    pending.SaveUpgradeProgress();
    EXPECT_EQ(engine.UpgradeManual(kTarget), UpgradeResult::AlreadyInProgress);
    EXPECT_EQ(engine.LastError(), L"A previous upgrade is being resumed, skipping new upgrade");
    EXPECT_TRUE(log.Contains("HasPendingUpgrade() is true, rejecting upgrade for 1.16.KM16.2400"));
    EXPECT_EQ(qlntest::HistoryTail(1), L"manual|0|8|1.16.KM16.2400");

    EXPECT_FALSE(log.Contains("Step 4")) << "nothing may be downloaded for a refused request";
    EXPECT_TRUE(strategies.Seen().empty());
    EXPECT_TRUE(StagingExists()) << "a refused request leaves the cache alone";

    // The installer's wizard for the record's own release (chosen after its
    // resume failed) finishes that upgrade instead of being refused.
    pending.targetVersion = kTarget;
    pending.SaveUpgradeProgress();
    strategies.Set({{UpgradeResult::Success, L"", nullptr}});
    EXPECT_EQ(engine.UpgradeManual(kTarget), UpgradeResult::Success);
    EXPECT_EQ(strategies.ChainTypes().back(), UpgradeType::Manual);
}

TEST_F(Pipeline, EmptyChainFallsBackAfterVerificationWithEmptyLastError) {
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::FallbackToManual);
    EXPECT_TRUE(engine.LastError().empty());
    EXPECT_TRUE(log.Contains("MSI verification passed on first attempt"));
    EXPECT_TRUE(log.Contains("All upgrade strategies exhausted, returning fallback result"));
    EXPECT_FALSE(StagingExists());
    EXPECT_EQ(qlntest::HistoryTail(0), L"silent|0|9|1.16.KM16.2400");

    package.Restage();
    EXPECT_EQ(engine.UpgradeManual(kTarget), UpgradeResult::Failed) << "the manual chain falls back to Failed";
    EXPECT_EQ(strategies.ChainTypes(), (std::vector<UpgradeType>{UpgradeType::Silent, UpgradeType::Manual}));
}

TEST_F(Pipeline, FailedStrategyHandsOverWithAFreshErrorText) {
    strategies.Set({{UpgradeResult::StrategyFailed, L"replace broke", nullptr}, {UpgradeResult::Success, L"", nullptr}});
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Success);
    EXPECT_TRUE(engine.LastError().empty());

    // With administrator rights (every process under Wine) the strategies
    // work on the copy in the protected workspace, not in the user's folder.
    const std::wstring installRoot = QLNUpgradeEngine::InstallRootOf(GetAppDirectory());
    const std::wstring workspace = QLNUpgradeWorkspace::PathFor(installRoot, kTarget);
    const auto seen = strategies.Seen();
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& ctx : seen) {
        EXPECT_EQ(ctx.version, kTarget);
        EXPECT_EQ(ctx.msiPath, workspace + L"\\" + std::filesystem::path(package.Path()).filename().wstring());
        EXPECT_EQ(ctx.stagingDir, workspace);
        EXPECT_EQ(ctx.installRoot, installRoot);
        EXPECT_TRUE(ctx.errorText.empty()) << "each strategy starts with an empty reason";
    }
    EXPECT_EQ(log.Matching("Attempting strategy: Script").size(), 2u);
    EXPECT_TRUE(log.Contains("Strategy [ScriptA] failed: replace broke"));
    EXPECT_TRUE(log.Contains("Strategy [ScriptB] returned result 0"));
    EXPECT_FALSE(StagingExists());
    EXPECT_EQ(qlntest::HistoryTail(0), L"silent|1|0|1.16.KM16.2400");
}

TEST_F(Pipeline, CancelledEndsTheChainAndExhaustionKeepsTheLastReason) {
    strategies.Set({{UpgradeResult::Cancelled, L"User cancelled the upgrade", nullptr}, {UpgradeResult::Success, L"", nullptr}});
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Cancelled);
    EXPECT_EQ(strategies.Seen().size(), 1u);
    EXPECT_TRUE(engine.LastError().empty()) << "only an exhausted chain copies the reason";
    EXPECT_FALSE(StagingExists());

    package.Restage();
    strategies.Set({{UpgradeResult::StrategyFailed, L"first", nullptr}, {UpgradeResult::StrategyFailed, L"second", nullptr}});
    EXPECT_EQ(engine.UpgradeManual(kTarget), UpgradeResult::Failed);
    EXPECT_EQ(engine.LastError(), L"second");
    EXPECT_FALSE(StagingExists());
}

TEST_F(Pipeline, ReentrantCallOnTheSameEngineIsRefused) {
    UpgradeResult inner = UpgradeResult::Success;
    std::wstring innerError;
    strategies.Set({{UpgradeResult::Success, L"", [&](UpgradeContext&) {
                         inner = engine.UpgradeSilently(kTarget);
                         innerError = engine.LastError();
                     }}});
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Success);
    EXPECT_EQ(inner, UpgradeResult::AlreadyInProgress);
    EXPECT_EQ(innerError, L"Another update is already in progress");
    EXPECT_EQ(qlntest::HistoryTail(0), L"silent|0|8|1.16.KM16.2400") << "the refusal is recorded too";

    package.Restage();
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Success) << "the flag is cleared once the pipeline ends";
}

// While one run holds the installation, a second one (a resume started by a
// restarted daemon, say) touches nothing: no record, download or workspace.
TEST_F(Pipeline, ASecondRunForTheInstallationIsRefusedAtOnce) {
    QLNDeploymentLock first;
    ASSERT_TRUE(first.Acquire(QLNUpgradeEngine::InstallRootOf(GetAppDirectory())));
    QLNUpgradeProgress pending;
    pending.inProgress = true;
    pending.targetVersion = kTarget;
    const auto onAnotherThread = [&](auto run) { return std::async(std::launch::async, run).get(); };

    EXPECT_EQ(onAnotherThread([&] { return engine.UpgradeSilently(kTarget); }), UpgradeResult::AlreadyInProgress);
    EXPECT_EQ(engine.LastError(), L"Another upgrade of this installation is already running");
    pending.SaveUpgradeProgress();
    EXPECT_EQ(onAnotherThread([&] { return engine.ResumeUpgrade(); }), UpgradeResult::AlreadyInProgress);
    EXPECT_TRUE(HasPendingUpgrade()) << "the running deployment's record stays";
    EXPECT_FALSE(log.Contains("Step 4"));
    EXPECT_TRUE(StagingExists());
    EXPECT_TRUE(strategies.Seen().empty());
    ClearUpgradeProgress();
}

// The staging folder is removed while the engine still counts as upgrading:
// no second run may start on a folder that is being taken away.
TEST_F(Pipeline, StagingIsRemovedBeforeTheEngineTakesAnotherRun) {
    std::vector<UpgradeResult> duringCleanup;
    qlntest::LogTap tap([&](const std::string& message) {
        // An invalid version: refused for the running pipeline, or else
        // rejected before anything is downloaded.
        if (message.rfind("Staging directory cleaned up", 0) == 0) duringCleanup.push_back(engine.UpgradeSilently(L"1.2"));
    });
    strategies.Set({{UpgradeResult::Success, L"", nullptr}});
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Success);
    EXPECT_EQ(duringCleanup, std::vector<UpgradeResult>{UpgradeResult::AlreadyInProgress})
        << "7 (InvalidVersion): the engine took a call while its staging folder was being removed";
    EXPECT_FALSE(StagingExists());
}

// Once this release or a later one is installed, by whatever installer, an
// interrupted deployment of it or of an older release is let go of, begun
// rollback or not: its backups are older than what is installed. A folder
// that names no release is left alone.
TEST_F(Pipeline, InterruptedDeploymentsOfReleasesNotNewerAreLetGoNeverRolledBack) {
    const std::wstring releases[] = {CurrentVersion, L"1.16.KM16.2300", L"no-release"};
    for (const auto& release : releases) LeaveInterrupted(release, "F qln-probe.txt\nB\n", "older");
    qlntest::WriteFileBytes(probe, "installed since");
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::FallbackToManual);
    for (const auto& release : releases)
        EXPECT_EQ(std::filesystem::exists(QLNUpgradeWorkspace::PathFor(installRoot, release)), release == releases[2])
            << release;
    EXPECT_TRUE(log.Contains("Leaving the workspace ")) << "left alone without a warning";
    // Nor by the resume of a record of this release, which cannot run again.
    LeaveInterrupted(CurrentVersion, "F qln-probe.txt\nB\n", "older");
    QLNUpgradeProgress record;
    record.inProgress = true;
    record.targetVersion = CurrentVersion;
    record.SaveUpgradeProgress();
    EXPECT_EQ(engine.ResumeUpgrade(), UpgradeResult::MsiVerificationFailed);
    EXPECT_EQ(qlntest::ReadFileBytes(probe), "installed since");
}

// A pending record does not keep out the run that settles the interrupted
// deployment waiting in the workspace.
TEST_F(Pipeline, APendingRecordDoesNotKeepOutTheRunThatSettlesItsDeployment) {
    LeaveInterrupted(L"1.16.KM16.2390", "F qln-probe.txt\n");
    qlntest::WriteFileBytes(probe, "new in 2390");
    UpdateUpgradeState(L"InProgress");
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::FallbackToManual);
    EXPECT_FALSE(std::filesystem::exists(probe)) << "the interrupted deployment of 2390 was not rolled back";
}

// What the installer reads must be what was verified: while the chain runs no
// process can change, replace or remove the package.
TEST_F(Pipeline, PackageCannotBeSwappedWhileTheChainRuns) {
    const std::wstring intruder = package.StagingDir() + L"\\intruder.msi";
    qlntest::WriteFileBytes(intruder, std::string(2 << 20, 'x'));
    std::vector<std::string> breaches;
    strategies.Set({{UpgradeResult::Success, L"", [&](UpgradeContext& ctx) {
                         const wchar_t* path = ctx.msiPath.c_str();
                         qln::UniqueFileHandle writer(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                                    nullptr, OPEN_EXISTING, 0, nullptr));
                         if (writer) breaches.push_back("opened for writing");
                         if (::MoveFileExW(intruder.c_str(), path, MOVEFILE_REPLACE_EXISTING)) breaches.push_back("replaced");
                         if (::MoveFileW(path, (ctx.msiPath + L".old").c_str())) breaches.push_back("renamed");
                         if (::DeleteFileW(path)) breaches.push_back("deleted");
                         qln::UniqueFileHandle reader(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
                         if (!reader) breaches.push_back("not readable by the installer");
                     }}});
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Success);
    EXPECT_TRUE(breaches.empty()) << breaches.front();
}

// A package swapped after the first check but before the hold is caught by
// the check made while it is held; the user then decides as for any
// unverified package.
int g_verifyCalls = 0;
LONG WINAPI TrustOnlyTheFirstCheck(HWND, GUID*, void* data) {
    if (static_cast<WINTRUST_DATA*>(data)->dwStateAction != WTD_STATEACTION_VERIFY) return 0;
    return ++g_verifyCalls == 1 ? 0 : static_cast<LONG>(TRUST_E_NOSIGNATURE);
}

TEST_F(Pipeline, PackageThatFailsTheCheckUnderTheHoldIsNotInstalled) {
    g_verifyCalls = 0;
    qlntest::ScopedSeam trust(qln::seams::g_winVerifyTrust, &TrustOnlyTheFirstCheck);
    auto run = std::async(std::launch::async, [&] { return engine.UpgradeSilently(kTarget); });
    const auto dialog = qlntest::WaitForTaskDialog();
    ASSERT_NE(dialog.window, nullptr) << "the user must be asked about the changed package";
    EXPECT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDNO));
    EXPECT_EQ(run.get(), UpgradeResult::MsiVerificationFailed);
    EXPECT_EQ(g_verifyCalls, 2);
    EXPECT_TRUE(strategies.Seen().empty()) << "no strategy may run on an unverified package";
    EXPECT_TRUE(log.Contains("MSI package failed verification while held for installation"));
    EXPECT_EQ(engine.LastError(), L"MSI package download or signature verification failed");
    EXPECT_FALSE(StagingExists());
}

class Resume : public Pipeline {
protected:
    // An interrupted run whose unpacked product is complete, so it validates.
    void SaveResumableRecord(const wchar_t* type) {
        const auto bin = m_product.path() / "bin";
        std::filesystem::create_directories(bin);
        qlntest::WriteFileBytes(bin / "Quillon.dll", "dll");
        qlntest::WriteFileBytes(bin / "QuillProc.exe", "exe");
        QLNUpgradeProgress record;
        record.inProgress = true;
        record.targetVersion = kTarget;
        record.upgradeType = type;
        record.stagingDir = package.StagingDir();
        record.productDir = m_product.path().wstring();
        record.SaveUpgradeProgress();
    }
    qlntest::TempDir m_product;
};

TEST_F(Resume, NothingPendingIsSuccessWithoutAnyRun) {
    EXPECT_EQ(engine.ResumeUpgrade(), UpgradeResult::Success);
    EXPECT_TRUE(log.Contains("No pending upgrade to resume"));
    EXPECT_TRUE(strategies.ChainTypes().empty());
    EXPECT_TRUE(qlntest::HistoryTail(0).empty());
}

TEST_F(Resume, ValidManualRecordRerunsTheManualUpgrade) {
    // The record of the interrupted run stays until the run that repeats it
    // has ended (a failure on the way must not lose it).
    bool pendingDuringTheRun = false;
    strategies.Set({{UpgradeResult::Success, L"", [&](UpgradeContext&) { pendingDuringTheRun = HasPendingUpgrade(); }}});
    SaveResumableRecord(L"MANUAL");
    EXPECT_EQ(engine.ResumeUpgrade(), UpgradeResult::Success);
    EXPECT_EQ(strategies.ChainTypes(), std::vector<UpgradeType>{UpgradeType::Manual});
    EXPECT_TRUE(pendingDuringTheRun);
    EXPECT_TRUE(log.Contains("Updated upgrade state to: Succeeded"));
    EXPECT_FALSE(HasPendingUpgrade());
    EXPECT_TRUE(log.Contains("Re-running full manual upgrade for version 1.16.KM16.2400"));
    EXPECT_EQ(qlntest::HistoryTail(0), L"resume_manual|1|0|1.16.KM16.2400");

    package.Restage();
    EXPECT_EQ(engine.UpgradeManual(kTarget), UpgradeResult::Success);
    EXPECT_EQ(qlntest::HistoryTail(1), L"manual|1|0|1.16.KM16.2400") << "the resume mode ends with the resume";
}

TEST_F(Resume, InvalidRecordFallsBackToTheCachedVersionOrGivesUp) {
    QLNUpgradeProgress broken;
    broken.inProgress = true;
    broken.targetVersion = kTarget;
    broken.upgradeType = L"manual";
    broken.SaveUpgradeProgress();
    // Its interrupted deployment cannot be finished: it is undone from the
    // workspace, and the history says so.
    LeaveInterrupted(kTarget, "F qln-probe.txt\n");
    qlntest::WriteFileBytes(probe, "new");
    EXPECT_EQ(engine.ResumeUpgrade(), UpgradeResult::MsiVerificationFailed);
    EXPECT_FALSE(std::filesystem::exists(probe));
    EXPECT_EQ(qlntest::HistoryTail(0), L"resume_manual|0|5|1.16.KM16.2400");
    EXPECT_TRUE(log.Contains("mode=resume_manual, result=5, version=1.16.KM16.2400; an interrupted deployment was rolled back"));
    EXPECT_EQ(engine.LastError(), L"No valid newer version found in registry cache");
    EXPECT_TRUE(log.Contains("Upgrade progress invalid, not resuming the recorded run"));
    EXPECT_FALSE(HasPendingUpgrade());
    EXPECT_FALSE(qlntest::HkcuKeyExists(kProgressKey));
    EXPECT_TRUE(strategies.ChainTypes().empty());

    // With a usable cached version the resume runs by the upgrade mode.
    strategies.Set({{UpgradeResult::Success, L"", nullptr}});
    QLNVersionInfo cached;
    cached.rawText = std::wstring(kTarget) + L"\ninfo\nhttps://example.test/notes\nfalse";
    QLNVersionChecker::SaveToRegistry(cached);
    qlntest::SetKmString(L"QlnUpgradeMode", L"delay_silent");
    broken.SaveUpgradeProgress();
    EXPECT_EQ(engine.ResumeUpgrade(), UpgradeResult::Success);
    EXPECT_EQ(strategies.ChainTypes(), std::vector<UpgradeType>{UpgradeType::Silent});
    EXPECT_EQ(qlntest::HistoryTail(1), L"resume_silent|1|0|1.16.KM16.2400");
}

}  // namespace

// The daemon's actions: the elevated copy and its exit codes, the upgrade
// worker, the update check with its real prompts, the resume check and the
// backup clean-up.
#include "support/ScopedSeam.h"
#include "support/TaskDialogDriver.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/QLNElevation.h"
#include "QLNUpgrade/QLNUpgradeApp.h"
#include "QLNUpgrade/QLNUpgradeHelper.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>

#include <winioctl.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

namespace {

using qlntest::kVersionCheckKey;
const std::wstring kTarget = qlntest::kPackageVersion;

// Every launch of the elevated copy goes through here: what was asked for is
// kept, then the real ShellExecuteExW runs.
struct LaunchRecord {
    std::wstring verb;
    std::wstring parameters;
    int show = -1;
    ULONG mask = 0;
} g_launch;

BOOL RecordAndLaunch(SHELLEXECUTEINFOW* info) {
    g_launch = {info->lpVerb ? info->lpVerb : L"", info->lpParameters ? info->lpParameters : L"", info->nShow, info->fMask};
    return ::ShellExecuteExW(info);
}
BOOL DeclinePrompt(SHELLEXECUTEINFOW* info) {
    g_launch.parameters = info->lpParameters ? info->lpParameters : L"";
    ::SetLastError(ERROR_CANCELLED);
    return FALSE;
}
BOOL CannotLaunch(SHELLEXECUTEINFOW* info) {
    g_launch.parameters = info->lpParameters ? info->lpParameters : L"";
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

// The test executable stands in for the elevated copy (it is the running
// module): it records its command line and exits with the scripted code.
class ElevatedCopy {
public:
    explicit ElevatedCopy(int exitCode) {
        ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_RECORD", Record().c_str());
        ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_EXIT", std::to_wstring(exitCode).c_str());
    }
    ~ElevatedCopy() {
        ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_RECORD", nullptr);
        ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_EXIT", nullptr);
    }
    std::wstring Record() const { return m_dir.path().wstring() + L"\\cmdline.txt"; }
    std::string CommandLine() const { return qlntest::ReadFileBytes(Record()); }

private:
    qlntest::TempDir m_dir;
};

class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        g_upgradeInProgress = false;
        g_launch = {};
    }
    void TearDown() override { EXPECT_TRUE(AnswerDialogsUntilReleased(IDOK)) << "a worker or prompt is still running"; }
    // Overrides that last until TearDown has waited for the worker.
    void RunNotElevated() { m_admin.emplace(qln::seams::g_isRunningAsAdmin, [] { return false; }); }
    void LaunchThrough(qln::seams::ElevationShellExecuteExFn launch) {
        m_launch.emplace(qln::seams::g_elevationShellExecuteEx, launch);
    }
    // Waits for the end of the running flow, answering every dialog it shows
    // with the button; false after a minute.
    bool AnswerDialogsUntilReleased(int button, int* dialogsAnswered = nullptr) {
        const ULONGLONG end = ::GetTickCount64() + 60000;
        while (g_upgradeInProgress.load()) {
            if (::GetTickCount64() > end) return false;
            const auto dialog = qlntest::WaitForTaskDialog(100);
            if (dialog.window && qlntest::ClickTaskDialogButton(dialog, button) && dialogsAnswered) ++*dialogsAnswered;
        }
        return true;
    }
    std::optional<qlntest::ScopedSeam<qln::seams::IsRunningAsAdminFn>> m_admin;
    std::optional<qlntest::ScopedSeam<qln::seams::ElevationShellExecuteExFn>> m_launch{
        std::in_place, qln::seams::g_elevationShellExecuteEx, &RecordAndLaunch};
    qlntest::LogCapture log;
};

// Every outcome the daemon tells apart comes back from the copy's exit code
// as it was; the others arrive as their own number and count as a failure.
TEST(ElevatedExitCodes, EveryResultMakesTheRoundTrip) {
    for (int value = 0; value <= static_cast<int>(UpgradeResult::Cancelled); ++value) {
        const auto result = static_cast<UpgradeResult>(value);
        const int code = QLNElevation::ExitCodeOf(result);
        const bool mappedBack = code == 0 || (code >= 100 && code <= 105);
        EXPECT_EQ(QLNElevation::ResultOfExitCode(code), mappedBack ? result : UpgradeResult::Failed) << value;
        if (!mappedBack) {
            EXPECT_EQ(code, value);
        }
    }
    for (const UpgradeType type : {UpgradeType::Silent, UpgradeType::Resume, UpgradeType::Manual}) {
        int argc = 0;
        const qln::UniqueLocalMem argv(
            ::CommandLineToArgvW((L"x.exe " + QLNElevation::ParametersFor(type, L"1.16.KM16.2400")).c_str(), &argc));
        const CommandLineRequest request = ParseCommandLineArgs(argc, static_cast<const wchar_t* const*>(argv.get()));
        EXPECT_EQ(request.elevated, type);
        EXPECT_EQ(request.version, QLNElevation::TakesVersion(type) ? L"1.16.KM16.2400" : L"");
    }

    qlntest::LogCapture log;
    EXPECT_EQ(RunElevatedAction(static_cast<UpgradeType>(5), L"", L"C:\\Quillon"), 1);
    EXPECT_TRUE(log.Contains("Unknown elevated action: 5"));
    EXPECT_EQ(RunElevatedAction(UpgradeType::Silent, L"1.2", L"C:\\Quillon"), 7);
    EXPECT_TRUE(log.Contains("Elevated upgrade failed with result 7 - Invalid version format: 1.2"));
}

TEST_F(Worker, ElevatedCopyIsStartedThroughRunasAndItsExitCodeMappedBack) {
    const struct {
        int exitCode;
        UpgradeResult result;
        bool ok;
    } table[] = {
        {0, UpgradeResult::Success, true},
        {100, UpgradeResult::SuccessNeedReboot, true},
        {103, UpgradeResult::SuccessByReplace, true},
        {104, UpgradeResult::SuccessByReplaceNeedReboot, true},
        {101, UpgradeResult::FallbackToManual, false},
        {102, UpgradeResult::Cancelled, false},
        {105, UpgradeResult::MsiVerificationFailed, false},
        {4, UpgradeResult::Failed, false},
        {6, UpgradeResult::Failed, false},
        {7, UpgradeResult::Failed, false},
        {8, UpgradeResult::Failed, false},
        {1, UpgradeResult::Failed, false},
        {12345, UpgradeResult::Failed, false},
    };
    for (const auto& row : table) {
        ElevatedCopy copy(row.exitCode);
        UpgradeResult result = UpgradeResult::Success;
        bool launched = false;
        EXPECT_EQ(RelaunchElevated(L"--elevated-silent \"2.0.1\"", result, launched), row.ok) << row.exitCode;
        EXPECT_TRUE(launched) << row.exitCode;
        EXPECT_EQ(result, row.result) << row.exitCode;
        EXPECT_NE(copy.CommandLine().find("--elevated-silent \"2.0.1\""), std::string::npos) << copy.CommandLine();
    }
    EXPECT_EQ(g_launch.verb, L"runas");
    EXPECT_EQ(g_launch.show, SW_HIDE);
    EXPECT_EQ(g_launch.mask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
    EXPECT_TRUE(log.Contains("Elevated process exited with code 12345"));
}

TEST_F(Worker, NotElevatedSilentRequestRunsTheElevatedCopy) {
    RunNotElevated();
    (void)KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe");
    QLNVersionInfo release;
    release.version = L"2.0.1";
    const std::wstring staging = QLNMsiPackage::BuildStagingDir(release);
    qlntest::WriteFileBytes(staging + L"\\Quillon-2.0.1-x64.msi", "cached");
    ElevatedCopy copy(103);
    // A copy that did not stop the status cache (an installer-only chain, a
    // refused package) leaves it as it was.
    ExecuteUpgradeAsync(L"2.0.1", UpgradeType::Silent, false);
    ExecuteUpgradeAsync(L"2.0.1", UpgradeType::Manual, false);
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_FALSE(KMWinOSUtils::IsQLNCacheProcessRunning());
    EXPECT_TRUE(log.Contains("Upgrade already in progress, skipping manual request for version 2.0.1"));
    EXPECT_TRUE(log.Contains("Not running as admin, re-launching elevated: --elevated-silent \"2.0.1\""));
    EXPECT_NE(copy.CommandLine().find("--elevated-silent \"2.0.1\""), std::string::npos);
    EXPECT_TRUE(log.Contains("Upgrade completed via replace strategy (type=silent)"));
    EXPECT_TRUE(qlntest::HistoryTail(0).empty()) << "the elevated copy records its own outcome";
    EXPECT_FALSE(std::filesystem::exists(staging)) << "the copy leaves the user's download cache to us";
    // One that stopped it leaves starting it to us.
    ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_STOPS_CACHE", L"1");
    ExecuteUpgradeAsync(L"2.0.1", UpgradeType::Silent, false);
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_STOPS_CACHE", nullptr);
    EXPECT_TRUE(KMWinOSUtils::IsQLNCacheProcessRunning());
    EXPECT_TRUE(KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe"));

    // A version that would close its quote never reaches the command line.
    ExecuteUpgradeAsync(L"2.0.1\" --elevated-resume \"", UpgradeType::Silent, false);
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_EQ(log.Matching("re-launching elevated").size(), 2u);
    EXPECT_EQ(qlntest::HistoryTail(0), L"elevate_failed|0|7|2.0.1\" --elevated-resume \"");
}

TEST_F(Worker, DeclinedAndImpossibleElevationAreRecorded) {
    RunNotElevated();
    LaunchThrough(&DeclinePrompt);
    ExecuteUpgradeAsync(L"2.0.1", UpgradeType::Silent, false);
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("User declined UAC elevation"));
    EXPECT_TRUE(log.Contains("Upgrade cancelled by user"));
    EXPECT_EQ(qlntest::HistoryTail(0), L"elevate_failed|0|10|2.0.1");

    LaunchThrough(&CannotLaunch);
    g_upgradeInProgress = true;  // claimed by the resume prompt
    ExecuteUpgradeAsync(L"", UpgradeType::Resume, true);
    int dialogs = 0;
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK, &dialogs));
    EXPECT_EQ(g_launch.parameters, L"--elevated-resume");
    EXPECT_TRUE(log.Contains("ShellExecuteEx failed for elevation, error: 2"));
    EXPECT_TRUE(log.Contains("Upgrade failed with result 6 - Unknown error"));
    EXPECT_EQ(qlntest::HistoryTail(1), L"elevate_failed|0|6|");
    EXPECT_EQ(dialogs, 1) << "the failure is shown once";
}

// The worker of a resume works on the release of the user's record: a copy
// elevated as another account reports success without finding that record,
// which is then still pending and no success. After a failed resume the
// manual installer is offered, run by the elevated copy, for the release the
// resume worked on (a newer cached one when the record failed validation),
// whose download the daemon cleans.
TEST_F(Worker, ResumeWorkerGoesByTheUsersRecord) {
    RunNotElevated();
    QLNUpgradeProgress record;
    record.inProgress = true;
    record.targetVersion = kTarget;
    record.SaveUpgradeProgress();
    const auto resume = [&](int exitCode) {
        ElevatedCopy copy(exitCode);
        g_upgradeInProgress = true;  // claimed by the resume prompt
        ExecuteUpgradeAsync(L"", UpgradeType::Resume, true);
        return qlntest::WaitForTaskDialog();
    };
    ASSERT_TRUE(qlntest::ClickTaskDialogButton(resume(0), IDOK));
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("this user's interrupted upgrade to 1.16.KM16.2400 is still pending"));

    ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_CLEARS_RECORD", L"1");
    ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_HISTORY", L"resume_silent|9|1.16.KM16.2401");
    qlntest::StagedPackage cachedNewer(L"1.16.KM16.2401");
    const auto fallback = resume(101);
    ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_HISTORY", nullptr);
    ASSERT_TRUE(qlntest::ClickTaskDialogButton(fallback, IDYES));  // "Manual install"
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    ::SetEnvironmentVariableW(L"QLN_TEST_ELEVATED_CLEARS_RECORD", nullptr);
    EXPECT_EQ(g_launch.parameters, L"--elevated-manual \"1.16.KM16.2401\"");
    EXPECT_FALSE(std::filesystem::exists(cachedNewer.StagingDir()));
}

// The installer's wizard runs with administrator rights only in the elevated
// copy, on its own verified copy of the package.
TEST_F(Worker, ManualRequestRunsTheElevatedCopy) {
    RunNotElevated();
    ElevatedCopy copy(0);
    ExecuteUpgradeAsync(kTarget, UpgradeType::Manual, false);
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_NE(copy.CommandLine().find("--elevated-manual \"1.16.KM16.2400\""), std::string::npos);
    EXPECT_TRUE(log.Contains("Upgrade completed successfully (type=manual)"));
    EXPECT_TRUE(qlntest::HistoryTail(0).empty()) << "the elevated copy records its own outcome";
}

// The update check takes the version text from the configuration (the first
// source) and finds the package in the cache, so nothing is fetched.
class UpdateCheck : public Worker {
protected:
    void Offer(const wchar_t* mode, bool force = false) {
        qlntest::SetKmString(L"QlnUpgradeMode", mode);
        qlntest::SetKmString(L"LatestVersionInfo",
                             kTarget + L"\nNew release\nhttps://example.test/notes\n" + (force ? L"true" : L"false"));
    }
    static std::uint64_t LastNotifiedAt() { return qlntest::VcNumber(L"NewVersionLastNotifiedAt").value_or(0); }
    qlntest::StagedPackage package;
    qlntest::ScriptedStrategies strategies{{{UpgradeResult::Success, L"", nullptr}}};
};

TEST_F(UpdateCheck, VersionCheckOtherThanTrueOrOneDisablesIt) {
    Offer(L"immediate_silent");
    qlntest::SetKmString(L"VersionCheck", L"TRUE");
    PerformUpdateCheck();
    EXPECT_TRUE(log.Contains("Version check disabled by server config, skipping auto check"));
    EXPECT_FALSE(log.Contains("LoadVersionInfo: loading version info"));
    qlntest::SetKmString(L"VersionCheck", L"1");
    g_upgradeInProgress = true;
    PerformUpdateCheck();
    EXPECT_TRUE(log.Contains("Upgrade already in progress, skipping update check"));
    g_upgradeInProgress = false;
}

TEST_F(UpdateCheck, IgnoreModeStoresTheAnnouncementOnly) {
    Offer(L"ignore");
    PerformUpdateCheck();
    EXPECT_TRUE(log.Contains("Newer version available: 1.16.KM16.2400"));
    EXPECT_TRUE(log.Contains("MSI cache is valid, skipping download")) << "the advance download found the cache";
    EXPECT_NE(LastNotifiedAt(), 0u);
    EXPECT_FALSE(g_upgradeInProgress.load());
    EXPECT_TRUE(qlntest::NoTaskDialogFor(500));
    EXPECT_TRUE(strategies.ChainTypes().empty());
}

TEST_F(UpdateCheck, WithoutPreNotifyTheUpgradeStartsAtOnce) {
    Offer(L"immediate_silent");
    PerformUpdateCheck();
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("Silent mode without pre-notify, starting silent update for version 1.16.KM16.2400"));
    EXPECT_NE(LastNotifiedAt(), 0u);

    package.Restage();
    Offer(L"delay_manual");
    qlntest::SetKmString(L"ManualUpgradePreNotify", L"false");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kVersionCheckKey, L"NewVersionLastNotifiedAt");
    PerformUpdateCheck();
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("Manual mode without pre-notify, starting manual update for version 1.16.KM16.2400"));
    EXPECT_EQ(strategies.ChainTypes(), (std::vector<UpgradeType>{UpgradeType::Silent, UpgradeType::Manual}));
}

TEST_F(UpdateCheck, PreNotifyPromptsAreAnsweredByTheUser) {
    // Manual mode asks by default; "Later" releases the claim and stores nothing.
    Offer(L"immediate_manual");
    PerformUpdateCheck();
    auto dialog = qlntest::WaitForTaskDialog();
    ASSERT_NE(dialog.window, nullptr);
    EXPECT_EQ(dialog.buttons.size(), 3u) << "Ignore this Version is offered";
    QLNVersionInfo info;
    info.version = kTarget;
    PromptManualUpgradeWithPreNotify(info, true);
    EXPECT_TRUE(log.Contains("Upgrade already in progress, skipping manual pre-notify prompt for version 1.16.KM16.2400"));
    ASSERT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDNO));
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("User postponed manual upgrade for version 1.16.KM16.2400"));
    EXPECT_EQ(qlntest::ReadHkcuDword(kVersionCheckKey, L"NewVersionIgnore"), 0u);

    // A forced release cannot be ignored; agreeing hands the claim to the worker.
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kVersionCheckKey, L"NewVersionLastNotifiedAt");
    Offer(L"delay_silent", true);
    qlntest::SetKmString(L"SilentUpgradePreNotify", L"1");
    PerformUpdateCheck();
    dialog = qlntest::WaitForTaskDialog();
    ASSERT_NE(dialog.window, nullptr);
    EXPECT_EQ(dialog.buttons.size(), 2u) << "no Ignore button for a forced release";
    PromptSilentUpgradeWithPreNotify(info, true);
    EXPECT_TRUE(log.Contains("Upgrade already in progress, skipping pre-notify prompt for version 1.16.KM16.2400"));
    ASSERT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDYES));
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("User confirmed silent upgrade for version 1.16.KM16.2400"));
    EXPECT_EQ(strategies.ChainTypes(), std::vector<UpgradeType>{UpgradeType::Silent});

    // Ignoring stores the mark for the offered version.
    package.Restage();
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kVersionCheckKey, L"NewVersionLastNotifiedAt");
    Offer(L"immediate_manual");
    PerformUpdateCheck();
    dialog = qlntest::WaitForTaskDialog();
    ASSERT_NE(dialog.window, nullptr);
    ASSERT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDIGNORE));
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("User ignored manual upgrade for version 1.16.KM16.2400"));
    EXPECT_EQ(qlntest::ReadHkcuDword(kVersionCheckKey, L"NewVersionIgnore"), 1u);
}

class ResumeCheck : public Worker {
protected:
    void SavePending(const std::wstring& version) {
        QLNUpgradeProgress record;
        record.inProgress = true;
        record.targetVersion = version;
        record.upgradeType = L"silent";
        record.SaveUpgradeProgress();
    }
};

TEST_F(ResumeCheck, StaleOrDeclinedProgressIsCleared) {
    EXPECT_FALSE(CheckAndResumeUpgrade());
    EXPECT_TRUE(log.Contains("No pending upgrade to resume"));

    SavePending(L"1.16.KM16.2381");
    EXPECT_FALSE(CheckAndResumeUpgrade());
    EXPECT_TRUE(log.Contains("Pending target version 1.16.KM16.2381 is no longer newer than running version"));
    EXPECT_TRUE(log.Contains("Updated upgrade state to: Succeeded"));
    EXPECT_FALSE(HasPendingUpgrade());
    EXPECT_TRUE(qlntest::NoTaskDialogFor(300));

    SavePending(kTarget);
    g_upgradeInProgress = true;
    EXPECT_FALSE(CheckAndResumeUpgrade());
    EXPECT_TRUE(log.Contains("Upgrade already in progress, skipping resume prompt"));
    g_upgradeInProgress = false;

    // The check it owes is made by the next hourly check, before anything else.
    PerformUpdateCheck();
    EXPECT_TRUE(log.Contains("Skipping update check (resume in progress)"));
    const auto dialog = qlntest::WaitForTaskDialog();
    ASSERT_NE(dialog.window, nullptr);
    ASSERT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDNO));
    ASSERT_TRUE(AnswerDialogsUntilReleased(IDOK));
    EXPECT_TRUE(log.Contains("User declined resume upgrade, clearing progress"));
    EXPECT_FALSE(HasPendingUpgrade());
}

// A directory junction (mount-point reparse point) at link pointing to
// target; the Windows error when it cannot be made.
DWORD MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!::CreateDirectoryW(link.c_str(), nullptr)) return ::GetLastError();
    qln::UniqueFileHandle dir(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!dir) return ::GetLastError();
    const std::wstring substitute = L"\\??\\" + target;
    const WORD substituteBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    const WORD printBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(8 + 8 + substituteBytes + 2 + printBytes + 2);
    auto put16 = [&](size_t at, WORD v) { memcpy(&buffer[at], &v, 2); };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(&buffer[0], &tag, 4);
    put16(4, static_cast<WORD>(buffer.size() - 8));
    put16(8, 0);
    put16(10, substituteBytes);
    put16(12, static_cast<WORD>(substituteBytes + 2));
    put16(14, printBytes);
    memcpy(&buffer[16], substitute.data(), substituteBytes);
    memcpy(&buffer[16 + substituteBytes + 2], target.data(), printBytes);
    DWORD returned = 0;
    return ::DeviceIoControl(dir.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                             0, &returned, nullptr)
               ? ERROR_SUCCESS
               : ::GetLastError();
}

TEST(BackupCleanup, DeletesBackupsBelowTheRootWithoutFollowingLinks) {
    EXPECT_FALSE(IsBackupFileName(L".qlnupd.bak"));
    EXPECT_TRUE(IsBackupFileName(L"x.QLNUPD.BAK"));
    EXPECT_FALSE(IsBackupFileName(L"a.dll.qlnupd.bak.old"));

    qlntest::LogCapture log;
    qlntest::TempDir root;
    const auto& r = root.path();
    for (const char* name : {"a.dll.qlnupd.bak", "bin/x.QLNUPD.BAK", "bin/deep/er/y.exe.qlnupd.bak", "bin/.qlnupd.bak",
                             "bin/keep.dll", "bin/locked.dll.qlnupd.bak", "bin/held.dll.qlnupd.bak.7"})
        qlntest::WriteFileBytes(r / name, "x");
    // A junction from deep inside back to the root: a walk that follows it
    // never ends. Wine cannot make reparse points (ERROR_NOT_SUPPORTED); there
    // only the rule that decides the descent is checked.
    const auto loop = r / "bin" / "deep" / "loop";
    const DWORD junction = MakeJunction(loop.wstring(), r.wstring());
    if (junction == ERROR_NOT_SUPPORTED) {
        ::RemoveDirectoryW(loop.c_str());
        EXPECT_FALSE(IsWalkedDirectory(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        EXPECT_TRUE(IsWalkedDirectory(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
        EXPECT_FALSE(IsWalkedDirectory(FILE_ATTRIBUTE_ARCHIVE));
    } else {
        ASSERT_EQ(junction, DWORD{ERROR_SUCCESS});
        ASSERT_TRUE(std::filesystem::exists(loop / "bin" / "keep.dll")) << "the junction leads back up";
    }
    qln::UniqueFileHandle locked(::CreateFileW((r / "bin/locked.dll.qlnupd.bak").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, 0, nullptr));

    EXPECT_EQ(CleanupBackupFilesBelow(root.dirWithSlash()), 4u);
    EXPECT_FALSE(std::filesystem::exists(r / "bin/held.dll.qlnupd.bak.7")) << "a numbered alternative is a backup too";
    EXPECT_FALSE(std::filesystem::exists(r / "a.dll.qlnupd.bak"));
    EXPECT_FALSE(std::filesystem::exists(r / "bin/x.QLNUPD.BAK"));
    EXPECT_FALSE(std::filesystem::exists(r / "bin/deep/er/y.exe.qlnupd.bak"));
    EXPECT_TRUE(std::filesystem::exists(r / "bin/.qlnupd.bak")) << "the bare suffix is not a backup";
    EXPECT_TRUE(std::filesystem::exists(r / "bin/keep.dll"));
    EXPECT_TRUE(std::filesystem::exists(r / "bin/locked.dll.qlnupd.bak"));
    EXPECT_EQ(log.Matching("Could not delete backup file:").size(), 1u);
    EXPECT_TRUE(log.Contains("locked.dll.qlnupd.bak (error: 32)"));
    if (junction == ERROR_SUCCESS) {
        EXPECT_TRUE(::RemoveDirectoryW(loop.c_str())) << "removing the junction leaves its target";
    }
}

}  // namespace

// The elevated copy as a process: what it acts on and what it runs, what it
// trusts and writes, which packages it installs, and how the next start
// resumes or rolls back a deployment it left unfinished.
#include "support/DaemonProcess.h"
#include "support/FakeMsiexec.h"
#include "support/ReplaceTestSupport.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/Registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <string>

namespace {

using qlntest::Daemon;
using qlntest::DaemonLog;

// The working directory a copy inherits may be writable without
// administrator rights; an msiexec.exe planted there must not be what the
// copy runs for the package (here the administrative extraction of the
// replace strategy, which then fails under Wine and ends the run).
// The signed daemon copied into a folder of the user's, with an msiexec.exe
// beside it and in the inherited working directory, a language module with
// entry code and a crash-report component, and started with the elevated
// switch: it is not the registered installation, so it acts on nothing, and
// nothing planted runs.
TEST(DaemonProcess, ElevatedCopyInAFolderOfTheUsersRunsNothingPlanted) {
    namespace fs = std::filesystem;
    qlntest::ClearProductRegistry();
    qlntest::TempDir temp;
    const std::wstring planted = temp.dirWithSlash() + L"planted";
    const std::wstring root = temp.dirWithSlash() + L"Quillon";
    const std::wstring bin = root + L"\\bin";
    fs::create_directories(planted);
    fs::create_directories(bin);
    fs::create_directories(root + L"\\Languages");
    fs::copy_file(qlntest::Env(L"QLN_TEST_DAEMON_SIGNED"), bin + L"\\QLNUpgrade.exe");
    for (const std::wstring& dir : {planted, bin}) {
        fs::copy_file(qlntest::BinDir() + L"qln_fake_msiexec.exe", dir + L"\\msiexec.exe");
        qlntest::WriteFileBytes(dir + L"\\qln_fake_msiexec.control", "exit=1603\n");
    }
    fs::copy_file(qlntest::BinDir() + L"lang\\qln_lang_4.dll", root + L"\\Languages\\QLNUpgrade1031.dll");
    fs::copy_file(qlntest::BinDir() + L"crash\\crshhndl.dll", bin + L"\\crshhndl.dll");
    CRegStdDWORD(L"Software\\Quillon\\LanguageID", 0).Write(1031);
    const std::wstring crashOut = temp.dirWithSlash() + L"crash.txt";
    ::SetEnvironmentVariableW(L"QLN_TEST_CRASH_OUT", crashOut.c_str());
    ::SetEnvironmentVariableW(L"QLN_FAKE_MSIEXEC_CONTROL", nullptr);  // a planted copy reads the file beside it
    qlntest::StagedPackage package;
    DaemonLog log;

    Daemon copy(L"--elevated-silent 1.16.KM16.2400", bin + L"\\QLNUpgrade.exe", planted);
    EXPECT_EQ(copy.Wait(), 6) << log.Text();
    ::SetEnvironmentVariableW(L"QLN_TEST_CRASH_OUT", nullptr);
    EXPECT_TRUE(log.Contains("is not the installation that Windows Installer registered")) << log.Text();
    for (const std::wstring& dir : {planted, bin}) {
        EXPECT_FALSE(qlntest::Exists(dir + L"\\qln_fake_msiexec.control.log")) << "a planted msiexec.exe was run";
    }
    EXPECT_FALSE(qlntest::Exists(root + L"\\Languages\\QLNUpgrade1031.dll.ran")) << "the language module's code ran";
    EXPECT_FALSE(qlntest::Exists(crashOut)) << "the planted crash-report component was loaded";
    EXPECT_FALSE(qlntest::Exists(QLNUpgradeWorkspace::PathFor(root, qlntest::kPackageVersion)));
    EXPECT_EQ(qlntest::HistoryTail(0), L"silent|0|6|1.16.KM16.2400");
    qlntest::ClearProductRegistry();
}

// An installation of the previous release in a temporary folder, registered
// with Windows Installer, whose bin\QLNUpgrade.exe is the daemon under test
// (whose root it deploys into); the stand-in msiexec in system32 unpacks the
// new release; the package waits in the download cache.
struct ElevatedInstallation {
    explicit ElevatedInstallation(int files) {
        namespace fs = std::filesystem;
        qlntest::ClearProductRegistry();
        qlntest::WriteGeneratedRelease(release, files, false);
        qlntest::WriteGeneratedRelease(previous, files, true);
        // Signed as the vendor signs it: the packages it accepts are its
        // publisher's.
        fs::copy_file(qlntest::Env(L"QLN_TEST_DAEMON_SIGNED"), previous + L"\\bin\\QLNUpgrade.exe");
        fs::copy_file(qlntest::BinDir() + L"QLNCache.exe", previous + L"\\bin\\QLNCache.exe");
        msiexec.Script({"admin_tree=" + qlntest::Narrow(temp.dirWithSlash() + L"admin")});
        qlntest::SetKmString(L"SilentUpgradeByMsi", L"false");  // no installer run after a failed replace
        (void)KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe");
    }
    ~ElevatedInstallation() {
        (void)KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe");
        qlntest::ClearProductRegistry();
    }
    // The previous release installed afresh, its package in the cache again.
    void Reinstall() {
        namespace fs = std::filesystem;
        std::error_code error;
        fs::remove_all(install, error);
        fs::copy(previous, install, fs::copy_options::recursive, error);
        ASSERT_FALSE(error) << error.message();
        package.Restage();
    }
    // The tree an upgrade must leave: the new release over the previous one.
    qlntest::TreeSnapshot Upgraded() const {
        qlntest::TreeSnapshot expected = qlntest::SnapshotTree(previous);
        for (const auto& [path, content] : qlntest::SnapshotTree(release)) expected[path] = content;
        return expected;
    }
    std::wstring Workspace() const { return QLNUpgradeWorkspace::PathFor(install, qlntest::kPackageVersion); }

    qlntest::TempDir temp;
    const std::wstring previous = temp.dirWithSlash() + L"previous";
    const std::wstring install = temp.dirWithSlash() + L"Quillon";
    const std::wstring release = temp.dirWithSlash() + L"admin\\Program Files\\Quillon";
    const std::wstring exe = install + L"\\bin\\QLNUpgrade.exe";
    qlntest::RegisteredInstallation registered{install};
    qlntest::FakeMsiexec msiexec;
    qlntest::StagedPackage package;
};

// Whatever a program of the user puts into the download cache, the elevated
// copy neither deploys, skips nor rolls back on its word: a journal claiming a
// finished category and naming a path outside the installation, with a
// planted "backup" to restore. Nor does it start the status cache, which would
// keep its administrator rights: the daemon that started it does that.
TEST(DaemonProcess, ElevatedCopyTrustsNothingTheUserCanWrite) {
    ElevatedInstallation setup(40);
    const std::wstring victim = setup.temp.dirWithSlash() + L"victim.txt";
    qlntest::WriteText(victim, "keep");
    const auto plant = [&] {
        qlntest::WriteText(setup.package.StagingDir() + L"\\replace.journal",
                           "C QLN\nF bin\\QuillProc.exe\nF ..\\victim.txt\n");
        qlntest::WriteText(setup.package.StagingDir() + L"\\rollback_backup\\bin\\QuillProc.exe", "planted");
    };
    DaemonLog log;

    // A file that cannot be replaced makes the deployment roll back.
    setup.Reinstall();
    plant();
    {
        qlntest::FileHolder stuck(L"none", {setup.install + L"\\version.txt"});
        ASSERT_TRUE(stuck.ok());
        Daemon copy(L"--elevated-silent 1.16.KM16.2400", setup.exe);
        EXPECT_EQ(copy.Wait(), 101);
    }
    EXPECT_EQ(qlntest::FirstDifference(qlntest::SnapshotTree(setup.previous), qlntest::SnapshotTree(setup.install)), "");
    EXPECT_EQ(qlntest::ReadText(victim), "keep");

    setup.Reinstall();
    plant();
    Daemon copy(L"--elevated-silent 1.16.KM16.2400", setup.exe);
    EXPECT_EQ(copy.Wait(), 103) << log.Text();
    EXPECT_EQ(qlntest::FirstDifference(setup.Upgraded(), qlntest::SnapshotTree(setup.install)), "");
    EXPECT_FALSE(KMWinOSUtils::IsQLNCacheProcessRunning()) << "the elevated copy started the status cache";
    EXPECT_FALSE(qlntest::Exists(setup.Workspace()));
}

// Whatever a program of the user points at, the elevated copy creates,
// writes and deletes nothing there: not the LoggerDir it names (a system
// folder), not a file of the package's name behind a download cache that is
// a link (a day old, which the cache would replace).
TEST(DaemonProcess, ElevatedCopyWritesNothingWhereTheUserPoints) {
    namespace fs = std::filesystem;
    ElevatedInstallation setup(40);
    setup.Reinstall();
    DaemonLog log;
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring probe = std::wstring(system) + L"\\qlnprobe";
    qlntest::SetKmString(L"LoggerDir", probe + L"\\");
    const std::wstring elsewhere = setup.temp.dirWithSlash() + L"elsewhere";
    const std::wstring victim = elsewhere + L"\\" + fs::path(setup.package.Path()).filename().wstring();
    fs::create_directories(elsewhere);
    qlntest::WriteText(victim, "keep");
    fs::last_write_time(victim, fs::last_write_time(victim) - std::chrono::hours(48));
    fs::remove_all(setup.package.StagingDir());
    qlntest::DirectoryLink link(setup.package.StagingDir(), elsewhere);
    ASSERT_TRUE(link.ok());

    Daemon copy(L"--elevated-silent 1.16.KM16.2400", setup.exe);
    EXPECT_NE(copy.Wait(), -1);
    EXPECT_EQ(qlntest::ReadText(victim), "keep");
    EXPECT_FALSE(qlntest::Exists(probe));
    EXPECT_TRUE(log.Contains("LoggerDir is not used")) << log.Text();
}

// Only our own newer package is installed: another company's genuine
// signature (unless the administrators list its subject; the user's list
// does not count), another product, an older release are refused with no
// installer started. The manual install's wizard opens the workspace copy.
TEST(DaemonProcess, ElevatedCopyInstallsOnlyOurOwnNewerPackage) {
    ElevatedInstallation setup(40);
    const std::wstring other = qlntest::CertificateSubject(qlntest::Env(L"QLN_TEST_CERT_DIR") + L"\\othersign.der");
    ASSERT_FALSE(other.empty());
    const std::wstring list = other + L'\0';
    const struct {
        const wchar_t* package;
        HKEY listedBy;  // who lists the other publisher
        int exitCode;
    } rows[] = {
        {L"QLN_TEST_MSI_OTHER_SIGNER", nullptr, 105},
        {L"QLN_TEST_MSI_OTHER_SIGNER", HKEY_CURRENT_USER, 105},
        {L"QLN_TEST_MSI_OTHER_SIGNER", HKEY_LOCAL_MACHINE, 103},
        {L"QLN_TEST_MSI_OTHER_PRODUCT", nullptr, 105},
        {L"QLN_TEST_MSI_OLDER", nullptr, 105},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(qlntest::Narrow(row.package) + (row.listedBy == HKEY_LOCAL_MACHINE ? " HKLM" : row.listedBy ? " HKCU" : ""));
        setup.Reinstall();
        qlntest::StagedPackage package(qlntest::kPackageVersion, qlntest::Env(row.package));
        if (row.listedBy) {
            ASSERT_EQ(::RegSetKeyValueW(row.listedBy, L"Software\\Quillon\\KM", L"PackagePublishers", REG_MULTI_SZ,
                                        list.c_str(), static_cast<DWORD>((list.size() + 1) * sizeof(wchar_t))),
                      ERROR_SUCCESS);
        }
        const size_t installerRuns = setup.msiexec.CommandLines().size();
        DaemonLog log;
        Daemon copy(L"--elevated-silent 1.16.KM16.2400", setup.exe);
        EXPECT_EQ(copy.Wait(), row.exitCode) << log.Text();
        if (row.listedBy) ::RegDeleteKeyValueW(row.listedBy, L"Software\\Quillon\\KM", L"PackagePublishers");
        if (row.listedBy == HKEY_CURRENT_USER) {
            EXPECT_TRUE(log.Contains("PackagePublishers from the user's settings is ignored"));
        }
        if (row.exitCode == 103) continue;
        EXPECT_EQ(setup.msiexec.CommandLines().size(), installerRuns) << "an installer was started";
        EXPECT_EQ(qlntest::FirstDifference(qlntest::SnapshotTree(setup.previous), qlntest::SnapshotTree(setup.install)), "");
        EXPECT_EQ(qlntest::HistoryTail(0), L"silent|0|5|1.16.KM16.2400");
    }

    setup.Reinstall();
    DaemonLog log;
    Daemon manual(L"--elevated-manual 1.16.KM16.2400", setup.exe);
    EXPECT_EQ(manual.Wait(), 0) << log.Text();
    const auto lines = setup.msiexec.CommandLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("/i \"" + qlntest::Narrow(setup.Workspace()) + "\\"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("/l*v \"" + qlntest::Narrow(QLNAdminLogFolder::Path())), std::string::npos) << lines.back();
}

// A progress record whose version is no release (a character after the
// last digits) opens no workspace: the interrupted deployment of the release
// it resembles is kept whole. None of the record's text starts a log line.
TEST(DaemonProcess, ResumeOfARecordNamingNoReleaseTouchesNoWorkspace) {
    ElevatedInstallation setup(40);
    setup.Reinstall();
    {
        QLNUpgradeWorkspace workspace;
        ASSERT_TRUE(workspace.Open(setup.install, qlntest::kPackageVersion));
        qlntest::WriteText(workspace.Path() + L"\\replace.journal", "F bin\\QuillProc.exe\n");
        qlntest::WriteText(workspace.Path() + L"\\rollback_backup\\bin\\QuillProc.exe", "backup");
        workspace.Close();
    }
    QLNUpgradeProgress record;
    record.inProgress = true;
    record.targetVersion = L"1.16.KM16.2400!";
    record.upgradeType = L"silent\r\nINJECTED [error] line";
    record.stagingDir = setup.package.StagingDir();
    record.productDir = setup.install;
    record.SaveUpgradeProgress();
    DaemonLog log;

    Daemon resume(L"--elevated-resume", setup.exe);
    EXPECT_EQ(resume.Wait(), 105) << log.Text();
    EXPECT_EQ(qlntest::ReadText(setup.Workspace() + L"\\replace.journal"), "F bin\\QuillProc.exe\n");
    EXPECT_EQ(qlntest::ReadText(setup.Workspace() + L"\\rollback_backup\\bin\\QuillProc.exe"), "backup");
    EXPECT_TRUE(log.Contains("INJECTED")) << log.Text();
    EXPECT_FALSE(log.Contains("\nINJECTED") || log.Contains("\rINJECTED")) << log.Text();
    std::error_code error;
    std::filesystem::remove_all(setup.Workspace(), error);
}

// A deployment that failed is killed while it rolls back; the next start's
// resume cannot get the package (gone from the cache, and no server answers),
// so it finishes the rollback from the backups instead: the installation is
// the old release again, and the history says so.
TEST(DaemonProcess, ResumeThatCannotGetThePackageFinishesTheInterruptedRollback) {
    ElevatedInstallation setup(250);
    const std::wstring journal = setup.Workspace() + L"\\replace.journal";
    bool killedDuringRollback = false;
    for (int attempt = 0; attempt < 5 && !killedDuringRollback; ++attempt) {
        std::error_code error;
        std::filesystem::remove_all(setup.Workspace(), error);
        ClearUpgradeProgress();
        setup.Reinstall();
        qlntest::FileHolder stuck(L"none", {setup.install + L"\\version.txt"});
        ASSERT_TRUE(stuck.ok());
        DaemonLog log;
        Daemon copy(L"--elevated-silent 1.16.KM16.2400", setup.exe);
        while (!log.Contains("files from previously completed categories") && copy.Running()) ::Sleep(1);
        copy.Kill();
        killedDuringRollback = qlntest::ReadText(journal).find("\nB\n") != std::string::npos;
    }
    ASSERT_TRUE(killedDuringRollback) << "no run was killed during its rollback";
    std::error_code error;
    std::filesystem::remove_all(setup.package.StagingDir(), error);

    DaemonLog log;
    Daemon resume(L"--elevated-resume", setup.exe);
    EXPECT_EQ(resume.Wait(), 105) << log.Text();
    EXPECT_EQ(qlntest::FirstDifference(qlntest::SnapshotTree(setup.previous), qlntest::SnapshotTree(setup.install)), "");
    EXPECT_EQ(qlntest::HistoryTail(0), L"resume_silent|0|5|1.16.KM16.2400");
    EXPECT_FALSE(HasPendingUpgrade());
    EXPECT_FALSE(qlntest::Exists(setup.Workspace()));
}

// The elevated copy killed at random moments of its deployment, each time
// followed by the next start's resume (which may be killed in turn) until one
// run ends by itself: the installation must then be the new release.
TEST(DaemonProcess, ElevatedCopyKilledDuringDeploymentIsCompletedByResume) {
    constexpr int kKills = 20;
    constexpr int kMaxUpgrades = 35;  // room for kills that land before the first file on a busy machine
    constexpr unsigned kSeed = 20261210;
    std::printf("kill-and-resume seed: %u\n", kSeed);
    std::mt19937 random(kSeed);
    namespace fs = std::filesystem;
    using Clock = std::chrono::steady_clock;

    ElevatedInstallation setup(250);
    const std::wstring& install = setup.install;
    const std::wstring& exe = setup.exe;
    const std::wstring journal = setup.Workspace() + L"\\replace.journal";

    // The new release over the old one; the shell extension, held by Explorer
    // all along, keeps its old content under the backup name until restart.
    qlntest::TreeSnapshot expected = setup.Upgraded();
    expected[L"bin\\qlnshell64.dll.qlnupd.bak"] = qlntest::ReadText(setup.previous + L"\\bin\\QLNShell64.dll");

    long long deploymentMs = 0;  // of the first upgrade, which is not killed
    int kills = 0;
    for (int upgrade = 0; upgrade < kMaxUpgrades && kills < kKills && !::testing::Test::HasFailure(); ++upgrade) {
        setup.Reinstall();
        ASSERT_FALSE(qlntest::Exists(journal));
        qlntest::FileHolder explorer(L"rename", {install + L"\\bin\\QLNShell64.dll"});
        ASSERT_TRUE(explorer.ok());

        std::set<std::string> completed;  // categories some run of this upgrade finished
        int killsOfThisUpgrade = 0;
        for (bool resume = false;; resume = true) {
            const std::string where = "upgrade " + std::to_string(upgrade) + (resume ? " resumed" : "");
            DaemonLog log;
            qlntest::SetKmString(L"LoggerLevel", L"info");
            Daemon copy(resume ? L"--elevated-resume" : L"--elevated-silent 1.16.KM16.2400", exe);
            while (!log.Contains("Install root directory: ") && copy.Running()) ::Sleep(2);
            const auto started = Clock::now();
            bool killed = false;
            if (upgrade == 0) {
                while (!log.Contains("File replacement complete") && copy.Running()) ::Sleep(2);
                deploymentMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
            } else if (killsOfThisUpgrade < 3) {  // then one run may finish
                ++killsOfThisUpgrade;
                // A resumed run has less left to do.
                const long long limit = deploymentMs * (resume ? 5 : 9) / 10;
                ::Sleep(std::uniform_int_distribution<DWORD>(0, static_cast<DWORD>(limit))(random));
                killed = copy.Kill();
            }
            const int code = killed ? 0 : copy.Wait();
            const std::string text = log.Text();
            if (resume) {
                // The next start found the interrupted run, and does not deploy
                // again what an earlier run finished.
                EXPECT_TRUE(log.Contains("Resuming interrupted upgrade to version 1.16.KM16.2400")) << where;
                // (A run killed before it reached the categories logged neither.)
                for (const auto& category : completed) {
                    EXPECT_FALSE(log.Contains("Deploying category [" + category + "]"))
                        << where << ": " << category << " deployed again";
                }
            }
            const std::regex done(R"(Category \[(\w+)\] deploy complete)");
            for (std::sregex_iterator it(text.begin(), text.end(), done), end; it != end; ++it) completed.insert((*it)[1]);
            if (!killed) {
                // The restart note survives every kill: the journal goes only
                // once the outcome is stored.
                EXPECT_EQ(code, 104) << where << "\n" << text;
                break;
            }
            const bool interrupted = qlntest::Exists(journal);  // the outcome was not stored yet
            if (!HasPendingUpgrade()) {
                // Killed once the deployment was complete and recorded; what
                // its workspace still holds goes with the next run.
                std::error_code error;
                fs::remove_all(setup.Workspace(), error);
                break;
            }
            kills += interrupted ? 1 : 0;
            if (!interrupted) completed.clear();  // killed before its first file: the resume deploys everything
        }
        explorer.Release();
        EXPECT_EQ(qlntest::FirstDifference(expected, qlntest::SnapshotTree(install)), "") << "upgrade " << upgrade;
        EXPECT_FALSE(HasPendingUpgrade()) << "upgrade " << upgrade;
        EXPECT_FALSE(qlntest::Exists(setup.Workspace())) << "upgrade " << upgrade;
    }
    EXPECT_GE(kills, kKills);
}

}  // namespace

// The installer-driven strategies: with the stand-in msiexec for scripted
// outcomes, and with Wine's own msiexec installing a signed test package.
#include "support/FakeMsiexec.h"
#include "support/ScopedSeam.h"
#include "support/TaskDialogDriver.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/KM/Upgrade/MsiManualUpgradeStrategy.h"
#include "QLNUpgrade/KM/Upgrade/MsiSilentUpgradeStrategy.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeEngine.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

namespace {

const std::wstring kTarget = qlntest::kPackageVersion;

struct InstallerLaunch {
    std::wstring verb;
    int show = -1;
    int count = 0;
} g_launch;

BOOL RecordAndLaunch(SHELLEXECUTEINFOW* info) {
    g_launch.verb = info->lpVerb ? info->lpVerb : L"";
    g_launch.show = info->nShow;
    ++g_launch.count;
    return ::ShellExecuteExW(info);
}
BOOL DeclinePrompt(SHELLEXECUTEINFOW*) {
    ::SetLastError(ERROR_CANCELLED);
    return FALSE;
}
BOOL CannotLaunch(SHELLEXECUTEINFOW*) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

class MsiStrategies : public ::testing::Test {
protected:
    void SetUp() override {
        g_launch = {};
        qlntest::WriteFileBytes(m_staging.path() / "Quillon-test-x64.msi", "package");
        ctx.version = kTarget;
        ctx.stagingDir = m_staging.path().wstring();
        ctx.msiPath = (m_staging.path() / "Quillon-test-x64.msi").wstring();
        qlntest::SetKmString(L"MsiSilentUpgradePreNotify", L"false");
    }
    UpgradeResult Run(IUpgradeStrategy& strategy) {
        ctx.errorText.clear();
        const UpgradeResult result = strategy.Execute(ctx);
        EXPECT_FALSE(HasPendingUpgrade()) << "the progress record is cleared on every way out";
        return result;
    }
    qlntest::ScopedSeam<qln::seams::ShellExecuteExFn> m_launch{qln::seams::g_installerShellExecuteEx, &RecordAndLaunch};
    qlntest::LogCapture log;
    qlntest::TempDir m_staging;
    qlntest::FakeMsiexec msiexec;
    UpgradeContext ctx;
    MsiSilentUpgradeStrategy silent;
    MsiManualUpgradeStrategy manual;
};

TEST_F(MsiStrategies, ExitCodesMapByStrategy) {
    const struct {
        int code;
        UpgradeResult silent;
        UpgradeResult manual;
        const char* state;
    } table[] = {
        {0, UpgradeResult::Success, UpgradeResult::Success, "Succeeded"},
        {1641, UpgradeResult::SuccessNeedReboot, UpgradeResult::SuccessNeedReboot, "Succeeded"},
        {3010, UpgradeResult::SuccessNeedReboot, UpgradeResult::SuccessNeedReboot, "Succeeded"},
        {1602, UpgradeResult::StrategyFailed, UpgradeResult::Cancelled, nullptr},
        {1603, UpgradeResult::StrategyFailed, UpgradeResult::StrategyFailed, "Failed"},
    };
    for (const auto& row : table) {
        msiexec.Script({"exit=" + std::to_string(row.code)});
        const size_t statesBefore = log.Matching("Updated upgrade state to:").size();
        EXPECT_EQ(Run(silent), row.silent) << row.code;
        EXPECT_EQ(ctx.errorText, IsUpgradeSuccess(row.silent) ? L"" : L"MSI silent install failed") << row.code;
        EXPECT_EQ(Run(manual), row.manual) << row.code;
        if (row.manual == UpgradeResult::StrategyFailed) EXPECT_EQ(ctx.errorText, L"Interactive MSI upgrade failed");
        else EXPECT_TRUE(ctx.errorText.empty()) << row.code;
        const auto states = log.Matching("Updated upgrade state to:");
        ASSERT_EQ(states.size(), statesBefore + 2);
        const std::string silentState = row.state ? row.state : "Failed";
        const std::string manualState = row.state ? row.state : "Cancelled";
        EXPECT_NE(states[statesBefore].find("to: " + silentState), std::string::npos) << states[statesBefore];
        EXPECT_NE(states[statesBefore + 1].find("to: " + manualState), std::string::npos) << states[statesBefore + 1];
    }
    EXPECT_TRUE(log.Contains("Saved upgrade progress: version=1.16.KM16.2400, type=silent"));
    EXPECT_TRUE(log.Contains("Saved upgrade progress: version=1.16.KM16.2400, type=manual"));

    // The installer is given the product's parameters, its log lies next to the daemon's.
    const auto lines = msiexec.CommandLines();
    ASSERT_EQ(lines.size(), 10u);
    const std::string logPath = qln::WideToUtf8(log.Dir() + KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.msi.log");
    const std::string msi = qln::WideToUtf8(ctx.msiPath);
    EXPECT_NE(lines[0].find("/i \"" + msi + "\" /qn /norestart /l*v \"" + logPath + "\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("/i \"" + msi + "\" /l*v \"" + logPath + "\""), std::string::npos) << lines[1];
    EXPECT_EQ(g_launch.verb, L"") << "an elevated daemon starts the installer without runas";
}

TEST_F(MsiStrategies, LaunchOutcomesAndTheElevationVerb) {
    qlntest::ScopedSeam notAdmin(qln::seams::g_isRunningAsAdmin, [] { return false; });
    EXPECT_EQ(Run(silent), UpgradeResult::Success);
    EXPECT_EQ(g_launch.verb, L"runas");
    EXPECT_EQ(g_launch.show, SW_HIDE);
    EXPECT_EQ(Run(manual), UpgradeResult::Success);
    EXPECT_EQ(g_launch.show, SW_SHOWNORMAL);

    qlntest::ScopedSeam declined(qln::seams::g_installerShellExecuteEx, &DeclinePrompt);
    for (IUpgradeStrategy* strategy : {static_cast<IUpgradeStrategy*>(&silent), static_cast<IUpgradeStrategy*>(&manual)}) {
        EXPECT_EQ(Run(*strategy), UpgradeResult::Cancelled);
        EXPECT_EQ(ctx.errorText, L"User declined UAC elevation");
    }
    EXPECT_EQ(log.Matching("Updated upgrade state to: Cancelled").size(), 2u);

    qlntest::ScopedSeam cannotLaunch(qln::seams::g_installerShellExecuteEx, &CannotLaunch);
    EXPECT_EQ(Run(silent), UpgradeResult::StrategyFailed);
    EXPECT_EQ(ctx.errorText, L"Failed to launch msiexec for silent MSI install");
    EXPECT_EQ(Run(manual), UpgradeResult::StrategyFailed);
    EXPECT_EQ(ctx.errorText, L"Failed to launch msiexec for interactive installation");
    EXPECT_EQ(log.Matching("ShellExecuteEx failed, error: 5").size(), 2u);
}

TEST_F(MsiStrategies, SilentInstallerThatHangsIsTerminated) {
    qlntest::ScopedSeam timeout(qln::seams::g_silentMsiTimeoutMs, 700u);
    msiexec.Script({"hang=1"});
    EXPECT_EQ(Run(silent), UpgradeResult::StrategyFailed);
    EXPECT_EQ(ctx.errorText, L"MSI silent install timed out");
    EXPECT_TRUE(log.Contains("MSI silent install timed out after 700 ms, terminating"));
    EXPECT_TRUE(log.Contains("Updated upgrade state to: Failed"));
    EXPECT_FALSE(KMWinOSUtils::IsProcessRunning(L"qln_fake_msiexec.exe")) << "the hung installer is ended";
}

TEST_F(MsiStrategies, ConfirmationDialogDecidesBeforeAnythingIsRecorded) {
    qlntest::SetKmString(L"MsiSilentUpgradePreNotify", L"true");
    QLNVersionInfo cached;
    cached.rawText = kTarget + L"\ninfo\nhttps://example.test/notes\nfalse";
    QLNVersionChecker::SaveToRegistry(cached);

    auto answer = [&](int button, size_t expectedButtons) {
        auto run = std::async(std::launch::async, [&] { return Run(silent); });
        const auto dialog = qlntest::WaitForTaskDialog();
        EXPECT_NE(dialog.window, nullptr);
        EXPECT_EQ(dialog.buttons.size(), expectedButtons);
        EXPECT_TRUE(qlntest::ClickTaskDialogButton(dialog, button));
        return run.get();
    };
    EXPECT_EQ(answer(IDCANCEL, 3), UpgradeResult::Cancelled);
    EXPECT_EQ(ctx.errorText, L"User cancelled the upgrade");
    EXPECT_TRUE(log.Contains("User cancelled MSI install confirmation (button=2)"));

    EXPECT_EQ(answer(IDIGNORE, 3), UpgradeResult::Cancelled);
    EXPECT_EQ(ctx.errorText, L"User ignored this version");
    EXPECT_EQ(qlntest::ReadHkcuDword(L"Software\\Quillon\\VersionCheck", L"NewVersionIgnore"), 1u);
    EXPECT_TRUE(msiexec.CommandLines().empty());
    EXPECT_FALSE(log.Contains("Saved upgrade progress")) << "a declined run leaves the progress store alone";

    cached.rawText = kTarget + L"\ninfo\nhttps://example.test/notes\ntrue";
    QLNVersionChecker::SaveToRegistry(cached);
    EXPECT_EQ(answer(IDNO, 2), UpgradeResult::Cancelled) << "a forced release cannot be ignored";
    EXPECT_TRUE(log.Contains("User cancelled MSI install confirmation (button=7)"));
    cached.rawText = kTarget + L"\ninfo\nhttps://example.test/notes\nfalse";
    QLNVersionChecker::SaveToRegistry(cached);

    ctx.version = L"1.16.KM16.2401";
    EXPECT_EQ(answer(IDYES, 2), UpgradeResult::Success) << "another version than the cached one cannot be ignored";
    EXPECT_TRUE(log.Contains("User confirmed MSI install, proceeding"));
    EXPECT_EQ(msiexec.CommandLines().size(), 1u);
}

// Wine's own Windows Installer installs the signed test package through the
// whole silent pipeline: verification, the held package, the silent strategy.
TEST(MsiInstall, SilentPipelineInstallsTheSignedPackage) {
    qlntest::LogCapture log;
    qlntest::StagedPackage package;
    qlntest::SetKmString(L"SilentUpgradeByReplace", L"false");
    qlntest::SetKmString(L"MsiSilentUpgradePreNotify", L"false");
    // Installed for this test only: later ones check packages against what
    // Windows Installer has registered.
    auto uninstall = qln::ScopeExit([] { qlntest::WineMsiexec(L"/x \"" + qlntest::Env(L"QLN_TEST_MSI_SIGNED") + L"\" /qn"); });
    QLNUpgradeEngine engine;
    EXPECT_EQ(engine.UpgradeSilently(kTarget), UpgradeResult::Success) << qln::WideToUtf8(engine.LastError());
    EXPECT_TRUE(log.Contains("MSI silent install completed successfully"));

    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_NE(::ExpandEnvironmentStringsW(L"%ProgramW6432%", programFiles, MAX_PATH), 0u);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(programFiles) / "Quillon" / "bin" / "QuillProc.exe"));
    const auto msiLog = std::filesystem::path(log.Dir()) / (KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.msi.log");
    EXPECT_TRUE(std::filesystem::exists(msiLog)) << "the installer writes its log next to the daemon's";
    EXPECT_EQ(qlntest::HistoryTail(0), L"silent|1|0|1.16.KM16.2400");
}

}  // namespace

namespace {

// With no log file open the installer's log goes to the default folder, not
// to a LoggerDir whose quote would end its argument and add one of its own.
TEST(MsiInstallerLog, ALoggerDirWithAQuoteAddsNothingToTheInstallersCommandLine) {
    qlntest::SetKmString(L"LoggerDir", L"C:\\x\" TRANSFORMS=\"C:\\t.mst\" X=\"");
    qlntest::SetKmString(L"MsiSilentUpgradePreNotify", L"false");
    qlntest::FakeMsiexec msiexec;
    qlntest::TempDir staging;
    UpgradeContext ctx{kTarget, staging.path().wstring(), (staging.path() / "Q.msi").wstring()};
    MsiSilentUpgradeStrategy silent;
    EXPECT_EQ(silent.Execute(ctx), UpgradeResult::Success);
    ASSERT_EQ(msiexec.CommandLines().size(), 1u);
    const std::string line = msiexec.CommandLines()[0];
    EXPECT_EQ(line.find("TRANSFORMS"), std::string::npos) << line;
    EXPECT_NE(line.find("/l*v \"" + qln::WideToUtf8(KMLoggerHelper::DefaultLogDir())), std::string::npos) << line;
    qlntest::ClearProductRegistry();
}

// Without an open log file a safe LoggerDir still takes the installer's log;
// an elevated copy's installer never logs below the user's folders.
TEST(MsiInstallerLog, GoesToLoggerDirOrForAnElevatedCopyToTheAdministratorsFolder) {
    qlntest::TempDir logs;
    qlntest::SetKmString(L"LoggerDir", logs.dirWithSlash());
    qlntest::SetKmString(L"MsiSilentUpgradePreNotify", L"false");
    qlntest::FakeMsiexec msiexec;
    qlntest::TempDir staging;
    UpgradeContext ctx{kTarget, staging.path().wstring(), (staging.path() / "Q.msi").wstring()};
    MsiSilentUpgradeStrategy silent;
    for (const bool elevatedCopy : {false, true}) {
        ctx.elevatedCopy = elevatedCopy;
        EXPECT_EQ(silent.Execute(ctx), UpgradeResult::Success);
    }
    const std::wstring day = KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.msi.log\"";
    ASSERT_EQ(msiexec.CommandLines().size(), 2u);
    EXPECT_NE(msiexec.CommandLines()[0].find(qln::WideToUtf8(L"/l*v \"" + logs.dirWithSlash() + day)), std::string::npos);
    EXPECT_NE(msiexec.CommandLines()[1].find(qln::WideToUtf8(L"/l*v \"" + QLNAdminLogFolder::Path() + day)), std::string::npos)
        << msiexec.CommandLines()[1];
    qlntest::ClearProductRegistry();
}

}  // namespace

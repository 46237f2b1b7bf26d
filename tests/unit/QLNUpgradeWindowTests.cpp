// The hidden window's procedure driven with real messages in this process.
#include "support/ScopedSeam.h"
#include "support/TaskDialogDriver.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"

#include "QLNUpgrade/QLNUpgradeApp.h"
#include "QLNUpgrade/QLNUpgradeHelper.h"
#include "QLNUpgrade/QLNUpgradeWindow.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

class UpgradeWindow : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = WndProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QLNUpgradeWindowTest";
        ::RegisterClassExW(&wc);
        m_hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"test", WS_CAPTION, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(m_hwnd, nullptr);
        g_keepRunning = 1;
        g_upgradeInProgress = false;
    }
    void TearDown() override {
        if (::IsWindow(m_hwnd)) ::DestroyWindow(m_hwnd);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        g_upgradeInProgress = false;
    }
    LRESULT CopyData(ULONG_PTR tag, const void* data, DWORD cb) {
        COPYDATASTRUCT cds{tag, cb, const_cast<void*>(data)};
        return ::SendMessageW(m_hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
    }
    bool QuitPosted() {
        MSG msg;
        return ::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    }
    HWND m_hwnd = nullptr;
};

TEST(CopyDataVersion, IsCutTrimmedAndHalvedToUnits) {
    auto read = [](const std::wstring& text, DWORD cb) {
        COPYDATASTRUCT cds{kCopyDataTagAutomatic, cb, const_cast<wchar_t*>(text.data())};
        return ReadCopyDataVersion(cds);
    };
    const std::wstring padded = L"  2.0.1  ";
    EXPECT_EQ(read(padded, 18), L"2.0.1");
    EXPECT_EQ(read(std::wstring(L"2.0.1\0garbage", 13), 26), L"2.0.1");
    EXPECT_EQ(read(L"12", 3), L"1") << "an odd last byte is dropped";
    EXPECT_EQ(read(L"\t\r\n1.16.KM16.2382\x3000", 36), L"1.16.KM16.2382") << "iswspace decides what is white space";
    EXPECT_EQ(read(L"   ", 6), L"");
}

TEST_F(UpgradeWindow, QuitTypeMessagesEndTheLoopAndPostQuit) {
    for (UINT message : {WM_CLOSE, WM_DESTROY, WM_ENDSESSION}) {
        g_keepRunning = 1;
        EXPECT_EQ(::SendMessageW(m_hwnd, message, 0, 0), 1) << message;
        EXPECT_EQ(g_keepRunning, 0) << message;
        EXPECT_TRUE(QuitPosted()) << message;
    }
    EXPECT_TRUE(::IsWindow(m_hwnd)) << "WM_CLOSE must not destroy the window";

    g_keepRunning = 1;
    EXPECT_EQ(::SendMessageW(m_hwnd, WM_QUIT, 0, 0), 1);
    EXPECT_EQ(g_keepRunning, 0);
    EXPECT_FALSE(QuitPosted()) << "WM_QUIT itself posts nothing";
}

TEST_F(UpgradeWindow, QueryEndSessionAllowsEndWithoutPostingQuit) {
    qlntest::LogCapture log;
    EXPECT_EQ(::SendMessageW(m_hwnd, WM_QUERYENDSESSION, 0, 0), 1);
    EXPECT_EQ(g_keepRunning, 0);
    EXPECT_FALSE(QuitPosted());
    EXPECT_TRUE(log.Contains("WM_QUERYENDSESSION received"));
}

TEST_F(UpgradeWindow, OwnQuitMessageDestroysTheWindow) {
    qlntest::LogCapture log;
    EXPECT_EQ(::SendMessageW(m_hwnd, QLNUpgradeMsg::WM_Quit, 0, 0), 0);
    EXPECT_FALSE(::IsWindow(m_hwnd));
    EXPECT_EQ(g_keepRunning, 0);
    EXPECT_TRUE(QuitPosted());
    EXPECT_TRUE(log.Contains("Quit requested via QLNUpgradeMsg::WM_Quit"));
    EXPECT_TRUE(log.Contains("WM_CLOSE/DESTROY/ENDSESSION/QUIT received"));
}

TEST_F(UpgradeWindow, CopyDataPayloadRules) {
    qlntest::LogCapture log;
    const std::wstring v = L"  2.1.KM1.1  ";
    EXPECT_EQ(CopyData(kCopyDataTagManual, v.data(), static_cast<DWORD>(v.size() * 2)), 1);
    EXPECT_TRUE(log.Contains("External upgrade requested (manual=true, version=2.1.KM1.1)"));
    EXPECT_TRUE(log.Contains("Refreshing local KM config for upgrade (external upgrade request (specified version))"));
    // That request started a worker, whose download fails. It is waited for
    // and its message answered: the process must not end under it.
    std::vector<std::wstring> shown;
    const ULONGLONG end = ::GetTickCount64() + 120000;
    while (g_upgradeInProgress.load() && ::GetTickCount64() < end) {
        const qlntest::TaskDialogView dialog = qlntest::WaitForTaskDialog(200);
        if (!dialog.window) continue;
        shown.push_back(dialog.statics.empty() ? L"" : dialog.statics[0]);
        EXPECT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDOK));
    }
    EXPECT_FALSE(g_upgradeInProgress.load()) << "the worker releases its claim";
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind(L"The installer package verification failed: ", 0), 0u) << shown[0];

    EXPECT_EQ(CopyData(kCopyDataTagAutomatic, v.data(), 1), 0);
    EXPECT_EQ(CopyData(kCopyDataTagAutomatic, nullptr, 10), 0);
    EXPECT_EQ(log.Matching("External upgrade requested").size(), 1u) << "empty payloads are ignored silently";

    const std::wstring bad = L"2.0.1";
    EXPECT_EQ(CopyData(kCopyDataTagAutomatic, bad.data(), static_cast<DWORD>(bad.size() * 2)), 0);
    EXPECT_TRUE(log.Contains("External upgrade requested (manual=false, version=2.0.1)"));
    EXPECT_TRUE(log.Contains("Invalid target version '2.0.1', ignoring upgrade request"));

    EXPECT_EQ(CopyData(0x514C4E02, v.data(), static_cast<DWORD>(v.size() * 2)), 0) << "foreign tag: default processing";
    EXPECT_EQ(log.Matching("External upgrade requested").size(), 2u);
}

TEST_F(UpgradeWindow, RequestsWhileAnUpgradeRunsAreAnsweredWithoutStartingAnother) {
    qlntest::LogCapture log;
    g_upgradeInProgress = true;
    const std::wstring v = L"1.16.KM16.2382";
    EXPECT_EQ(CopyData(kCopyDataTagAutomatic, v.data(), static_cast<DWORD>(v.size() * 2)), 1);
    EXPECT_EQ(::SendMessageW(m_hwnd, QLNUpgradeMsg::WM_UpgradeRequest, 1, 0), 0);
    EXPECT_EQ(log.Matching("Upgrade already in progress, notifying user instead of launching another").size(), 2u);
    EXPECT_TRUE(log.Contains("External upgrade requested (manual=true)"));
    EXPECT_FALSE(log.Contains("not started")) << "no worker may be asked for";
    EXPECT_TRUE(g_upgradeInProgress.load()) << "the window only reads the flag";
    // Each request is answered by a dialog of its own prompt thread. They are
    // answered here: the process must not end with them still being created.
    for (int shown = 0; shown < 2; ++shown) {
        const qlntest::TaskDialogView dialog = qlntest::WaitForTaskDialog();
        ASSERT_NE(dialog.window, nullptr) << "dialog " << shown;
        ASSERT_FALSE(dialog.statics.empty());
        EXPECT_EQ(dialog.statics[0], L"An upgrade is already in progress");
        EXPECT_TRUE(qlntest::ClickTaskDialogButton(dialog, IDOK));
    }
    EXPECT_EQ(log.Matching("Showing upgrade-already-in-progress dialog").size(), 2u);
}

TEST_F(UpgradeWindow, OversizedOrMultiLineRequestsAreBoundedInCopyAndLog) {
    qlntest::LogCapture log;
    const std::wstring huge(8u << 20, L'7');  // 16 MiB without a NUL
    EXPECT_EQ(CopyData(kCopyDataTagAutomatic, huge.data(), static_cast<DWORD>(huge.size() * 2)), 0);
    EXPECT_TRUE(log.Contains("Upgrade request of 16777216 bytes is too long for a version, ignoring it"));
    EXPECT_FALSE(log.Contains("External upgrade requested"));

    std::wstring padded = L"1.16.KM16.2400";
    padded.resize(4096, L'\0');  // a large buffer whose text ends early is fine
    EXPECT_EQ(ReadCopyDataVersion(COPYDATASTRUCT{kCopyDataTagAutomatic, 8192, padded.data()}), L"1.16.KM16.2400");

    const std::wstring forged = L"2.0.1\r\n[2026-01-01 00:00:00.000] [info] forged";
    EXPECT_EQ(CopyData(kCopyDataTagAutomatic, forged.data(), static_cast<DWORD>(forged.size() * 2)), 0);
    EXPECT_TRUE(log.Contains("version=2.0.1??[2026-01-01 00:00:00.000] [info] forged)"));
    for (const auto& line : log.Lines()) EXPECT_NE(line.rfind("[2026-01-01", 0), 0u) << "a request must not start a log line";
    EXPECT_LT(log.Lines().size(), 10u);
}

TEST_F(UpgradeWindow, ValidNewerCachedVersionStartsTheWorker) {
    qlntest::LogCapture log;
    qlntest::StagedPackage package;
    qlntest::ScriptedStrategies strategies({{UpgradeResult::Success, L"", nullptr}});
    QLNVersionInfo cached;
    cached.rawText = std::wstring(qlntest::kPackageVersion) + L"\ninfo\nhttps://example.test/notes\nfalse";
    QLNVersionChecker::SaveToRegistry(cached);
    EXPECT_EQ(::SendMessageW(m_hwnd, QLNUpgradeMsg::WM_UpgradeRequest, 1, 0), 0);
    EXPECT_TRUE(log.Contains("Starting manual upgrade worker for version 1.16.KM16.2400"));
    const ULONGLONG end = ::GetTickCount64() + 60000;
    while (g_upgradeInProgress.load() && ::GetTickCount64() < end) ::Sleep(20);
    EXPECT_FALSE(g_upgradeInProgress.load()) << "the worker releases its claim";
    EXPECT_EQ(strategies.ChainTypes(), std::vector<UpgradeType>{UpgradeType::Manual});
    EXPECT_TRUE(log.Contains("Upgrade completed successfully (type=manual)"));
}

TEST_F(UpgradeWindow, TimerTwoArmsTheHourlyTimerAndRunsTheFirstCheck) {
    qlntest::LogCapture log;
    ASSERT_NE(::SetTimer(m_hwnd, kTimerFirstCheck, 600000, nullptr), 0u);
    EXPECT_EQ(::SendMessageW(m_hwnd, WM_TIMER, kTimerFirstCheck, 0), 0);
    EXPECT_FALSE(::KillTimer(m_hwnd, kTimerFirstCheck)) << "timer 2 is one-shot";
    EXPECT_TRUE(::KillTimer(m_hwnd, kTimerPeriodicCheck)) << "timer 1 must be armed";
    EXPECT_TRUE(log.Contains("Refreshing local KM config for upgrade (startup update check)"));
    EXPECT_TRUE(log.Contains("Startup delay elapsed, performing first update check"));

    ASSERT_NE(::SetTimer(m_hwnd, kTimerStartupCleanup, 600000, nullptr), 0u);
    EXPECT_EQ(::SendMessageW(m_hwnd, WM_TIMER, kTimerStartupCleanup, 0), 0);
    EXPECT_FALSE(::KillTimer(m_hwnd, kTimerStartupCleanup)) << "timer 3 is one-shot";
    EXPECT_TRUE(log.Contains("Running startup cleanup of old backup files"));

    EXPECT_EQ(::SendMessageW(m_hwnd, WM_TIMER, kTimerPeriodicCheck, 0), 0);
    EXPECT_TRUE(log.Contains("Periodic update check triggered"));
    EXPECT_TRUE(log.Contains("Refreshing local KM config for upgrade (periodic update check)"));
}

TEST_F(UpgradeWindow, UnhandledMessagesGoToDefaultProcessing) {
    qlntest::LogCapture log;
    ::SendMessageW(m_hwnd, WM_USER + 5, 0, 0);
    EXPECT_TRUE(log.Contains(fmt::format("Unhandled message: {}", WM_USER + 5)));
}

TEST(CommandLine, FirstMatchingSwitchWinsAndCaseIsIgnored) {
    auto parse = [](std::vector<const wchar_t*> args) { return ParseCommandLineArgs(static_cast<int>(args.size()), args.data()); };
    EXPECT_EQ(parse({L"x.exe"}).elevated, std::nullopt);
    EXPECT_EQ(parse({L"x.exe", L"--ELEVATED-RESUME"}).elevated, UpgradeType::Resume);
    auto silent = parse({L"x.exe", L"foo", L"--elevated-silent", L"1.2.3"});
    EXPECT_EQ(silent.elevated, UpgradeType::Silent);
    EXPECT_EQ(silent.version, L"1.2.3");
    EXPECT_EQ(parse({L"x.exe", L"--elevated-silent"}).elevated, std::nullopt);
    EXPECT_EQ(parse({L"x.exe", L"--elevated-resume", L"--elevated-silent", L"1.2.3"}).elevated, UpgradeType::Resume);
    EXPECT_EQ(parse({L"x.exe", L"--elevated-silent", L"--elevated-resume"}).version, L"--elevated-resume")
        << "the argument after the switch is the version, unchecked";
    EXPECT_EQ(parse({L"--elevated-resume"}).elevated, std::nullopt) << "the program name is not scanned";
}

// The two tokens of a daemon that a setup program started with
// administrator rights: its own, and that of the user's shell.
std::optional<bool> g_shellElevated;
std::vector<std::wstring> g_startedAsShell;
bool g_startsAsShell = true;

TEST(HandOver, ADaemonWithRightsTheShellLacksRestartsOnceWithTheShellsToken) {
    qlntest::ScopedSeam admin(qln::seams::g_isRunningAsAdmin, [] { return true; });
    qlntest::ScopedSeam shellElevated(qln::seams::g_isShellElevated, [] { return g_shellElevated; });
    qlntest::ScopedSeam runAsShell(qln::seams::g_runAsShell, [](const std::wstring&, const std::wstring& commandLine) {
        g_startedAsShell.push_back(commandLine);
        return g_startsAsShell;
    });
    auto handOver = [](std::vector<const wchar_t*> args) {
        return HandOverToShell(ParseCommandLineArgs(static_cast<int>(args.size()), args.data()));
    };
    g_shellElevated = false;
    EXPECT_EQ(handOver({L"x.exe"}), HandOver::Started);
    ASSERT_EQ(g_startedAsShell.size(), 1u);
    EXPECT_EQ(g_startedAsShell[0], L"\"" + GetModuleFileNameWhole() + L"\" --handed-over");
    EXPECT_EQ(handOver({L"x.exe", L"--handed-over"}), HandOver::NotNeeded) << "one try only";
    EXPECT_EQ(handOver({L"x.exe", L"--elevated-resume"}), HandOver::NotNeeded) << "the elevated copy keeps its rights";
    EXPECT_TRUE(RunProgram(L"C:\\nowhere\\QLNCache.exe")) << "the status cache gets the shell's rights";
    ASSERT_EQ(g_startedAsShell.size(), 2u);
    EXPECT_EQ(g_startedAsShell[1], L"\"C:\\nowhere\\QLNCache.exe\"");
    g_startsAsShell = false;
    EXPECT_EQ(handOver({L"x.exe"}), HandOver::Failed);
    for (const std::optional<bool> shell : {std::optional<bool>(true), std::optional<bool>()}) {
        g_shellElevated = shell;
        EXPECT_EQ(handOver({L"x.exe"}), HandOver::NotNeeded) << "no boundary: the shell is elevated too, or none is found";
    }
    EXPECT_EQ(g_startedAsShell.size(), 3u);
}

TEST(MutexName, IsBaseNameAndLogonSessionSuffix) {
    const std::wstring suffix = GetLogonSessionSuffix();
    EXPECT_EQ(GetLogonSessionSuffix(), suffix);
    if (suffix.empty()) {
        EXPECT_EQ(GetUpgradeMutexName(), L"QLNUpgradeMutex");
    } else {
        ASSERT_EQ(suffix.size(), 17u);
        EXPECT_EQ(suffix[0], L'-');
        EXPECT_EQ(suffix.find_first_not_of(L"0123456789abcdef", 1), std::wstring::npos);
        EXPECT_EQ(GetUpgradeMutexName(), L"QLNUpgradeMutex" + suffix);
    }
}

}  // namespace

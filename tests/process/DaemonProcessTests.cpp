// The daemon as a process: single instance, quitting on request, external
// requests through the window, command-line dispatch, the crash-report hook
// and an exit while threads still log.
#include "support/DaemonProcess.h"
#include "support/Fuzz.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/QLNUpgradeWindow.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using qlntest::Daemon;
using qlntest::DaemonLog;
using qlntest::kProcessWaitMs;

int Send(const std::wstring& args) {
    return qlntest::RunProcess(L"\"" + qlntest::BinDir() + L"qln_send_request.exe\" " + args, kProcessWaitMs);
}

bool WaitForWindow() {
    return Send(L"wait 30000") == 0;
}

// WM_CLOSE is answered with 1 and ends the daemon with exit code 0.
void CloseAndExpectCleanExit(Daemon& daemon) {
    EXPECT_EQ(Send(L"close"), 1);
    EXPECT_EQ(daemon.Wait(), 0);
}

TEST(DaemonProcess, SecondDaemonInSameSessionExitsWithZero) {
    DaemonLog log;
    Daemon first;
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(WaitForWindow());

    Daemon second;
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_TRUE(first.Running()) << "the first daemon must keep running";
    EXPECT_TRUE(log.Contains("[warning]"));
    EXPECT_EQ(log.Count("Another instance is already running, exiting."), 1u);

    CloseAndExpectCleanExit(first);
}

TEST(DaemonProcess, QuitsOnCloseAndLogsExiting) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    CloseAndExpectCleanExit(daemon);
    EXPECT_TRUE(log.Contains("QLNUpgrade starting..."));
    EXPECT_TRUE(log.Contains("Entering message loop (daemon mode)"));
    EXPECT_TRUE(log.Contains("WM_CLOSE/DESTROY/ENDSESSION/QUIT received"));
    EXPECT_TRUE(log.Contains("Exiting."));
    // The mutex is released with the process: a new daemon can start.
    Daemon next;
    ASSERT_TRUE(WaitForWindow());
    CloseAndExpectCleanExit(next);
}

// Lower-case file names of the modules loaded in a process.
std::set<std::wstring> LoadedModules(DWORD processId) {
    std::set<std::wstring> names;
    qln::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && ::Module32FirstW(snapshot.get(), &entry); more;
         more = ::Module32NextW(snapshot.get(), &entry)) {
        std::wstring name = entry.szModule;
        std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towlower(c); });
        names.insert(name);
    }
    return names;
}

TEST(DaemonProcess, WaitingDaemonHasNotLoadedTheNetworkTrustOrRestartLibraries) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    const std::set<std::wstring> modules = LoadedModules(daemon.Id());
    ASSERT_EQ(modules.count(L"user32.dll"), 1u) << "the daemon's modules could not be listed";
    for (const wchar_t* unwanted : {L"winhttp.dll", L"wintrust.dll", L"crypt32.dll", L"rstrtmgr.dll", L"msi.dll"}) {
        EXPECT_EQ(modules.count(unwanted), 0u) << qln::WideToUtf8(unwanted) << " is loaded at start-up";
    }
    CloseAndExpectCleanExit(daemon);
}

TEST(DaemonProcess, QuitsOnOwnQuitMessageThroughDestroy) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    EXPECT_EQ(Send(L"quit"), 0);
    EXPECT_EQ(daemon.Wait(), 0);
    EXPECT_TRUE(log.Contains("Quit requested via QLNUpgradeMsg::WM_Quit"));
    // DestroyWindow delivers WM_DESTROY, the quit-type line follows.
    EXPECT_TRUE(log.Contains("WM_CLOSE/DESTROY/ENDSESSION/QUIT received"));
    EXPECT_TRUE(log.Contains("Exiting."));
}

TEST(DaemonProcess, EndSessionEndsTheDaemonWhateverItsWParam) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    EXPECT_EQ(Send(L"message 0x16 0"), 1);  // WM_ENDSESSION, session end cancelled
    EXPECT_EQ(daemon.Wait(), 0);
    EXPECT_TRUE(log.Contains("Exiting."));
}

TEST(DaemonProcess, MalformedCopyDataVersionIsRefused) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    EXPECT_EQ(Send(L"copydata 0x514C4E00 1.16.km16.2381"), 0);
    EXPECT_TRUE(log.Contains("Invalid target version '1.16.km16.2381', ignoring upgrade request"));
    // A well-formed version is accepted (the answer is 1).
    EXPECT_EQ(Send(L"copydata 0x514C4E01 \"  2.1.KM1.1  \""), 1);
    EXPECT_TRUE(log.Contains("External upgrade requested (manual=true, version=2.1.KM1.1)"));
    // A foreign tag is left to default processing (0) and not logged as a request.
    EXPECT_EQ(Send(L"copydata 0x12345678 1.16.KM16.2382"), 0);
    EXPECT_FALSE(log.Contains("version=1.16.KM16.2382"));
    EXPECT_TRUE(daemon.Running());
    CloseAndExpectCleanExit(daemon);
}

TEST(DaemonProcess, UpgradeRequestWithoutCachedVersionIsIgnored) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    EXPECT_EQ(Send(L"upgrade 2"), 0);
    EXPECT_TRUE(log.Contains("External upgrade requested (manual=false)"));
    EXPECT_TRUE(log.Contains("No valid newer version in registry cache, ignoring upgrade request"));
    CloseAndExpectCleanExit(daemon);
}

struct SwitchCase {
    const char* name;
    const wchar_t* args;
    const char* expectedLine;
    int exitCode;  // of the one action: 0 nothing to resume, 7 invalid version, 105 no package
    const wchar_t* history = nullptr;  // the history line it leaves, from its mode on
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineDispatch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(CommandLineDispatch, ElevatedSwitchRunsOneActionWithoutWindow) {
    DaemonLog log;
    Daemon daemon(GetParam().args);
    const int code = daemon.Wait();
    EXPECT_NE(code, -1) << "an elevated copy must end by itself";
    EXPECT_EQ(code, GetParam().exitCode);
    EXPECT_TRUE(log.Contains(GetParam().expectedLine)) << log.Text();
    EXPECT_FALSE(log.Contains("Entering message loop")) << "an elevated copy never creates the window";
    if (GetParam().history) {
        EXPECT_EQ(qlntest::HistoryTail(0), GetParam().history);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineDispatch,
    ::testing::Values(SwitchCase{"UpperCaseResume", L"--ELEVATED-RESUME", "Elevated resume upgrade mode", 0},
                      SwitchCase{"SilentAfterOtherArgument", L"foo --elevated-silent 1.2.3", "Elevated silent upgrade mode, version: 1.2.3", 7},
                      SwitchCase{"FirstMatchWins", L"--elevated-resume --elevated-silent 1.2.3", "Elevated resume upgrade mode", 0},
                      SwitchCase{"MixedCaseSilentWithQuotedVersion", L"--Elevated-Silent \"2.1.KM1.1\" --elevated-resume", "Elevated silent upgrade mode, version: 2.1.KM1.1", 6},
                      // The history keeps its five fields whatever the version text holds.
                      SwitchCase{"VersionWithFieldSeparators", L"--elevated-silent \"x|1|0|y\"", "Invalid version format: x|1|0|y", 7, L"silent|0|7|x?1?0?y"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DaemonProcess, SilentSwitchWithoutVersionStartsTheDaemon) {
    DaemonLog log;
    Daemon daemon(L"--elevated-silent");
    ASSERT_TRUE(WaitForWindow());
    EXPECT_TRUE(log.Contains("Entering message loop (daemon mode)"));
    EXPECT_FALSE(log.Contains("Elevated"));
    CloseAndExpectCleanExit(daemon);
}

TEST(DaemonProcess, ElevatedCopyIgnoresTheDaemonsMutex) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    Daemon elevated(L"--elevated-resume");
    EXPECT_NE(elevated.Wait(), -1);
    EXPECT_EQ(log.Count("Another instance is already running"), 0u);
    EXPECT_TRUE(log.Contains("Elevated resume upgrade mode"));
    EXPECT_TRUE(daemon.Running());
    CloseAndExpectCleanExit(daemon);
}

// Copies the daemon beside the stand-in crash-report component. (An
// elevated copy loads it only from the registered installation.)
TEST(DaemonProcess, CrashReportHookPassesRecordsAndWaitsUntilReady) {
    DaemonLog log;
    qlntest::TempDir dir;
    std::filesystem::copy_file(qlntest::BinDir() + L"QLNUpgrade.exe", dir.path() / L"QLNUpgrade.exe");
    std::filesystem::copy_file(qlntest::BinDir() + L"crash\\crshhndl.dll", dir.path() / L"crshhndl.dll");
    const auto out = dir.path() / L"crash.txt";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"QLN_TEST_CRASH_OUT", out.wstring().c_str()));

    Daemon daemon(L"", (dir.path() / L"QLNUpgrade.exe").wstring());
    ASSERT_TRUE(WaitForWindow());
    CloseAndExpectCleanExit(daemon);
    ::SetEnvironmentVariableW(L"QLN_TEST_CRASH_OUT", nullptr);

    const std::string text = qlntest::ReadFileBytes(out);
    // Application record: size 64, zero, four pointers (not comparable), version 1.16.40016.2381, hotfix and padding zero.
    const auto appPos = text.find("app=");
    ASSERT_NE(appPos, std::string::npos) << text;
    const std::string app = text.substr(appPos + 4, 128);
    EXPECT_EQ(app.substr(0, 16), "4000000000000000");
    EXPECT_EQ(app.substr(80, 16), "01001000509c4d09");
    EXPECT_EQ(app.substr(96, 32), std::string(32, '0'));
    EXPECT_NE(text.find("settings=38000000000000000000000001000000" + std::string(80, '0') + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("prefix=qln\n"), std::string::npos);
    EXPECT_NE(text.find("name=QLNUpgrade x64\n"), std::string::npos);
    EXPECT_NE(text.find("company=Quillon\n"), std::string::npos);
    EXPECT_NE(text.find("flag=1\n"), std::string::npos);
    const auto idPos = text.find("appId=");
    ASSERT_NE(idPos, std::string::npos);
    const std::string id = text.substr(idPos + 6, text.find('\n', idPos) - idPos - 6);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos);
    // Asked again after "not ready" until it answers ready (third call).
    EXPECT_NE(text.find("ready_call=3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ready_call=4"), std::string::npos);
}

TEST(DaemonProcess, StartsWithoutCrashReportComponent) {
    DaemonLog log;
    qlntest::TempDir dir;
    std::filesystem::copy_file(qlntest::BinDir() + L"QLNUpgrade.exe", dir.path() / L"QLNUpgrade.exe");
    Daemon daemon(L"", (dir.path() / L"QLNUpgrade.exe").wstring());
    ASSERT_TRUE(WaitForWindow());
    CloseAndExpectCleanExit(daemon);
}

// A normal start registers the daemon's own path for log-on; the elevated
// one-shot modes leave the auto-start value alone.
TEST(DaemonProcess, OnlyANormalStartRegistersForAutoStart) {
    constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const auto runValue = [&] { return qlntest::HkcuString(kRunKey, L"QLNUpgrade").value_or(L"<missing>"); };
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"QLNUpgrade");
    DaemonLog log;
    qlntest::TempDir dir;
    const std::filesystem::path exe = dir.path() / L"QLNUpgrade.exe";
    std::filesystem::copy_file(qlntest::BinDir() + L"QLNUpgrade.exe", exe);

    for (const wchar_t* args : {L"--elevated-resume", L"--elevated-silent 1.16.KM16.2400"}) {
        Daemon elevated(args, exe.wstring());
        EXPECT_NE(elevated.Wait(), -1);
        EXPECT_EQ(runValue(), L"<missing>") << args;
    }
    Daemon daemon(L"", exe.wstring());
    ASSERT_TRUE(WaitForWindow());
    CloseAndExpectCleanExit(daemon);
    EXPECT_TRUE(_wcsicmp(runValue().c_str(), exe.c_str()) == 0) ;
    EXPECT_EQ(log.Count("Registered auto-start [QLNUpgrade]: "), 1u);
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"QLNUpgrade");
}

// --- Random WM_COPYDATA requests ---------------------------------------------

// One request as another program could send it.
struct CopyDataInput {
    ULONG_PTR tag = kCopyDataTagAutomatic;
    std::string bytes;
    bool nullData = false;
};

CopyDataInput RandomCopyData(qlntest::Fuzzer& fuzz) {
    CopyDataInput in;
    const std::vector<ULONG_PTR> foreign = {0, 1, kCopyDataTagAutomatic + 2, kCopyDataTagManual ^ 0x100,
                                            static_cast<ULONG_PTR>(fuzz.Next())
#ifdef _WIN64
                                                ,
                                            kCopyDataTagAutomatic | (ULONG_PTR{1} << 32)
#endif
    };
    in.tag = fuzz.OneIn(6) ? fuzz.Pick(foreign) : (fuzz.OneIn(2) ? kCopyDataTagAutomatic : kCopyDataTagManual);
    const auto utf16 = [](const std::wstring& text) {
        return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    };
    switch (fuzz.Below(12)) {
        case 0:
            in.bytes = fuzz.Bytes(fuzz.Below(64));
            break;
        case 1: {  // sizes around and far past the longest version text, NUL somewhere or nowhere
            // (Wine does not deliver a WM_COPYDATA of 2 MiB within a minute.)
            const std::size_t units = fuzz.Pick(std::vector<std::size_t>{255, 256, 257, 4096, 1 << 16, 1 << 18});
            std::wstring text(units, fuzz.OneIn(2) ? L'7' : L' ');
            if (fuzz.OneIn(2)) text[fuzz.Below(300) % units] = L'\0';
            in.bytes = utf16(text);
            break;
        }
        case 2:
            in.nullData = fuzz.OneIn(2);
            in.bytes = fuzz.Bytes(fuzz.Below(2));
            break;
        default: {
            std::wstring text = fuzz.Mutate(fuzz.Pick(std::vector<std::wstring>{L"1.16.KM16.2400", L"  2.1.KM1.1  ",
                                                                                  L"1.16.KM16.2400\r\n", L"x"}),
                                             qlntest::VersionTokens());
            in.bytes = utf16(text);
            if (fuzz.OneIn(2)) in.bytes.append(2, '\0');
            if (!in.bytes.empty() && fuzz.OneIn(4)) in.bytes.pop_back();  // odd size
            break;
        }
    }
    return in;
}

enum class Reading { Default, Silent, TooLong, Version };

// How the daemon must read a request, decided without the product's code:
// foreign tags go to default processing, empty payloads are ignored, a
// payload longer than 256 units without a NUL among them is refused unread,
// anything else gives the trimmed text before the first NUL.
Reading ReferenceReading(const CopyDataInput& in, std::wstring& version) {
    if (in.tag != kCopyDataTagAutomatic && in.tag != kCopyDataTagManual) return Reading::Default;
    if (in.nullData || in.bytes.size() < 2) return Reading::Silent;
    std::wstring units(in.bytes.size() / 2, L'\0');
    std::memcpy(units.data(), in.bytes.data(), units.size() * sizeof(wchar_t));
    const std::size_t nul = units.find(L'\0');
    if (units.size() > 256 && (nul == std::wstring::npos || nul >= 256)) return Reading::TooLong;
    units.resize(std::min(nul, units.size()));
    const auto notSpace = [](wchar_t c) { return !std::iswspace(c); };
    const auto first = std::find_if(units.begin(), units.end(), notSpace);
    const auto last = std::find_if(units.rbegin(), units.rend(), notSpace).base();
    version = first < last ? std::wstring(first, last) : std::wstring();
    return Reading::Version;
}

// Garbage sent to the running daemon's window: every request of the protocol
// is refused with its log lines, nothing starts an upgrade, and the daemon
// keeps answering. Well-formed versions are not garbage and are left out
// (they would start a real upgrade; the tests above cover them).
TEST(DaemonProcess, RandomCopyDataRequestsAreRefusedAndStartNothing) {
    DaemonLog log;
    Daemon daemon;
    ASSERT_TRUE(WaitForWindow());
    const HWND window = ::FindWindowW(L"QLNUpgradeWindow", L"QLNUpgradeWindow");
    ASSERT_NE(window, nullptr);
    qlntest::Fuzzer fuzz("WM_COPYDATA requests", 20261214, 300);

    std::size_t read = 0, tooLong = 0, silent = 0, wellFormed = 0;
    for (int i = 0; i < fuzz.iterations(); ++i) {
        CopyDataInput in = RandomCopyData(fuzz);
        std::wstring version;
        const Reading reading = ReferenceReading(in, version);
        if (reading == Reading::Version && qlntest::ReferenceVersionSyntax(version)) {
            ++wellFormed;
            continue;
        }
        COPYDATASTRUCT data{};
        data.dwData = in.tag;
        data.cbData = static_cast<DWORD>(in.bytes.size());
        data.lpData = in.nullData ? nullptr : in.bytes.data();
        DWORD_PTR result = 99;
        ASSERT_NE(::SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                                        kProcessWaitMs, &result),
                  0)
            << "input " << i << " (" << in.bytes.size() << " bytes) got no answer: " << ::GetLastError();
        ASSERT_EQ(result, 0u) << "input " << i << ": " << qlntest::Printable(version);
        read += reading == Reading::Version;
        tooLong += reading == Reading::TooLong;
        silent += reading != Reading::Version && reading != Reading::TooLong;
    }
    std::printf("[fuzz] %u read, %u too long, %u unread, %u well-formed left out\n", static_cast<unsigned>(read),
                static_cast<unsigned>(tooLong), static_cast<unsigned>(silent), static_cast<unsigned>(wellFormed));

    EXPECT_TRUE(daemon.Running());
    EXPECT_EQ(Send(L"copydata 0x514C4E00 still-there"), 0);
    EXPECT_EQ(log.Count("External upgrade requested (manual="), read + 1);
    EXPECT_EQ(log.Count("Invalid target version '"), read + 1);
    EXPECT_EQ(log.Count("bytes is too long for a version, ignoring it"), tooLong);
    EXPECT_FALSE(log.Contains("upgrade worker for version"));
    EXPECT_FALSE(log.Contains("Re-launching elevated"));
    EXPECT_GT(read, 50u);
    EXPECT_GT(tooLong, 3u);
    CloseAndExpectCleanExit(daemon);
}


// Freed memory is filled (heap free checking) in the tool, so a thread that
// reads a static after its destructor ran sees a wrong value at once instead
// of the old bytes by luck.
class HeapFreeChecking {
public:
    HeapFreeChecking() {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, m_key.put(), nullptr);
        const DWORD flags = 0x70;  // tail, free and parameter checking
        EXPECT_EQ(::RegSetValueExW(m_key.get(), L"GlobalFlag", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof(flags)),
                  ERROR_SUCCESS);
    }
    ~HeapFreeChecking() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey); }

private:
    static constexpr wchar_t kKey[] =
        L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\qln_exit_logging.exe";
    qln::UniqueHkey m_key;
};

// WM_ENDSESSION ends the daemon's loop while detached threads log and read
// the configuration: they must find everything they use alive through the
// exit-time destructors and after them, run after run.
TEST(ProcessExit, ThreadsThatStillLogDoNotCrashTheExit) {
    HeapFreeChecking checking;
    for (int run = 0; run < 6; ++run) {
        qlntest::TempDir dir;
        const int code = qlntest::RunProcess(L"\"" + qlntest::BinDir() + L"qln_exit_logging.exe\" \"" + dir.path().wstring() + L"\"");
        ASSERT_EQ(code, 0) << "run " << run << " ended with 0x" << std::hex << static_cast<unsigned>(code)
                           << " (10+n: a thread read a wrong value; 16: the platform name is destroyed at exit;"
                           << " 20: the threads stood still)";
        std::string log;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
            if (entry.is_regular_file()) log += qlntest::ReadFileBytes(entry.path());
        // That the threads worked on through the exit, the tool's exit code says.
        EXPECT_NE(log.find("WM_CLOSE/DESTROY/ENDSESSION/QUIT received"), std::string::npos) << "run " << run;
        EXPECT_NE(log.find("] Exiting."), std::string::npos) << "run " << run;
        EXPECT_NE(log.find("platform x64"), std::string::npos) << "run " << run;
    }
}

}  // namespace

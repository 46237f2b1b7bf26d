// The daemon as a process: single instance, quitting on request, external
// requests through the window, command-line dispatch and the crash-report hook.
#include "support/Fuzz.h"
#include "support/TestSupport.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/QLNUpgradeWindow.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/Registry.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"
#include "support/FakeMsiexec.h"
#include "support/ReplaceTestSupport.h"
#include "support/UpgradeFixtures.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr DWORD kProcessWaitMs = 60000;

// Today's log of the elevated copies, in the administrators' log folder.
std::wstring AdminLogPath() {
    return QLNAdminLogFolder::Path() + KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.log";
}

// Sets the daemon's LoggerDir to a temporary folder and reads its log, with
// what elevated copies logged since into theirs.
class DaemonLog {
public:
    DaemonLog() : m_adminStart(qlntest::ReadFileBytes(AdminLogPath()).size()) {
        qlntest::SetKmString(L"LoggerDir", m_dir.dirWithSlash());
        qlntest::SetKmString(L"LoggerLevel", L"debug");
    }
    std::string Text() const {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) all += qlntest::ReadFileBytes(entry.path());
        const std::string admin = qlntest::ReadFileBytes(AdminLogPath());
        return all + (admin.size() > m_adminStart ? admin.substr(m_adminStart) : std::string());
    }
    bool Contains(const std::string& s) const { return Text().find(s) != std::string::npos; }
    size_t Count(const std::string& s) const {
        const std::string t = Text();
        size_t n = 0;
        for (size_t pos = t.find(s); pos != std::string::npos; pos = t.find(s, pos + 1)) ++n;
        return n;
    }

private:
    qlntest::TempDir m_dir;
    size_t m_adminStart;
};

// Daemons started by this test process belong to one job that is killed
// when the process ends, so a test that dies cannot leave a daemon behind
// holding the mutex for the next test.
HANDLE DaemonJob() {
    static const HANDLE job = [] {
        HANDLE h = ::CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (h) ::SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return h;
    }();
    return job;
}

// A started QLNUpgrade.exe (in the working directory given, else in ours);
// terminated at scope end if still running.
class Daemon {
public:
    explicit Daemon(const std::wstring& args = L"", const std::wstring& exe = qlntest::BinDir() + L"QLNUpgrade.exe",
                    const std::wstring& workingDir = L"") {
        std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        // The daemon gets no standard streams of ours: a daemon that outlived
        // its test would otherwise keep the test runner's output pipe open.
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        qln::UniqueFileHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                &inherit, OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = si.hStdOutput = si.hStdError = nul.get();
        PROCESS_INFORMATION pi{};
        if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                             workingDir.empty() ? nullptr : workingDir.c_str(), &si, &pi)) {
            m_process.reset(pi.hProcess);
            qln::UniqueHandle thread(pi.hThread);
            ::AssignProcessToJobObject(DaemonJob(), pi.hProcess);
            ::ResumeThread(pi.hThread);
        }
    }
    ~Daemon() {
        if (m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process.get(), 99);
            ::WaitForSingleObject(m_process.get(), kProcessWaitMs);
        }
    }
    bool started() const { return m_process.valid(); }
    // Exit code, or -1 when it did not end in time.
    int Wait(DWORD ms = kProcessWaitMs) {
        if (!m_process || ::WaitForSingleObject(m_process.get(), ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.get(), &code);
        return static_cast<int>(code);
    }
    bool Running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }
    DWORD Id() const { return m_process ? ::GetProcessId(m_process.get()) : 0; }
    // Terminates the process; true when it was still running and ended by this.
    bool Kill() {
        constexpr UINT kKilled = 0xDEAD;
        if (!Running()) return false;
        ::TerminateProcess(m_process.get(), kKilled);
        return Wait() == static_cast<int>(kKilled);
    }

private:
    qln::UniqueHandle m_process;
};

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
    const auto runValue = [&] {
        wchar_t text[MAX_PATH] = {};
        DWORD size = sizeof(text);
        if (::RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"QLNUpgrade", RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
            return std::wstring(L"<missing>");
        return std::wstring(text);
    };
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

}  // namespace

namespace {

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

namespace {

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

// KMWinOSUtils against real processes: the stand-in status cache
// (bin\QLNCache.exe, window "QLNCacheWindow") that closes on WM_CLOSE or
// ignores it, termination by window, id and name, the process probe and
// MakeProcessExist; session control through its seams (a test never
// restarts or shuts down anything for real); the platform name.

#include "Utils/KM/KMWinOSUtils.h"

#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<DWORD> Pids(const std::wstring& name) {
    std::vector<DWORD> ids;
    EXPECT_TRUE(KMWinOSUtils::GetProcessIds(name, ids, false));
    return ids;
}

// Polls until the condition holds; false after timeoutMs.
template <typename F>
bool WaitUntil(F condition, DWORD timeoutMs = 10000) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) return true;
        ::Sleep(50);
    }
    return condition();
}

HWND CacheWindow() {
    return ::FindWindowW(L"QLNCacheWindow", L"QLNCacheWindow");
}

// Every test starts and ends without a stand-in cache, and with the
// environment that the stand-in reads cleared.
class ProcessControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        KillAll(L"QLNCache.exe");
        ::SetEnvironmentVariableW(L"QLN_FAKE_CACHE_IGNORE_CLOSE", nullptr);
    }
    void TearDown() override {
        KillAll(L"QLNCache.exe");
        ::SetEnvironmentVariableW(L"QLN_FAKE_CACHE_IGNORE_CLOSE", nullptr);
    }
    static void KillAll(const std::wstring& name) {
        std::vector<DWORD> ids;
        (void)KMWinOSUtils::GetProcessIds(name, ids, false);
        for (const DWORD pid : ids) {
            qln::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
            if (process && ::TerminateProcess(process.get(), 9)) ::WaitForSingleObject(process.get(), 5000);
        }
        ASSERT_TRUE(WaitUntil([&] { return Pids(name).empty(); })) << "leftover processes of a previous test";
        // The window of a terminated process may outlive it briefly; a stale
        // one would pass for a running cache.
        ASSERT_TRUE(WaitUntil([] { return CacheWindow() == nullptr; })) << "leftover QLNCacheWindow";
    }
    void StartCache(bool ignoreClose) {
        ::SetEnvironmentVariableW(L"QLN_FAKE_CACHE_IGNORE_CLOSE", ignoreClose ? L"1" : nullptr);
        ASSERT_TRUE(KMWinOSUtils::RunQLNCacheProcess());
        ASSERT_TRUE(WaitUntil([] { return CacheWindow() != nullptr; })) << "the stand-in cache made no window";
    }

    qlntest::LogCapture m_log;
};

TEST_F(ProcessControlTest, CacheThatClosesOnWmCloseIsStartedFoundAndClosedGracefully) {
    EXPECT_FALSE(KMWinOSUtils::IsQLNCacheProcessRunning());
    EXPECT_TRUE(m_log.Contains("QLNCache.exe not running"));

    StartCache(false);
    EXPECT_TRUE(m_log.Contains("QLNCache.exe: starting " + qln::WideToUtf8(qlntest::BinDir()) + "QLNCache.exe"));
    EXPECT_TRUE(KMWinOSUtils::IsQLNCacheProcessRunning());
    EXPECT_TRUE(m_log.Contains("QLNCache.exe is running"));
    // Already running: nothing new is started.
    EXPECT_TRUE(KMWinOSUtils::RunQLNCacheProcess());
    EXPECT_TRUE(m_log.Contains("QLNCache.exe: already running"));
    EXPECT_EQ(Pids(L"QLNCache.exe").size(), 1u);

    EXPECT_EQ(KMWinOSUtils::TerminateQLNCacheProcess(), 0u);
    EXPECT_TRUE(m_log.Contains("sending WM_CLOSE to window 'QLNCacheWindow'"));
    EXPECT_TRUE(m_log.Contains("window 'QLNCacheWindow' closed gracefully"));
    EXPECT_TRUE(m_log.Contains("QLNCache.exe: graceful shutdown successful"));
    EXPECT_FALSE(m_log.Contains("trying direct termination"));
    EXPECT_TRUE(WaitUntil([] { return Pids(L"qlncache.EXE").empty(); }));
}

TEST_F(ProcessControlTest, CacheIgnoringWmCloseIsTerminatedThroughItsWindowsProcess) {
    StartCache(true);
    const std::vector<DWORD> before = Pids(L"QLNCache.exe");
    ASSERT_EQ(before.size(), 1u);

    EXPECT_EQ(KMWinOSUtils::TerminateQLNCacheProcess(), 0u);
    EXPECT_TRUE(m_log.Contains("WM_CLOSE failed for window 'QLNCacheWindow', trying direct termination"));
    EXPECT_TRUE(m_log.Contains("process terminated, PID: " + std::to_string(before[0])));
    EXPECT_TRUE(m_log.Contains("process terminated directly via window 'QLNCacheWindow'"));
    EXPECT_TRUE(m_log.Contains("QLNCache.exe: graceful shutdown successful"));
    EXPECT_TRUE(WaitUntil([] { return Pids(L"QLNCache.exe").empty(); }));
}

TEST_F(ProcessControlTest, NoCacheAtAllCountsAsGracefulShutdown) {
    EXPECT_EQ(KMWinOSUtils::TerminateQLNCacheProcess(), 0u);
    EXPECT_TRUE(m_log.Contains("QLNCache.exe: starting termination process"));
    EXPECT_TRUE(m_log.Contains("window 'QLNCacheWindow' not found, process may already be terminated"));
    EXPECT_TRUE(m_log.Contains("QLNCache.exe: graceful shutdown successful"));
}

TEST_F(ProcessControlTest, ProcessesByNameAndById) {
    const std::wstring exe = qlntest::BinDir() + L"QLNCache.exe";
    ASSERT_TRUE(RunProgram(exe));
    ASSERT_TRUE(RunProgram(exe));
    ASSERT_TRUE(WaitUntil([] { return Pids(L"QLNCache.exe").size() == 2; }));

    // Names compare without regard to case; found ids are appended.
    std::vector<DWORD> ids{42};
    ASSERT_TRUE(KMWinOSUtils::GetProcessIds(L"QLNCACHE.EXE", ids, true));
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], 42u);
    EXPECT_TRUE(KMWinOSUtils::IsProcessRunning(L"qlncache.exe"));
    EXPECT_TRUE(m_log.Contains("qlncache.exe running"));

    // Another user's processes (Wine has one session: the seam moves every
    // process but ours to session 7) are neither found nor stopped.
    {
        qlntest::ScopedSeam sessions(qln::seams::g_processSessionId, [](DWORD pid) noexcept -> DWORD {
            return pid == ::GetCurrentProcessId() ? 1 : 7;
        });
        EXPECT_FALSE(KMWinOSUtils::IsProcessRunning(L"QLNCache.exe"));
        EXPECT_FALSE(KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe"));
    }
    EXPECT_EQ(Pids(L"QLNCache.exe").size(), 2u);

    EXPECT_TRUE(KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe"));
    EXPECT_TRUE(WaitUntil([] { return Pids(L"QLNCache.exe").empty(); }));
    EXPECT_FALSE(KMWinOSUtils::IsProcessRunning(L"QLNCache.exe"));
    EXPECT_TRUE(m_log.Contains("QLNCache.exe not running"));
    EXPECT_FALSE(KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe"));
    EXPECT_TRUE(m_log.Contains("no process found for 'QLNCache.exe'"));

    EXPECT_EQ(KMWinOSUtils::TerminateProcessById(0), 87u);
    EXPECT_TRUE(m_log.Contains("invalid process ID"));
    // An id that belongs to no process (ids are multiples of 4 on Windows).
    EXPECT_EQ(KMWinOSUtils::TerminateProcessById(0x7FFFFFF1), 1627u);
    EXPECT_TRUE(m_log.Contains("failed to open process, PID: 2147483633, error: "));

    EXPECT_FALSE(RunProgram(qlntest::BinDir() + L"no-such-program.exe"));
}

TEST_F(ProcessControlTest, MakeProcessExistStartsNothingWhileExplorerRuns) {
    // Wine's desktop process is an explorer.exe: the shell that already runs.
    ::GetDesktopWindow();
    ASSERT_TRUE(WaitUntil([] { return !Pids(L"explorer.exe").empty(); })) << "Wine's desktop process is missing";
    const size_t shells = Pids(L"explorer.exe").size();

    qlntest::TempDir dir;
    const std::wstring fake = (dir.path() / L"explorer.exe").wstring();
    std::filesystem::copy_file(qlntest::BinDir() + L"QLNCache.exe", fake);
    EXPECT_TRUE(KMWinOSUtils::MakeProcessExist(fake));
    ::Sleep(500);
    EXPECT_EQ(Pids(L"explorer.exe").size(), shells);
    EXPECT_FALSE(m_log.Contains("start successfully"));
    EXPECT_FALSE(m_log.Contains("failed to start"));
}

// Records the shutdown calls instead of making them.
struct ShutdownCalls {
    static inline int exitWindowsCalls = 0;
    static inline UINT flags = 0;
    static inline DWORD reason = 0;
    static inline BOOL exitWindowsResult = TRUE;
    static inline int shutdownCalls = 0;
    static inline bool shutdownArgsAsSpecified = false;
    static inline BOOL shutdownResult = TRUE;

    static BOOL ExitWindowsCall(UINT f, DWORD r) {
        ++exitWindowsCalls;
        flags = f;
        reason = r;
        ::SetLastError(ERROR_ACCESS_DENIED);
        return exitWindowsResult;
    }
    static BOOL Shutdown(LPWSTR machine, LPWSTR message, DWORD timeout, BOOL force, BOOL reboot) {
        ++shutdownCalls;
        shutdownArgsAsSpecified = machine == nullptr && message == nullptr && timeout == 0 && force && reboot;
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return shutdownResult;
    }
};

TEST(SessionControl, RebootTriesExitWindowsThenInitiateSystemShutdown) {
    qlntest::LogCapture log;
    qlntest::ScopedSeam exitWindows(qln::seams::g_exitWindowsEx, &ShutdownCalls::ExitWindowsCall);
    qlntest::ScopedSeam shutdown(qln::seams::g_initiateSystemShutdown, &ShutdownCalls::Shutdown);

    EXPECT_TRUE(KMWinOSUtils::RebootSystem());
    EXPECT_EQ(ShutdownCalls::exitWindowsCalls, 1);
    EXPECT_EQ(ShutdownCalls::flags, 6u);
    EXPECT_EQ(ShutdownCalls::reason, 0x00040002u);
    EXPECT_EQ(ShutdownCalls::shutdownCalls, 0);
    EXPECT_TRUE(log.Contains("Initiating system reboot"));
    EXPECT_TRUE(log.Contains("System reboot initiated via ExitWindowsEx"));

    ShutdownCalls::exitWindowsResult = FALSE;
    EXPECT_TRUE(KMWinOSUtils::RebootSystem());
    EXPECT_EQ(ShutdownCalls::shutdownCalls, 1);
    EXPECT_TRUE(ShutdownCalls::shutdownArgsAsSpecified);
    EXPECT_TRUE(log.Contains("ExitWindowsEx failed (error: 5), trying InitiateSystemShutdown"));
    EXPECT_TRUE(log.Contains("System reboot initiated via InitiateSystemShutdown"));

    ShutdownCalls::shutdownResult = FALSE;
    EXPECT_FALSE(KMWinOSUtils::RebootSystem());
    EXPECT_TRUE(log.Contains("All reboot methods failed, error: 50"));
}

TEST(SessionControl, ElevationThroughItsSeam) {
    // Every Wine process has an elevated token; the seam stands in for the
    // non-elevated case.
    EXPECT_TRUE(KMWinOSUtils::IsRunningAsAdmin());
    qlntest::ScopedSeam notAdmin(qln::seams::g_isRunningAsAdmin, [] { return false; });
    EXPECT_FALSE(KMWinOSUtils::IsRunningAsAdmin());
}

TEST(SessionControl, PlatformNameIsComputedOnceAndMapsEveryMachine) {
    qlntest::LogCapture log;
    EXPECT_EQ(KMWinOSUtils::GetMachinePlatformName(), L"x64");
    EXPECT_EQ(&KMWinOSUtils::GetMachinePlatformName(), &KMWinOSUtils::GetMachinePlatformName());
    EXPECT_EQ(log.Matching("Machine platform: x64 (nativeMachine=0x8664)").size(), 1u);

    struct Case {
        USHORT machine;
        const wchar_t* name;
    };
    for (const Case c : {Case{0x014C, L"win32"}, Case{0x8664, L"x64"}, Case{0xAA64, L"ARM64"}, Case{0, L"x64"},
                         Case{0x01C4, L"x64"}}) {
        EXPECT_STREQ(KMWinOSUtils::PlatformNameOf(c.machine), c.name) << c.machine;
    }
}

}  // namespace

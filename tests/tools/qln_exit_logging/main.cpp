// Test tool: ends the way the daemon ends when the session ends during an
// upgrade. The daemon's window gets WM_ENDSESSION, the daemon's message loop
// returns and wmain returns, while detached threads keep logging and reading
// the configuration, the key table and the platform name, through the
// exit-time destructors and beyond.
//
// Usage: qln_exit_logging <log directory>
// Exit codes: 0 the exit went through with every value intact while the
// threads kept working; 10 + n a thread read a wrong value (n: which one;
// 16: the platform name is a static object of the program, see
// LivesInThisProgram);
// 20 the threads made no progress during the exit (the run proves nothing);
// 2-4 set-up failed; a crash gives its exception code.

#include "QLNUpgrade/QLNUpgradeApp.h"
#include "QLNUpgrade/QLNUpgradeWindow.h"
#include "SVN/KM/KMConfigKeys.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMWinOSUtils.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>

namespace {

constexpr int kWrongValueBase = 10;
constexpr int kThreadsIdle = 20;

std::atomic<int> g_running{0};
std::atomic<unsigned long long> g_rounds{0};
std::atomic<long long> g_steady{0};
// Plain arrays: the tool's own values must not be destroyed under the threads either.
wchar_t g_dirs[2][MAX_PATH];
wchar_t g_platform[16];

// Constructed before main, so destroyed after every static the product
// creates on first use: the threads run on for a while after those
// destructors would have run, and must have got on with their work.
struct LingerAtExit {
    ~LingerAtExit() {
        if (g_running.load() == 0) return;
        const unsigned long long before = g_rounds.load();
        ::Sleep(300);
        if (g_rounds.load() < before + 4) ::TerminateProcess(::GetCurrentProcess(), kThreadsIdle);
    }
} g_linger;

void Fail(int which) {
    ::TerminateProcess(::GetCurrentProcess(), kWrongValueBase + which);
}

// A static object of the program is destroyed at exit, but a short text such
// as the platform name stays readable in its storage after that, so no
// comparison of values could tell. What outlives the exit lives elsewhere.
bool LivesInThisProgram(const void* object) {
    HMODULE module = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<const wchar_t*>(object), &module) &&
           module == ::GetModuleHandleW(nullptr);
}

bool IsOneOfTheDirs(const std::wstring& path) {
    for (const auto& dir : g_dirs)
        if (path.compare(0, wcslen(dir), dir) == 0) return true;
    return false;
}

// Each reading is a minute after the last, so every log call re-reads the
// switches and, with LoggerDir flipping, re-creates the logger until the exit.
std::int64_t RacingSteadyNs() {
    return g_steady.fetch_add(61LL * 1000 * 1000 * 1000);
}
std::time_t WallNow() {
    return std::time(nullptr);
}

void SetLoggerDir(const wchar_t* dir) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillon\\KM", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    ::RegSetValueExW(key, L"LoggerDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                     static_cast<DWORD>((wcslen(dir) + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

void FlipLoggerDir() {
    ++g_running;
    for (unsigned long long i = 0;; ++i) SetLoggerDir(g_dirs[i % 2]);
}

// What a worker or prompt thread touches: the log call, the logger's
// switches and path, the configuration store and its key table, the
// platform name of the package.
void Busy(int id) {
    ++g_running;
    for (unsigned long long i = 0;; ++i) {
        KM_LOG_INFO(L"thread {} line {} platform {}", id, i, KMWinOSUtils::GetMachinePlatformName());
        if (!IsOneOfTheDirs(KMLoggerHelper::ReadLoggerDir())) Fail(1);
        const std::wstring path = KMLoggerHelper::CurrentLogPath();
        if (!path.empty() && !IsOneOfTheDirs(path)) Fail(2);
        if (!KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetBool("VersionCheck")) Fail(3);
        if (!KMConfigKeys::IsQlnKey("SilentUpgradeByMsi") || KMConfigKeys::IsQlnKey("NoSuchKeyAnywhere")) Fail(4);
        if (KMWinOSUtils::GetMachinePlatformName() != g_platform) Fail(5);
        ++g_rounds;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    for (int i = 0; i < 2; ++i) swprintf(g_dirs[i], MAX_PATH, L"%ls\\%lc\\", argv[1], L'a' + i);
    SetLoggerDir(g_dirs[0]);
    if (!KMLoggerHelper::Initialize(L".upgrade.log")) return 4;
    KMLoggerHelper::SetClock({&WallNow, &RacingSteadyNs});
    wcsncpy(g_platform, KMWinOSUtils::GetMachinePlatformName().c_str(), 15);
    if (LivesInThisProgram(&KMWinOSUtils::GetMachinePlatformName())) return kWrongValueBase + 6;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WndProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QLNExitLoggingWindow";
    ::RegisterClassExW(&wc);
    HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"", WS_CAPTION, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd) return 3;

    for (int i = 0; i < 4; ++i) std::thread(Busy, i).detach();
    std::thread(FlipLoggerDir).detach();
    while (g_running.load() < 5) ::Sleep(1);
    ::Sleep(50);
    ::PostMessageW(hwnd, WM_ENDSESSION, TRUE, 0);
    RunMessageLoop();
    KM_LOG_INFO(L"Exiting.");
    return 0;
}

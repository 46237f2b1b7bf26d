// Test tool: leaves wmain while detached threads keep logging and reading the
// configuration, as the daemon does when it exits during an upgrade.
// Usage: qln_exit_logging <log directory>
// Exit code 0 unless the exit itself fails (a crash gives its exception code).

#include "SVN/KM/KMConfigKeys.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>

namespace {

std::atomic<int> g_running{0};
std::atomic<long long> g_steady{0};
std::wstring g_dirs[2];

// Each reading is a minute after the last, so every log call re-reads the
// switches and, with LoggerDir flipping, re-creates the logger.
std::int64_t RacingSteadyNs() {
    return g_steady.fetch_add(61LL * 1000 * 1000 * 1000);
}
std::time_t WallNow() {
    return std::time(nullptr);
}

void FlipLoggerDir() {
    ++g_running;
    for (unsigned long long i = 0;; ++i) {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quillon\\KM", 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
            const std::wstring& dir = g_dirs[i % 2];
            ::RegSetValueExW(key, L"LoggerDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                             static_cast<DWORD>((dir.size() + 1) * sizeof(wchar_t)));
            ::RegCloseKey(key);
        }
    }
}

void Busy(int id) {
    ++g_running;
    for (unsigned long long i = 0;; ++i) {
        KM_LOG_INFO(L"thread {} line {} dir {}", id, i, KMLoggerHelper::ReadLoggerDir());
        (void)KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetBool("VersionCheck");
        (void)KMConfigKeys::IsQlnKey("SilentUpgradeByMsi");
        (void)KMLoggerHelper::CurrentLogPath();
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillon\\KM", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 3;
    g_dirs[0] = std::wstring(argv[1]) + L"\\a\\";
    g_dirs[1] = std::wstring(argv[1]) + L"\\b\\";
    ::RegSetValueExW(key, L"LoggerDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(g_dirs[0].c_str()),
                     static_cast<DWORD>((g_dirs[0].size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    if (!KMLoggerHelper::Initialize(L".upgrade.log")) return 4;
    KMLoggerHelper::SetClock({&WallNow, &RacingSteadyNs});
    for (int i = 0; i < 4; ++i) std::thread(Busy, i).detach();
    std::thread(FlipLoggerDir).detach();
    while (g_running.load() < 5) ::Sleep(1);
    ::Sleep(50);
    KM_LOG_INFO(L"Exiting.");
    return 0;
}

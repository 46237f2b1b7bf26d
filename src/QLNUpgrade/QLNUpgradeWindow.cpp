#include "QLNUpgrade/QLNUpgradeWindow.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/QLNUpgradeHelper.h"
#include "Utils/KM/KMLog.h"
#include "Utils/StringConv.h"

#include <algorithm>
#include <cwctype>
#include <exception>
#include <thread>

BYTE g_keepRunning = 1;

namespace {

// Dialogs block until answered, so they never run on the window's thread. A
// thread that cannot be started leaves the request unanswered.
void RunDetached(void (*prompt)()) {
    try {
        std::thread(prompt).detach();
    } catch (...) {
        KM_LOG_ERROR(L"Could not start a prompt thread");
    }
}

LRESULT OnQuitType(HWND, UINT message) {
    KM_LOG_INFO(L"WM_CLOSE/DESTROY/ENDSESSION/QUIT received");
    g_keepRunning = 0;
    if (message != WM_QUIT) ::PostQuitMessage(0);
    return 1;
}

LRESULT OnTimer(HWND hwnd, UINT_PTR id) {
    switch (id) {
        case kTimerStartupCleanup:
            ::KillTimer(hwnd, kTimerStartupCleanup);
            KM_LOG_DEBUG(L"Running startup cleanup of old backup files");
            CleanupOldBackupFiles();
            break;
        case kTimerFirstCheck: {
            ::KillTimer(hwnd, kTimerFirstCheck);
            RefreshLocalConfigForUpgrade(L"startup update check");
            const bool resumed = CheckAndResumeUpgrade();
            ::SetTimer(hwnd, kTimerPeriodicCheck, kPeriodicCheckMs, nullptr);
            if (resumed) {
                KM_LOG_INFO(L"Startup delay elapsed, skipping first update check (resume in progress)");
            } else {
                KM_LOG_INFO(L"Startup delay elapsed, performing first update check");
                PerformUpdateCheck();
            }
            break;
        }
        case kTimerPeriodicCheck:
            KM_LOG_INFO(L"Periodic update check triggered");
            RefreshLocalConfigForUpgrade(L"periodic update check");
            PerformUpdateCheck();
            break;
        default:
            break;
    }
    return 0;
}

LRESULT OnUpgradeRequest(WPARAM wParam) {
    const bool manual = (wParam == 1);
    KM_LOG_INFO(L"External upgrade requested (manual={})", manual);
    RefreshLocalConfigForUpgrade(L"external upgrade request");
    if (g_upgradeInProgress.load()) {
        KM_LOG_INFO(L"Upgrade already in progress, notifying user instead of launching another");
        RunDetached(&QLNUpgradeUI::PromptUpgradeAlreadyInProgress);
        return 0;
    }
    QLNVersionInfo cached;
    QLNVersionChecker::LoadFromRegistry(cached);
    VersionNumber number{};
    const bool valid = !cached.info.empty() && !cached.link.empty() && ParseVersionNumber(cached.version, number) &&
                       QLNVersionInfo::IsNewerVersion(cached.version);
    if (valid) {
        ExecuteUpgradeAsync(cached.version, manual ? UpgradeType::Manual : UpgradeType::Silent, false);
        return 0;
    }
    KM_LOG_WARN(L"No valid newer version in registry cache, ignoring upgrade request");
    RunDetached(&QLNUpgradeUI::PromptNoNewVersion);
    return 0;
}

bool HasNulWithin(const COPYDATASTRUCT& data, size_t units) {
    const auto* text = static_cast<const wchar_t*>(data.lpData);
    const auto* end = text + std::min<size_t>(data.cbData / 2, units);
    return std::find(text, end, L'\0') != end;
}

LRESULT OnCopyData(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!data || (data->dwData != kCopyDataTagAutomatic && data->dwData != kCopyDataTagManual))
        return ::DefWindowProcW(hwnd, WM_COPYDATA, wParam, lParam);
    if (!data->lpData || data->cbData < 2) return 0;

    const bool manual = (data->dwData == kCopyDataTagManual);
    if (data->cbData / 2 > kMaxCopyDataVersionUnits && !HasNulWithin(*data, kMaxCopyDataVersionUnits)) {
        KM_LOG_WARN(L"Upgrade request of {} bytes is too long for a version, ignoring it", data->cbData);
        return 0;
    }
    const std::wstring version = ReadCopyDataVersion(*data);
    KM_LOG_INFO(L"External upgrade requested (manual={}, version={})", manual, qln::ForLogLine(version));
    VersionNumber number{};
    if (!ParseVersionNumber(version, number)) {
        KM_LOG_WARN(L"Invalid target version '{}', ignoring upgrade request", qln::ForLogLine(version));
        return 0;
    }
    RefreshLocalConfigForUpgrade(L"external upgrade request (specified version)");
    if (g_upgradeInProgress.load()) {
        KM_LOG_INFO(L"Upgrade already in progress, notifying user instead of launching another");
        RunDetached(&QLNUpgradeUI::PromptUpgradeAlreadyInProgress);
        return 1;
    }
    ExecuteUpgradeAsync(version, manual ? UpgradeType::Manual : UpgradeType::Silent, false);
    return 1;
}

LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
        case WM_CLOSE:
        case WM_QUIT:
        case WM_ENDSESSION:
            return OnQuitType(hwnd, message);
        case WM_QUERYENDSESSION:
            KM_LOG_INFO(L"WM_QUERYENDSESSION received");
            g_keepRunning = 0;
            return 1;
        case QLNUpgradeMsg::WM_Quit:
            KM_LOG_INFO(L"Quit requested via QLNUpgradeMsg::WM_Quit");
            g_keepRunning = 0;
            ::DestroyWindow(hwnd);
            return 0;
        case WM_TIMER:
            return OnTimer(hwnd, wParam);
        case QLNUpgradeMsg::WM_UpgradeRequest:
            return OnUpgradeRequest(wParam);
        case WM_COPYDATA:
            return OnCopyData(hwnd, wParam, lParam);
        default:
            KM_LOG_DEBUG(L"Unhandled message: {}", message);
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace

std::wstring ReadCopyDataVersion(const COPYDATASTRUCT& data) {
    if (!data.lpData) return {};
    const auto* units = static_cast<const wchar_t*>(data.lpData);
    // A version text is short; another program's buffer is never copied whole.
    std::wstring text(units, std::min<size_t>(data.cbData / 2, kMaxCopyDataVersionUnits));
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    size_t begin = 0;
    while (begin < text.size() && std::iswspace(text[begin])) ++begin;
    size_t end = text.size();
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // An exception must not cross DispatchMessageW (the system's frames
    // cannot unwind it): whatever a handler throws ends here.
    try {
        return HandleMessage(hwnd, message, wParam, lParam);
    } catch (const std::exception& e) {
        KM_LOG_ERROR("Exception while handling window message {}: {}", message, e.what());
    } catch (...) {
        KM_LOG_ERROR(L"Unknown exception while handling window message {}", message);
    }
    return 0;
}

void RunMessageLoop() {
    MSG msg{};
    while (g_keepRunning) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) continue;
        if (got == 0) break;
        ::DispatchMessageW(&msg);
    }
    g_keepRunning = 0;
}

#pragma once
// The hidden window's procedure: timers, external upgrade requests and
// quit-type messages. Runs on the main thread; never blocks on an upgrade.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// The message loop runs while this is non-zero. Main thread only.
extern BYTE g_keepRunning;

constexpr wchar_t kUpgradeWindowClass[] = L"QLNUpgradeWindow";
constexpr wchar_t kUpgradeWindowTitle[] = L"QLNUpgradeWindow";

// Dispatches the main thread's messages until a quit-type message ends the
// loop. Worker and prompt threads are not waited for: the caller returns from
// wWinMain and the process exits under them.
void RunMessageLoop();

namespace QLNUpgradeMsg {
constexpr UINT WM_UpgradeRequest = WM_APP + 0x67;
constexpr UINT WM_Quit = WM_APP + 0xC8;
}  // namespace QLNUpgradeMsg

// Tags of the WM_COPYDATA upgrade request.
constexpr ULONG_PTR kCopyDataTagAutomatic = 0x514C4E00;
constexpr ULONG_PTR kCopyDataTagManual = 0x514C4E01;

constexpr UINT_PTR kTimerPeriodicCheck = 1;
constexpr UINT_PTR kTimerFirstCheck = 2;
constexpr UINT_PTR kTimerStartupCleanup = 3;
constexpr UINT kPeriodicCheckMs = 3600000;
constexpr UINT kFirstCheckDelayMs = 30000;
constexpr UINT kStartupCleanupDelayMs = 10000;

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Longest version text taken from a WM_COPYDATA request, in UTF-16 units; a
// longer request (no NUL within this many units) is refused unread.
constexpr size_t kMaxCopyDataVersionUnits = 256;

// The version text of a WM_COPYDATA request: the first cbData/2 UTF-16 units
// (at most kMaxCopyDataVersionUnits), cut at the first NUL and trimmed of
// white space.
std::wstring ReadCopyDataVersion(const COPYDATASTRUCT& data);

// Stand-in for the status cache QLNCache.exe (test tool).
//
// Owns a hidden top-level window whose class and title are both
// "QLNCacheWindow" and ends when that window is closed, as the real cache
// does. Built as bin\QLNCache.exe, beside the tests, so that
// KMWinOSUtils::RunQLNCacheProcess of a test process starts it.
//
// Behaviour, chosen by the environment inherited from the test (the daemon
// starts the cache without arguments) or by arguments:
//   QLN_FAKE_CACHE_IGNORE_CLOSE=1 or --ignore-close
//       WM_CLOSE is swallowed: only termination ends the process.
//   QLN_FAKE_CACHE_LIFETIME_MS=N or --lifetime-ms N
//       ends by itself after N ms (default 120000), so that a failed test
//       leaves no cache running for long.
// Exit code 0 when closed through its window, 2 when the lifetime ran out.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

bool g_ignoreClose = false;
constexpr UINT_PTR kLifetimeTimer = 1;

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[64] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 64);
    return n > 0 && n < 64 ? std::wstring(buffer, n) : std::wstring();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        if (g_ignoreClose) return 0;
        ::DestroyWindow(window);
        return 0;
    case WM_TIMER:
        if (wParam == kLifetimeTimer) {
            ::KillTimer(window, kLifetimeTimer);
            ::DestroyWindow(window);
            ::PostQuitMessage(2);
            return 0;
        }
        break;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    UINT lifetimeMs = 120000;
    g_ignoreClose = Env(L"QLN_FAKE_CACHE_IGNORE_CLOSE") == L"1";
    if (const std::wstring text = Env(L"QLN_FAKE_CACHE_LIFETIME_MS"); !text.empty())
        lifetimeMs = static_cast<UINT>(std::wcstoul(text.c_str(), nullptr, 10));
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--ignore-close") == 0) g_ignoreClose = true;
        if (std::wcscmp(argv[i], L"--lifetime-ms") == 0 && i + 1 < argc)
            lifetimeMs = static_cast<UINT>(std::wcstoul(argv[++i], nullptr, 10));
    }

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QLNCacheWindow";
    if (!::RegisterClassW(&windowClass)) return 1;
    // A top-level window (not message-only), so that FindWindowW sees it.
    const HWND window = ::CreateWindowExW(0, L"QLNCacheWindow", L"QLNCacheWindow", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                          nullptr, windowClass.hInstance, nullptr);
    if (!window) return 1;
    ::SetTimer(window, kLifetimeTimer, lifetimeMs, nullptr);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

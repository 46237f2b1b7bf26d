// Baseline of the idle and start-up measures: one hidden window, one message
// loop, nothing else. WM_CLOSE ends it.
#include <windows.h>

namespace {

LRESULT CALLBACK BareWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        ::PostQuitMessage(0);
        return 1;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = BareWndProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"QLNBenchBareWindow";
    ::RegisterClassExW(&wc);
    HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"QLNBenchBareWindow", WS_CAPTION, 0, 0, 800, 300, nullptr,
                                  nullptr, instance, nullptr);
    if (!hwnd) return 1;
    MSG msg{};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return 0;
}

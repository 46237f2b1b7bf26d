// Test tool: sends the requests that other Quillon programs send to the
// daemon's hidden window and exits with the window's answer.
//
//   qln_send_request wait <ms>                      exit 0 once the window exists, 255 otherwise
//   qln_send_request quit                           QLNUpgradeMsg::WM_Quit
//   qln_send_request close                          WM_CLOSE
//   qln_send_request upgrade <wParam>               QLNUpgradeMsg::WM_UpgradeRequest
//   qln_send_request copydata <tag> <text> [cb]     WM_COPYDATA; cb overrides cbData (bytes)
//   qln_send_request message <number> [wParam]      any message
//
// Exit code: the LRESULT of SendMessageW (low bits), 255 when no window was found.
#include "QLNUpgrade/QLNUpgradeWindow.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

HWND FindDaemon() {
    return ::FindWindowW(L"QLNUpgradeWindow", L"QLNUpgradeWindow");
}

ULONG_PTR ParseNumber(const wchar_t* text) {
    return static_cast<ULONG_PTR>(std::wcstoull(text, nullptr, 0));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 254;
    const std::wstring command = argv[1];

    if (command == L"wait") {
        const DWORD limit = argc > 2 ? static_cast<DWORD>(ParseNumber(argv[2])) : 30000;
        for (DWORD waited = 0; waited <= limit; waited += 50) {
            if (FindDaemon()) return 0;
            ::Sleep(50);
        }
        return 255;
    }

    HWND hwnd = FindDaemon();
    if (!hwnd) return 255;

    LRESULT result = 0;
    if (command == L"quit") {
        result = ::SendMessageW(hwnd, QLNUpgradeMsg::WM_Quit, 0, 0);
    } else if (command == L"close") {
        result = ::SendMessageW(hwnd, WM_CLOSE, 0, 0);
    } else if (command == L"upgrade" && argc > 2) {
        result = ::SendMessageW(hwnd, QLNUpgradeMsg::WM_UpgradeRequest, ParseNumber(argv[2]), 0);
    } else if (command == L"copydata" && argc > 3) {
        std::wstring text = argv[3];
        COPYDATASTRUCT cds{};
        cds.dwData = ParseNumber(argv[2]);
        cds.cbData = argc > 4 ? static_cast<DWORD>(ParseNumber(argv[4])) : static_cast<DWORD>(text.size() * sizeof(wchar_t));
        cds.lpData = text.data();
        result = ::SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
    } else if (command == L"message" && argc > 2) {
        result = ::SendMessageW(hwnd, static_cast<UINT>(ParseNumber(argv[2])), argc > 3 ? ParseNumber(argv[3]) : 0, 0);
    } else {
        return 254;
    }
    return static_cast<int>(result & 0x7F);
}

// Test tool: reads and answers the daemon's task dialogs from outside, as a
// user would: finds the top-level "#32770" window titled "Quillon" (of any
// process), prints its texts and clicks a button by posting TDM_CLICK_BUTTON.
//
//   qln_answer_dialog show <ms>                  wait for a dialog, print it
//   qln_answer_dialog click <button text> <ms>   wait for a dialog, print it,
//                                                click the button whose text
//                                                starts with <button text>,
//                                                wait until the dialog is gone
//   qln_answer_dialog none <ms>                  succeed when no dialog shows
//                                                up within ms
//   qln_answer_dialog restore <ms>               wait for a dialog, print it,
//                                                restore it if minimised (as
//                                                a click on its taskbar
//                                                button would)
//
// Output, UTF-8, one line per control, line breaks of a text written as \n:
//   static: <text>          main instruction and content (in window order)
//   button <id>: <text>     the buttons with their ids
// Exit codes: 0 done; 1 no button with that text (the dialog stays open);
// 2 a dialog showed up where none was expected; 3 the dialog did not close
// after the click; 255 no dialog within the time; 254 usage.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Control {
    bool button = false;
    int id = 0;
    std::wstring text;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
    wchar_t className[32] = {};
    wchar_t title[32] = {};
    ::GetClassNameW(window, className, 32);
    ::GetWindowTextW(window, title, 32);
    if (std::wcscmp(className, L"#32770") == 0 && std::wcscmp(title, L"Quillon") == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(DWORD limitMs) {
    const ULONGLONG end = ::GetTickCount64() + limitMs;
    for (;;) {
        HWND found = nullptr;
        ::EnumWindows(&FindDialog, reinterpret_cast<LPARAM>(&found));
        if (found) return found;
        if (::GetTickCount64() >= end) return nullptr;
        ::Sleep(100);
    }
}

std::wstring TextOf(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), length + 1)));
    return text;
}

BOOL CALLBACK CollectControl(HWND window, LPARAM out) {
    wchar_t className[32] = {};
    ::GetClassNameW(window, className, 32);
    Control control;
    control.button = _wcsicmp(className, L"Button") == 0;
    if (!control.button && _wcsicmp(className, L"Static") != 0) return TRUE;
    control.id = ::GetDlgCtrlID(window);
    control.text = TextOf(window);
    if (control.button || !control.text.empty()) reinterpret_cast<std::vector<Control>*>(out)->push_back(control);
    return TRUE;
}

void Print(const std::wstring& line) {
    std::wstring escaped;
    for (wchar_t c : line) {
        if (c == L'\n') {
            escaped += L"\\n";
        } else if (c != L'\r') {
            escaped += c;
        }
    }
    escaped += L'\n';
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), nullptr, 0,
                                        nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), utf8.data(), n, nullptr,
                          nullptr);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::vector<Control> PrintDialog(HWND dialog) {
    std::vector<Control> controls;
    ::EnumChildWindows(dialog, &CollectControl, reinterpret_cast<LPARAM>(&controls));
    for (const Control& control : controls) {
        Print(control.button ? L"button " + std::to_wstring(control.id) + L": " + control.text
                             : L"static: " + control.text);
    }
    return controls;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 254;
    const std::wstring command = argv[1];

    if (command == L"none") {
        HWND dialog = WaitForDialog(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        if (!dialog) return 0;
        PrintDialog(dialog);
        return 2;
    }
    if (command == L"show" || command == L"restore") {
        HWND dialog = WaitForDialog(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        if (!dialog) return 255;
        PrintDialog(dialog);
        if (command == L"restore" && ::IsIconic(dialog)) {
            ::ShowWindow(dialog, SW_RESTORE);
            ::SetForegroundWindow(dialog);
        }
        return 0;
    }
    if (command != L"click" || argc < 4) return 254;

    const std::wstring wanted = argv[2];
    HWND dialog = WaitForDialog(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    if (!dialog) return 255;
    // A dialog that has just been created may not have its buttons yet.
    std::vector<Control> controls;
    for (int attempt = 0; attempt < 20; ++attempt) {
        controls.clear();
        ::EnumChildWindows(dialog, &CollectControl, reinterpret_cast<LPARAM>(&controls));
        bool anyButton = false;
        for (const Control& control : controls) anyButton = anyButton || control.button;
        if (anyButton) break;
        ::Sleep(100);
    }
    PrintDialog(dialog);
    for (const Control& control : controls) {
        if (control.button && control.text.compare(0, wanted.size(), wanted) == 0) {
            Print(L"clicking: " + control.text);
            ::PostMessageW(dialog, TDM_CLICK_BUTTON, static_cast<WPARAM>(control.id), 0);
            for (int waited = 0; waited < 10000; waited += 100) {
                if (!::IsWindow(dialog)) return 0;
                ::Sleep(100);
            }
            return 3;
        }
    }
    return 1;
}

#include "support/TaskDialogDriver.h"

#include <commctrl.h>

namespace qlntest {

namespace {

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
    auto* view = reinterpret_cast<TaskDialogView*>(param);
    wchar_t cls[64] = {};
    wchar_t text[4096] = {};
    ::GetClassNameW(child, cls, 64);
    ::GetWindowTextW(child, text, 4096);
    if (_wcsicmp(cls, L"Static") == 0 && text[0]) view->statics.emplace_back(text);
    if (_wcsicmp(cls, L"Button") == 0 && text[0]) view->buttons.emplace_back(text);
    return TRUE;
}

}  // namespace

TaskDialogView WaitForTaskDialog(DWORD timeoutMs) {
    TaskDialogView view;
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    do {
        HWND found = ::FindWindowW(L"#32770", L"Quillon");
        if (found) {
            // The controls are created before the dialog is shown; give the
            // dialog a moment to finish its layout.
            ::Sleep(100);
            view.window = found;
            ::EnumChildWindows(found, &CollectChild, reinterpret_cast<LPARAM>(&view));
            return view;
        }
        ::Sleep(50);
    } while (::GetTickCount64() < end);
    return view;
}

bool ClickTaskDialogButton(const TaskDialogView& dialog, int buttonId, DWORD timeoutMs) {
    if (!dialog.window) return false;
    ::PostMessageW(dialog.window, TDM_CLICK_BUTTON, static_cast<WPARAM>(buttonId), 0);
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (::IsWindow(dialog.window)) {
        if (::GetTickCount64() > end) return false;
        ::Sleep(20);
    }
    return true;
}

bool NoTaskDialogFor(DWORD ms) {
    return WaitForTaskDialog(ms).window == nullptr;
}

}  // namespace qlntest

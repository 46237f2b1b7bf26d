#pragma once
// Answers the daemon's real task dialogs from a test: waits for the dialog
// window ("#32770" titled "Quillon") that a prompt thread of this process
// shows, reads its texts back and clicks one of its buttons with
// TDM_CLICK_BUTTON.

#include <windows.h>

#include <string>
#include <vector>

namespace qlntest {

struct TaskDialogView {
    HWND window = nullptr;
    std::vector<std::wstring> statics;  // main instruction, content (in window order)
    std::vector<std::wstring> buttons;  // button texts (in window order)
};

// The next task dialog, or a view with a null window after timeoutMs.
TaskDialogView WaitForTaskDialog(DWORD timeoutMs = 20000);
// Clicks the button and waits until the window is gone; false when it stays.
bool ClickTaskDialogButton(const TaskDialogView& dialog, int buttonId, DWORD timeoutMs = 10000);
// True when no task dialog appears within the time.
bool NoTaskDialogFor(DWORD ms);

}  // namespace qlntest

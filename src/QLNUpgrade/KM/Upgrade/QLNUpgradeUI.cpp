#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"

#include "Utils/KM/KMLog.h"

// The task dialogs are not part of this build yet: every prompt only logs and
// takes its negative answer, so nothing is started on the user's behalf.

std::wstring QLNUpgradeUI::LoadUIString(UINT, const wchar_t* builtIn) { return builtIn ? builtIn : L""; }
int QLNUpgradeUI::ShowChoiceTaskDialog(const std::wstring&, const std::wstring&, const std::wstring&,
                                       const std::wstring&, PCWSTR, int, bool, const std::wstring&) {
    KM_LOG_WARN(L"Upgrade prompts are not available in this build yet; answering IDNO");
    return IDNO;
}
void QLNUpgradeUI::ShowOneButtonTaskDialog(const std::wstring&, const std::wstring&, const std::wstring&, PCWSTR) {
    KM_LOG_WARN(L"Upgrade prompts are not available in this build yet; dialog not shown");
}
PromptChoice QLNUpgradeUI::PromptUpgradeAvailable(const std::wstring&, bool) { return PromptChoice::Later; }
PromptChoice QLNUpgradeUI::PromptSilentUpgradeReady(const std::wstring&, bool) { return PromptChoice::Later; }
bool QLNUpgradeUI::PromptResumeUpgrade(const std::wstring&) { return false; }
bool QLNUpgradeUI::PromptUnverifiedPackage() { return false; }
void QLNUpgradeUI::PromptRebootConfirmation(bool) {}
void QLNUpgradeUI::PromptExplorerHealthCheck() {}
void QLNUpgradeUI::PromptUpgradeSuccess() {}
void QLNUpgradeUI::PromptUpgradeAlreadyInProgress() {
    KM_LOG_WARN(L"Upgrade prompts are not available in this build yet; upgrade-already-in-progress dialog not shown");
}
void QLNUpgradeUI::PromptNoNewVersion() {
    KM_LOG_WARN(L"Upgrade prompts are not available in this build yet; no-new-version dialog not shown");
}
void QLNUpgradeUI::ShowErrorMessage(UINT, const wchar_t*, const std::wstring&, PCWSTR) {}
std::wstring QLNUpgradeUI::GetFailureText(const IUpgradeEngine& engine) {
    std::wstring text = engine.GetLastErrorText();
    return text.empty() ? std::wstring(L"Unknown error") : text;
}
void QLNUpgradeUI::HandleSuccessNotification(UpgradeType, UpgradeResult) {}
void QLNUpgradeUI::HandleFailureNotification(UpgradeType, UpgradeResult, const UpgradeRequest&, IUpgradeEngine&) {}
HRESULT CALLBACK QLNUpgradeUI::DialogCallback(HWND, UINT, WPARAM, LPARAM, LONG_PTR) { return S_OK; }
QLNUpgradeUI::FlashState QLNUpgradeUI::GetFlashState() { return {-1, false}; }
void QLNUpgradeUI::SetTaskDialogForTest(TaskDialogFn) {}
void QLNUpgradeUI::SetSessionActionsForTest(SessionActionFn, SessionActionFn) {}

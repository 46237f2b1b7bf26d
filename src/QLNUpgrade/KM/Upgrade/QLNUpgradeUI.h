#pragma once
// Everything the daemon shows the user: the table of user texts, the two
// task-dialog builders and one operation per prompt, and the choice of the
// prompt that follows the outcome of an upgrade.
//
// Every prompt is a modal task dialog without a parent window and blocks the
// calling thread until it is answered; none may be called from the
// message-loop thread. A dialog that cannot be shown counts as the negative
// answer (later, cancel, do not resume, restart later, Explorer fine).

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeQuestions.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

#include <windows.h>
#include <commctrl.h>

#include <initializer_list>
#include <string>
#include <string_view>


namespace qln::seams {

// Replaces TaskDialogIndirect in both dialog builders when set (tests only,
// reset to null afterwards); the product leaves it null.
using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG* config, int* button, int* radioButton,
                                               BOOL* verificationChecked);
inline TaskDialogIndirectFn g_taskDialogIndirect = nullptr;

}  // namespace qln::seams

class QLNUpgradeUI {
public:
    // The text of id from the language module, else from the program's own
    // string table, else builtIn (empty when builtIn is null).
    static std::wstring LoadUIString(UINT id, const wchar_t* builtIn = nullptr);

    // Dialog with buttons IDYES, IDNO and, when ignoreText is not empty,
    // IDIGNORE. Returns the id of the button that closed it (IDCANCEL for the
    // close box or Escape), or IDNO when the dialog could not be shown. With
    // flash set the dialog comes up minimised and flashes its taskbar button.
    static int ShowChoiceTaskDialog(const std::wstring& mainInstruction, const std::wstring& content,
                                    const std::wstring& yesText, const std::wstring& noText, PCWSTR icon,
                                    int defaultButton, bool flash, const std::wstring& ignoreText = std::wstring());
    // Dialog with one IDOK button; the answer is not read.
    static void ShowOneButtonTaskDialog(const std::wstring& mainInstruction, const std::wstring& content,
                                        const std::wstring& okText, PCWSTR icon);

    static PromptChoice PromptUpgradeAvailable(const std::wstring& newVersion, bool allowIgnore);
    static PromptChoice PromptSilentUpgradeReady(const std::wstring& newVersion, bool allowIgnore);
    // True when the user chose to complete the interrupted upgrade now.
    static bool PromptResumeUpgrade(const std::wstring& version);
    // True when the user chose to install a package that failed verification.
    static bool PromptUnverifiedPackage();
    // Before the silent installer: continue, cancel, or (with allowIgnore)
    // ignore this version.
    static PromptChoice PromptSilentInstallConfirmation(bool allowIgnore);
    // installedByMsi: Windows Installer did the upgrade (then "restart later"
    // still asks whether Explorer works).
    static void PromptRebootConfirmation(bool installedByMsi);
    static void PromptExplorerHealthCheck();
    static void PromptUpgradeSuccess();
    static void PromptUpgradeAlreadyInProgress();
    static void PromptNoNewVersion();
    // One-button dialog whose main instruction is text id (builtInFormat when
    // missing) with its %s replaced by argument.
    static void ShowErrorMessage(UINT id, const wchar_t* builtInFormat, const std::wstring& argument, PCWSTR icon);

    // The last error of a run, or "Unknown error" when it has none.
    static std::wstring GetFailureText(const std::wstring& lastError);

    // Called by the worker after every upgrade, first the success handler and
    // then the failure handler with the same type and result; each ignores the
    // results that are not its own. The failure handler returns true when
    // the user chose the installer's wizard after every silent strategy
    // failed: the worker then runs it and hands its outcome to
    // ReportManualFallback.
    static void HandleSuccessNotification(UpgradeType type, UpgradeResult result);
    [[nodiscard]] static bool HandleFailureNotification(UpgradeType type, UpgradeResult result, const std::wstring& lastError);
    static void ReportManualFallback(UpgradeResult result, const std::wstring& lastError);

    // The callback of every dialog; refData is 1 for a flashing dialog.
    static HRESULT CALLBACK DialogCallback(HWND hwnd, UINT notification, WPARAM wParam, LPARAM lParam,
                                           LONG_PTR refData);

    // Process-wide flash state of the flashing dialog (at most one exists).
    struct FlashState {
        int lastStep;
        bool stopped;
    };
    static FlashState GetFlashState();

    // Replaces each %s of format with the next argument (empty when the
    // arguments run out) and %% with %; every other character is kept. Texts
    // of a language module are not trusted with printf.
    static std::wstring FormatText(const std::wstring& format, std::initializer_list<std::wstring_view> arguments);

    // Sets qln::seams::g_taskDialogIndirect (tests only; null restores the real call).
    static void SetTaskDialogForTest(qln::seams::TaskDialogIndirectFn fn) noexcept;
};

// The upgrade core's questions, answered by the prompts above.
class QLNUpgradePrompts final : public IUpgradeQuestions {
public:
    bool InstallUnverifiedPackage() override { return QLNUpgradeUI::PromptUnverifiedPackage(); }
    PromptChoice ConfirmSilentInstall(bool allowIgnore) override {
        return QLNUpgradeUI::PromptSilentInstallConfirmation(allowIgnore);
    }
};

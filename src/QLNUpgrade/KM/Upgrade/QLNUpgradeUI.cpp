#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"

#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLangHelper.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMWinOSUtils.h"

#include <atomic>

namespace {

constexpr wchar_t kDialogTitle[] = L"Quillon";
constexpr UINT kDialogWidth = 200;
constexpr int kStringBufferChars = 4096;

struct BuiltInText {
    UINT id;
    const wchar_t* text;
};

// The English texts, used where neither the language module nor the own
// string table has the id. 40635 is shorter here than in the own table.
constexpr BuiltInText kBuiltInTexts[] = {
    {40600, L"Quillon Upgrade"},
    {40601, L"Quillon %s is available"},
    {40602, L"Your current version: %s\nLatest version: %s\n\nDo you want to upgrade now?"},
    {40603, L"Upgrade now"},
    {40604, L"Later"},
    {40605, L"The installer has been launched. Please follow the setup wizard to complete the update."},
    {40606, L"Failed to launch the installer: %s"},
    {40607, L"Silent upgrade completed successfully. The new version will take effect on next launch."},
    {40608, L"Upgrade completed. Some components (such as overlay icons, context menus) require a restart to take effect."},
    {40609, L"Silent upgrade failed: %s"},
    {40610, L"Silent upgrade failed. Would you like to launch the installer for a manual upgrade?"},
    {40611, L"The upgrade may restart Windows Explorer and related programs."},
    {40612, L"During the upgrade, Windows Explorer and some related processes may be temporarily restarted to replace "
            L"system files.\n\nPlease save your work before continuing."},
    {40613, L"Continue upgrade"},
    {40614, L"Cancel upgrade"},
    {40615, L"Upgrade completed. Is Windows Explorer working properly?"},
    {40616, L"The upgrade has been completed successfully.\n\nPlease check if Windows Explorer (file browsing, taskbar, "
            L"desktop) is working properly.\nIf not, click \"Restart Explorer\" to restart it."},
    {40617, L"Restart Explorer"},
    {40618, L"Everything is fine"},
    {40619, L"Upgrade completed. A restart is needed for some changes to take effect."},
    {40620, L"Some components (such as overlay icons, context menus, etc.) were in use during the upgrade and will not "
            L"take effect until the system is restarted.\n\nWould you like to restart your computer now?"},
    {40621, L"Restart now"},
    {40622, L"Restart later"},
    {40623, L"A previous upgrade was interrupted"},
    {40624, L"An upgrade to version %s was not completed last time.\n\nIt is recommended to complete the upgrade now to "
            L"avoid potential issues."},
    {40625, L"Upgrade now"},
    {40626, L"Later"},
    {40627, L"Unknown error"},
    {40628, L"Upgrade completed successfully"},
    {40629, L"Quillon has been upgraded successfully. Some core components may require a system restart to take full "
            L"effect."},
    {40630, L"An upgrade is already in progress"},
    {40631, L"A Quillon upgrade has already been started. If you do not see its dialog, please check other windows (it "
            L"may be hidden or minimized) and complete it before starting a new one."},
    {40632, L"Quillon %s is ready to install"},
    {40633, L"A new version of Quillon has been downloaded and is ready to be installed silently.\n\nClick \"Upgrade "
            L"now\" to proceed, or \"Later\" to postpone."},
    {40634, L"Upgrade now"},
    {40635, L"The installer package verification failed: %s"},
    {40637, L"Upgrade failed: %s"},
    {40638, L"Manual install"},
    {40639, L"Cancel"},
    {40640, L"OK"},
    {40641, L"You are up to date"},
    {40642, L"Quillon is already the latest version (current: %s). No update is needed at this time.\n\nIf you have any "
            L"questions, please contact Marlow helper."},
    {40643, L"Installer package verification failed"},
    {40644, L"The installer package could not be verified (file may be incomplete or corrupted).\n\nDo you still want "
            L"to continue with the installation?"},
    {40645, L"Continue anyway"},
    {40646, L"Cancel upgrade"},
    {40647, L"Ignore this Version"},
};

const wchar_t* BuiltIn(UINT id) {
    for (const auto& entry : kBuiltInTexts) {
        if (entry.id == id) return entry.text;
    }
    return nullptr;
}

// The text of id with its built-in default.
std::wstring Text(UINT id) {
    return QLNUpgradeUI::LoadUIString(id, BuiltIn(id));
}

std::wstring LoadFromModule(HMODULE module, UINT id) {
    std::wstring buffer(kStringBufferChars, L'\0');
    const int length = ::LoadStringW(module, id, buffer.data(), kStringBufferChars);
    buffer.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return buffer;
}

// The flash state of the one flashing dialog; see QLNUpgradeUI::FlashState.
std::atomic<int> s_flashLastStep{-1};
std::atomic<bool> s_flashStopped{false};

void FlashTaskbarOnce(HWND hwnd) {
    FLASHWINFO info{sizeof(info), hwnd, FLASHW_TRAY, 1, 0};
    ::FlashWindowEx(&info);
}

void StopFlashing(HWND hwnd) {
    FLASHWINFO info{sizeof(info), hwnd, FLASHW_STOP, 0, 0};
    ::FlashWindowEx(&info);
}

HRESULT CallTaskDialog(const TASKDIALOGCONFIG& config, int* button) {
    if (qln::seams::g_taskDialogIndirect) return qln::seams::g_taskDialogIndirect(&config, button, nullptr, nullptr);
    // Looked up at run time: only comctl32 version 6, which the manifest asks
    // for, has task dialogs, and the program must still start without them.
    using Fn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    HMODULE comctl = ::LoadLibraryW(L"comctl32.dll");
    if (!comctl) return HRESULT_FROM_WIN32(::GetLastError());
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(comctl, "TaskDialogIndirect")));
    if (!fn) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    return fn(&config, button, nullptr, nullptr);
}

TASKDIALOGCONFIG BaseConfig(const std::wstring& mainInstruction, const std::wstring& content, PCWSTR icon) {
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.pszWindowTitle = kDialogTitle;
    config.pszMainIcon = icon;
    config.pszMainInstruction = mainInstruction.c_str();
    config.pszContent = content.c_str();
    config.cxWidth = kDialogWidth;
    config.pfCallback = &QLNUpgradeUI::DialogCallback;
    return config;
}

PromptChoice ToPromptChoice(int button) {
    if (button == IDYES) return PromptChoice::UpgradeNow;
    if (button == IDIGNORE) return PromptChoice::IgnoreVersion;
    return PromptChoice::Later;
}

PromptChoice ShowNewVersionPrompt(UINT mainId, const std::wstring& content, UINT yesId, const std::wstring& newVersion,
                                  bool allowIgnore) {
    const int button = QLNUpgradeUI::ShowChoiceTaskDialog(
        QLNUpgradeUI::FormatText(Text(mainId), {newVersion}), content, Text(yesId), Text(40604), TD_INFORMATION_ICON,
        IDYES, true, allowIgnore ? Text(40647) : std::wstring());
    return ToPromptChoice(button);
}

bool SuccessNotifyEnabled() {
    return KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetBool("SilentUpgradeSuccessNotify");
}

}  // namespace

std::wstring QLNUpgradeUI::FormatText(const std::wstring& format, std::initializer_list<std::wstring_view> arguments) {
    std::wstring out;
    auto next = arguments.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size() && (format[i + 1] == L's' || format[i + 1] == L'%')) {
            if (format[i + 1] == L'%') {
                out += L'%';
            } else if (next != arguments.end()) {
                out += *next++;
            }
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

std::wstring QLNUpgradeUI::LoadUIString(UINT id, const wchar_t* builtIn) {
    if (HMODULE language = KMLangHelper::GetLanguageModule()) {
        std::wstring text = LoadFromModule(language, id);
        if (!text.empty()) return text;
    }
    std::wstring own = LoadFromModule(::GetModuleHandleW(nullptr), id);
    if (!own.empty()) return own;
    return builtIn ? builtIn : L"";
}

int QLNUpgradeUI::ShowChoiceTaskDialog(const std::wstring& mainInstruction, const std::wstring& content,
                                       const std::wstring& yesText, const std::wstring& noText, PCWSTR icon,
                                       int defaultButton, bool flash, const std::wstring& ignoreText) {
    const TASKDIALOG_BUTTON buttons[] = {
        {IDYES, yesText.c_str()},
        {IDNO, noText.c_str()},
        {IDIGNORE, ignoreText.c_str()},
    };
    TASKDIALOGCONFIG config = BaseConfig(mainInstruction, content, icon);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_USE_COMMAND_LINKS | (flash ? TDF_CALLBACK_TIMER : 0);
    config.pButtons = buttons;
    config.cButtons = ignoreText.empty() ? 2 : 3;
    config.nDefaultButton = defaultButton;
    config.lpCallbackData = flash ? 1 : 0;
    int button = 0;
    const HRESULT hr = CallTaskDialog(config, &button);
    if (FAILED(hr)) {
        KM_LOG_WARN(L"TaskDialogIndirect failed (hr=0x{:08X}), returning IDNO", static_cast<unsigned long>(hr));
        return IDNO;
    }
    return button;
}

void QLNUpgradeUI::ShowOneButtonTaskDialog(const std::wstring& mainInstruction, const std::wstring& content,
                                           const std::wstring& okText, PCWSTR icon) {
    const TASKDIALOG_BUTTON buttons[] = {{IDOK, okText.c_str()}};
    TASKDIALOGCONFIG config = BaseConfig(mainInstruction, content, icon);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    config.pButtons = buttons;
    config.cButtons = 1;
    config.nDefaultButton = IDOK;
    int button = 0;
    const HRESULT hr = CallTaskDialog(config, &button);
    if (FAILED(hr)) KM_LOG_WARN(L"TaskDialogIndirect failed (hr=0x{:08X})", static_cast<unsigned long>(hr));
}

HRESULT CALLBACK QLNUpgradeUI::DialogCallback(HWND hwnd, UINT notification, WPARAM wParam, LPARAM, LONG_PTR refData) {
    switch (notification) {
    case TDN_CREATED:
        ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, 0);
        ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, 0);
        if (refData == 0) break;
        s_flashLastStep = -1;
        s_flashStopped = false;
        // Comes up minimised and without focus: the user is not interrupted,
        // only the taskbar button asks for attention.
        ::ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        ::ShowWindow(hwnd, SW_SHOWMINNOACTIVE);
        FlashTaskbarOnce(hwnd);
        break;
    case TDN_TIMER: {
        if (refData == 0 || s_flashStopped) break;
        const auto elapsedMs = static_cast<unsigned long long>(wParam);
        if ((elapsedMs > 500 && !::IsIconic(hwnd)) || elapsedMs > 60000) {
            s_flashStopped = true;
            StopFlashing(hwnd);
            break;
        }
        const int step = static_cast<int>(elapsedMs / 500);
        if (step == s_flashLastStep) break;
        s_flashLastStep = step;
        FlashTaskbarOnce(hwnd);
        break;
    }
    case TDN_DESTROYED:
        if (refData != 0) StopFlashing(hwnd);
        break;
    default:
        break;
    }
    return S_OK;
}

void QLNUpgradeUI::SetTaskDialogForTest(qln::seams::TaskDialogIndirectFn fn) noexcept {
    qln::seams::g_taskDialogIndirect = fn;
}

QLNUpgradeUI::FlashState QLNUpgradeUI::GetFlashState() {
    return {s_flashLastStep.load(), s_flashStopped.load()};
}

PromptChoice QLNUpgradeUI::PromptUpgradeAvailable(const std::wstring& newVersion, bool allowIgnore) {
    return ShowNewVersionPrompt(40601, FormatText(Text(40602), {CurrentVersion, newVersion}), 40603, newVersion,
                                allowIgnore);
}

PromptChoice QLNUpgradeUI::PromptSilentUpgradeReady(const std::wstring& newVersion, bool allowIgnore) {
    return ShowNewVersionPrompt(40632, Text(40633), 40634, newVersion, allowIgnore);
}

bool QLNUpgradeUI::PromptResumeUpgrade(const std::wstring& version) {
    return ShowChoiceTaskDialog(Text(40623), FormatText(Text(40624), {version}), Text(40625), Text(40626),
                                TD_WARNING_ICON, IDYES, false) == IDYES;
}

bool QLNUpgradeUI::PromptUnverifiedPackage() {
    return ShowChoiceTaskDialog(Text(40643), Text(40644), Text(40645), Text(40646), TD_WARNING_ICON, IDNO, false) ==
           IDYES;
}

void QLNUpgradeUI::PromptRebootConfirmation(bool installedByMsi) {
    KM_LOG_INFO(L"Showing reboot confirmation dialog");
    const int button =
        ShowChoiceTaskDialog(Text(40619), Text(40620), Text(40621), Text(40622), TD_WARNING_ICON, IDYES, false);
    if (button == IDYES) {
        KM_LOG_INFO(L"User chose to reboot now");
        if (KMWinOSUtils::RebootSystem()) return;
        KM_LOG_ERROR(L"Failed to initiate system reboot, falling back to Explorer check");
    } else {
        KM_LOG_INFO(L"User chose to restart later");
        if (!installedByMsi) return;
        KM_LOG_INFO(L"Checking Explorer health after MSI install");
    }
    PromptExplorerHealthCheck();
}

void QLNUpgradeUI::PromptExplorerHealthCheck() {
    KM_LOG_INFO(L"Showing post-install Explorer check dialog");
    const int button =
        ShowChoiceTaskDialog(Text(40615), Text(40616), Text(40617), Text(40618), TD_INFORMATION_ICON, IDNO, false);
    if (button == IDYES) {
        KM_LOG_INFO(L"User chose to restart Explorer");
        KMWinOSUtils::RestartExplorer();
    } else {
        KM_LOG_INFO(L"User confirmed Explorer is working fine, no restart needed");
    }
}

void QLNUpgradeUI::PromptUpgradeSuccess() {
    KM_LOG_INFO(L"Showing upgrade success dialog");
    ShowOneButtonTaskDialog(Text(40628), Text(40629), Text(40640), TD_INFORMATION_ICON);
}

void QLNUpgradeUI::PromptUpgradeAlreadyInProgress() {
    KM_LOG_INFO(L"Showing upgrade-already-in-progress dialog");
    ShowOneButtonTaskDialog(Text(40630), Text(40631), Text(40640), TD_INFORMATION_ICON);
}

void QLNUpgradeUI::PromptNoNewVersion() {
    KM_LOG_INFO(L"Showing no-new-version dialog");
    ShowOneButtonTaskDialog(Text(40641), FormatText(Text(40642), {CurrentVersion}), Text(40640), TD_INFORMATION_ICON);
}

void QLNUpgradeUI::ShowErrorMessage(UINT id, const wchar_t* builtInFormat, const std::wstring& argument, PCWSTR icon) {
    ShowOneButtonTaskDialog(FormatText(LoadUIString(id, builtInFormat), {argument}), std::wstring(), Text(40640), icon);
}

std::wstring QLNUpgradeUI::GetFailureText(const std::wstring& lastError) {
    return lastError.empty() ? Text(40627) : lastError;
}

void QLNUpgradeUI::HandleSuccessNotification(UpgradeType type, UpgradeResult result) {
    if (type == UpgradeType::Manual) return;
    switch (result) {
    case UpgradeResult::Success:
        if (SuccessNotifyEnabled()) PromptExplorerHealthCheck();
        break;
    case UpgradeResult::SuccessByReplace:
        if (SuccessNotifyEnabled()) PromptUpgradeSuccess();
        break;
    case UpgradeResult::SuccessNeedReboot:
        PromptRebootConfirmation(true);
        break;
    case UpgradeResult::SuccessByReplaceNeedReboot:
        PromptRebootConfirmation(false);
        break;
    default:
        break;
    }
}

bool QLNUpgradeUI::HandleFailureNotification(UpgradeType type, UpgradeResult result, const std::wstring& lastError) {
    switch (result) {
    case UpgradeResult::Success:
    case UpgradeResult::SuccessNeedReboot:
    case UpgradeResult::SuccessByReplace:
    case UpgradeResult::SuccessByReplaceNeedReboot:
    case UpgradeResult::InvalidVersion:
    case UpgradeResult::Cancelled:
        return false;
    case UpgradeResult::AlreadyInProgress:
        PromptUpgradeAlreadyInProgress();
        return false;
    case UpgradeResult::FallbackToManual:
        if (type == UpgradeType::Manual) break;
        if (ShowChoiceTaskDialog(Text(40610), std::wstring(), Text(40638), Text(40639), TD_WARNING_ICON, IDYES,
                                 false) == IDYES) {
            KM_LOG_INFO(L"User confirmed fallback to manual install");
            return true;
        }
        KM_LOG_INFO(L"User declined fallback to manual install");
        return false;
    case UpgradeResult::MsiVerificationFailed:
        ShowErrorMessage(40635, BuiltIn(40635), GetFailureText(lastError), TD_ERROR_ICON);
        return false;
    case UpgradeResult::Failed:
        ShowErrorMessage(40606, BuiltIn(40606), GetFailureText(lastError), TD_WARNING_ICON);
        return false;
    default:
        break;
    }
    const std::wstring text = GetFailureText(lastError);
    KM_LOG_ERROR(L"Unexpected upgrade result {} \u2014 {}", static_cast<int>(result), text);
    ShowErrorMessage(40637, BuiltIn(40637), text, TD_ERROR_ICON);
    return false;
}

void QLNUpgradeUI::ReportManualFallback(UpgradeResult result, const std::wstring& lastError) {
    if (result == UpgradeResult::MsiVerificationFailed || result == UpgradeResult::Failed)
        ShowErrorMessage(40606, BuiltIn(40606), GetFailureText(lastError), TD_WARNING_ICON);
}

PromptChoice QLNUpgradeUI::PromptSilentInstallConfirmation(bool allowIgnore) {
    const std::wstring title = LoadUIString(40611, L"The upgrade may restart Windows Explorer and related programs.");
    const std::wstring content = LoadUIString(
        40612,
        L"During the upgrade, Windows Explorer and some related processes may be temporarily restarted to replace "
        L"system files.\n\nPlease save your work before continuing.");
    const std::wstring ignore = allowIgnore ? LoadUIString(40647, L"Ignore this Version") : std::wstring();
    const int button = ShowChoiceTaskDialog(title, content, LoadUIString(40613, L"Continue upgrade"),
                                            LoadUIString(40614, L"Cancel upgrade"), TD_WARNING_ICON, IDYES, false, ignore);
    if (button == IDIGNORE) return PromptChoice::IgnoreVersion;
    if (button == IDYES) return PromptChoice::UpgradeNow;
    KM_LOG_INFO(L"User cancelled MSI install confirmation (button={})", button);
    return PromptChoice::Later;
}

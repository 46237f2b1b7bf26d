#include "QLNUpgrade/QLNUpgradeApp.h"

#include "QLNUpgrade/CrashReportHook.h"
#include "QLNUpgrade/QLNElevation.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeEngine.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/QLNUpgradeHelper.h"
#include "QLNUpgrade/QLNUpgradeWindow.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMAutoStartHelper.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/KM/KMLangHelper.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <shellapi.h>

#include <mutex>

namespace {

constexpr wchar_t kMutexBaseName[] = L"QLNUpgradeMutex";

// The working directory comes from whoever started the program and may be
// one that a process without administrator rights can write to, while a
// program started by bare name (the installer) is looked for there before
// the system folder. The system folder is used instead, not the program's own
// one: an open working directory there would keep the installer from
// renaming or removing it.
void UseSystemDirectoryAsWorkingDirectory() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        KM_LOG_ERROR(L"GetSystemDirectory failed, error: {}; the working directory stays as inherited",
                     length == 0 ? ::GetLastError() : DWORD{ERROR_INSUFFICIENT_BUFFER});
        return;
    }
    if (!::SetCurrentDirectoryW(system)) {
        KM_LOG_ERROR(L"Could not make {} the working directory, error: {}; the working directory stays as inherited", system,
                     ::GetLastError());
    }
}

// The installation an elevated copy acts on, derived once from where its
// image really lies (links resolved): a link on the path it was started by
// may be re-pointed while it runs. Empty when the path cannot be had.
std::wstring RealInstallRoot() {
    const std::wstring image = GetModuleFinalPath();
    const size_t slash = image.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : QLNUpgradeEngine::InstallRootOf(image.substr(0, slash));
}

}  // namespace

CommandLineRequest ReadCommandLine() {
    int argc = 0;
    qln::UniqueLocalMem argvMem(KMSystemLibrary::Require(L"shell32.dll") ? ::CommandLineToArgvW(::GetCommandLineW(), &argc)
                                                                        : nullptr);
    const auto argv = static_cast<const wchar_t* const*>(argvMem.get());
    return argv ? ParseCommandLineArgs(argc, argv) : CommandLineRequest{};
}

CommandLineRequest ParseCommandLineArgs(int argc, const wchar_t* const* argv) {
    CommandLineRequest request;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] && qln::EqualsNoCase(argv[i], kSwitchHandedOver)) request.handedOver = true;
        if (request.elevated) continue;
        const auto type = QLNElevation::TypeOfSwitch(argv[i]);
        if (!type) continue;
        if (!QLNElevation::TakesVersion(*type)) {
            request.elevated = type;
        } else if (i + 1 < argc) {
            request.elevated = type;
            request.version = argv[++i];
        }
    }
    return request;
}

HandOver HandOverToShell(const CommandLineRequest& request) {
    if (request.elevated || request.handedOver || !KMWinOSUtils::IsRunningAsAdmin() ||
        KMWinOSUtils::IsShellElevated() != false) {
        return HandOver::NotNeeded;
    }
    const std::wstring path = GetModuleFileNameWhole();
    if (path.empty()) return HandOver::Failed;
    return KMWinOSUtils::RunAsShell(path, L"\"" + path + L"\" " + kSwitchHandedOver) ? HandOver::Started
                                                                                    : HandOver::Failed;
}

std::wstring GetLogonSessionSuffix() {
    static std::once_flag once;
    static std::wstring suffix;
    std::call_once(once, [] {
        qln::UniqueHandle token;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return;
        DWORD needed = 0;
        ::GetTokenInformation(token.get(), TokenStatistics, nullptr, 0, &needed);
        if (needed < sizeof(TOKEN_STATISTICS)) return;
        TOKEN_STATISTICS stats{};
        if (!::GetTokenInformation(token.get(), TokenStatistics, &stats, sizeof(stats), &needed)) return;
        suffix = fmt::format(L"-{:08x}{:08x}", static_cast<unsigned long>(stats.AuthenticationId.HighPart),
                             static_cast<unsigned long>(stats.AuthenticationId.LowPart));
    });
    return suffix;
}

std::wstring GetUpgradeMutexName() {
    return std::wstring(kMutexBaseName) + GetLogonSessionSuffix();
}

void InitializeStartupLogging() {
    const std::wstring configured = KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetValue("LoggerDir", L"");
    if (configured.empty()) {
        CRegStdString loggerDir(L"Software\\Quillon\\KM\\LoggerDir", L"");
        loggerDir.Write(GetLocalDataDirectory() + L"Logger\\");
    }
    (void)KMLoggerHelper::Initialize(L".upgrade.log");
    const std::wstring raw = KMLoggerHelper::ReadRegistryString(L"Software\\Quillon\\KM", L"LoggerDir", L"");
    if (KMLoggerHelper::IsRefusedLoggerDir(raw)) {
        KM_LOG_WARN(L"LoggerDir '{}' holds a quote or a control character and is not used; logging to {}", raw,
                    KMLoggerHelper::DefaultLogDir());
    }
}

void InitializeAdminLogging() {
    const std::wstring& folder = QLNAdminLogFolder::Open();
    // Without the protected folder the copy logs nowhere rather than anywhere a
    // link in the user's folders would send it.
    if (folder.empty() || !KMLoggerHelper::Initialize(L".upgrade.log", folder)) return;
    KM_LOG_INFO(L"Elevated copy: logging to {}; LoggerDir is not used", folder);
    QLNAdminLogFolder::RemoveOldFiles();
}


int RunUpgradeMain(HINSTANCE instance) {
    ::SetDllDirectoryW(L"");
    // The lower floors ask the configuration and the user through these.
    KMHttpUtils::SetExtraHeadersSource(&KMConfigManager::ExtraHttpHeaders);
    static QLNUpgradePrompts prompts;
    SetUpgradeQuestions(&prompts);
    // What kind of run this is decides where it may write, before anything
    // the user can change is read.
    const CommandLineRequest request = ReadCommandLine();
    const HandOver handOver = HandOverToShell(request);
    if (handOver == HandOver::Started) return 0;
    const bool adminRun = request.elevated.has_value();
    const std::wstring installRoot = adminRun ? RealInstallRoot() : std::wstring();
    if (adminRun) {
        InitializeAdminLogging();
        // What it loads comes from the registered installation only.
        if (IsRegisteredInstallRoot(installRoot)) (void)GetCrashHandler(installRoot + L"\\bin");
    } else {
        InitializeStartupLogging();
    }
    if (handOver == HandOver::Failed) {
        KM_LOG_WARN(L"This daemon has administrator rights that the user's shell has not, and could not start itself "
                    L"with the shell's rights; carrying on");
    } else if (request.handedOver && KMWinOSUtils::IsRunningAsAdmin() && KMWinOSUtils::IsShellElevated() == false) {
        KM_LOG_WARN(L"Started with the shell's rights, but still has administrator rights; carrying on");
    }
    UseSystemDirectoryAsWorkingDirectory();
    KMLangHelper::LoadLanguageDll(adminRun ? installRoot + L"\\" : GetProductDirectory());
    KM_LOG_INFO(L"QLNUpgrade starting...");
    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();

    if (request.elevated) {
        KM_LOG_INFO(L"Elevated {} upgrade mode{}{}", UpgradeTypeLogWord(*request.elevated),
                    QLNElevation::TakesVersion(*request.elevated) ? L", version: " : L"", request.version);
        return RunElevatedAction(*request.elevated, request.version, installRoot);
    }

    KMAutoStartHelper::RegisterCurrentExe();

    qln::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, GetUpgradeMutexName().c_str()));
    if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        KM_LOG_WARN(L"Another instance is already running, exiting.");
        return 0;
    }

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.lpszClassName = kUpgradeWindowClass;
    ::RegisterClassExW(&wc);

    HWND hwnd = ::CreateWindowExW(0, kUpgradeWindowClass, kUpgradeWindowTitle, WS_CAPTION, 0, 0, 800, 300, nullptr, nullptr,
                                  instance, nullptr);
    if (!hwnd) {
        KM_LOG_ERROR(L"Failed to create hidden window");
        return 1;
    }

    ::SetTimer(hwnd, kTimerStartupCleanup, kStartupCleanupDelayMs, nullptr);
    ::SetTimer(hwnd, kTimerFirstCheck, kFirstCheckDelayMs, nullptr);

    KM_LOG_INFO(L"Entering message loop (daemon mode)");
    RunMessageLoop();
    KM_LOG_INFO(L"Exiting.");
    return 0;
}


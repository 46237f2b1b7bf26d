#include "QLNUpgrade/KM/Upgrade/MsiInstallerRun.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"

std::wstring MsiInstallLogPath() {
    // The directory of the log file in use. Without one (logging off, or its
    // folder could not be made) the default folder: the configured text was
    // not proven to be a folder, and it goes on the installer's command line.
    std::wstring dir = KMLoggerHelper::CurrentLogPath();
    const size_t slash = dir.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        dir = KMLoggerHelper::DefaultLogDir();
        (void)CreateDirectoryPath(dir);  // msiexec refuses to run when it cannot open its log
    } else {
        dir.resize(slash + 1);
    }
    return dir + KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.msi.log";
}

MsiProgressRecord::MsiProgressRecord(const wchar_t* upgradeType, const std::wstring& version, const std::wstring& stagingDir) {
    QLNUpgradeProgress progress;
    progress.inProgress = true;
    progress.upgradeType = upgradeType;
    progress.targetVersion = version;
    progress.stagingDir = stagingDir;
    progress.SaveUpgradeProgress();
}

MsiProgressRecord::~MsiProgressRecord() {
    UpdateUpgradeState(m_outcome);
    ClearUpgradeProgress();
}

std::optional<UpgradeResult> LaunchMsiexec(const std::wstring& parameters, int showCommand, const wchar_t* failureText,
                                           UpgradeContext& ctx, MsiProgressRecord& progress, qln::UniqueHandle& process) {
    DWORD error = ERROR_SUCCESS;
    if (QLNWindowsInstaller::StartInstaller(parameters, showCommand, !KMWinOSUtils::IsRunningAsAdmin(), process, error))
        return std::nullopt;
    if (error == ERROR_CANCELLED) {
        KM_LOG_INFO(L"User declined UAC elevation prompt");
        ctx.errorText = L"User declined UAC elevation";
        progress.SetOutcome(L"Cancelled");
        return UpgradeResult::Cancelled;
    }
    ctx.errorText = failureText;
    KM_LOG_ERROR(L"ShellExecuteEx failed, error: {}", error);
    return UpgradeResult::StrategyFailed;
}

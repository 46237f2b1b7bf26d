#include "QLNUpgrade/KM/Upgrade/MsiInstallerRun.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"

std::wstring MsiInstallLogPath(const UpgradeContext& ctx) {
    std::wstring dir;
    if (ctx.elevatedCopy) {
        dir = QLNAdminLogFolder::Open();
        if (dir.empty()) return {};
    } else {
        dir = KMLoggerHelper::CurrentLogPath();
        const size_t slash = dir.find_last_of(L"\\/");
        dir.resize(slash == std::wstring::npos ? 0 : slash + 1);
        // Logging off or its folder failed: the configured folder, which
        // ReadLoggerDir gives only when it is safe on a command line.
        if (dir.empty()) dir = KMLoggerHelper::ReadLoggerDir();
        if (dir.empty()) dir = KMLoggerHelper::DefaultLogDir();
        (void)CreateDirectoryPath(dir);  // msiexec refuses to run when it cannot open its log
    }
    return dir + KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.msi.log";
}

std::optional<std::wstring> MsiInstallerCommandLine(QLNWindowsInstaller::Run run, const wchar_t* failureText,
                                                    UpgradeContext& ctx) {
    const std::wstring logPath = MsiInstallLogPath(ctx);
    KM_LOG_INFO(L"MSI install log: {}", logPath);
    const auto parameters = logPath.empty() ? std::nullopt : QLNWindowsInstaller::BuildCommandLine(run, ctx.msiPath, logPath);
    if (!parameters) {
        if (logPath.empty()) KM_LOG_ERROR(L"No protected folder for the installer log; not starting msiexec");
        ctx.errorText = failureText;
    }
    return parameters;
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

#include "QLNUpgrade/KM/Upgrade/MsiManualUpgradeStrategy.h"

#include "QLNUpgrade/KM/Upgrade/MsiInstallerRun.h"
#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "Utils/KM/KMLog.h"

UpgradeResult MsiManualUpgradeStrategy::Execute(UpgradeContext& ctx) {
    KM_LOG_INFO(L"Starting manual upgrade for version {}", ctx.version);
    (void)QLNMsiPackage::CreateMsiPackageAlias(ctx.msiPath, ctx.stagingDir);

    MsiProgressRecord progress(L"manual", ctx.version, ctx.stagingDir);
    KM_LOG_INFO(L"Launching interactive MSI installer: {}", ctx.msiPath);
    const auto parameters =
        MsiInstallerCommandLine(QLNWindowsInstaller::Run::InteractiveInstall, L"Failed to launch msiexec for interactive installation", ctx);
    if (!parameters) return UpgradeResult::StrategyFailed;

    qln::UniqueHandle process;
    if (const auto notStarted = LaunchMsiexec(*parameters, SW_SHOWNORMAL,
                                              L"Failed to launch msiexec for interactive installation", ctx, progress, process))
        return *notStarted;

    bool exited = false;
    DWORD exitCode = 1;
    if (process) {
        KM_LOG_INFO(L"Waiting for MSI installer to finish...");
        ::WaitForSingleObject(process.get(), INFINITE);
        ::GetExitCodeProcess(process.get(), &exitCode);
        process.reset();
        exited = true;
        KM_LOG_INFO(L"MSI installer exited with code {}", exitCode);
    }

    if (exited && exitCode == QLNWindowsInstaller::kExitSuccess) {
        KM_LOG_INFO(L"Interactive MSI upgrade completed successfully");
        progress.SetOutcome(L"Succeeded");
        return UpgradeResult::Success;
    }
    if (exited && (exitCode == QLNWindowsInstaller::kExitRebootInitiated || exitCode == QLNWindowsInstaller::kExitRebootRequired)) {
        KM_LOG_INFO(L"Interactive MSI upgrade completed, reboot required (exit code {})", exitCode);
        progress.SetOutcome(L"Succeeded");
        return UpgradeResult::SuccessNeedReboot;
    }
    if (exited && exitCode == QLNWindowsInstaller::kExitUserCancelled) {
        KM_LOG_INFO(L"Interactive MSI upgrade cancelled by user");
        progress.SetOutcome(L"Cancelled");
        return UpgradeResult::Cancelled;
    }
    ctx.errorText = L"Interactive MSI upgrade failed";
    KM_LOG_ERROR(L"Interactive MSI upgrade failed");
    return UpgradeResult::StrategyFailed;
}

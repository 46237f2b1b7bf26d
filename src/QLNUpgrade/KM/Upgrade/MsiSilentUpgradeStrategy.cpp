#include "QLNUpgrade/KM/Upgrade/MsiSilentUpgradeStrategy.h"

#include "QLNUpgrade/KM/Upgrade/MsiInstallerRun.h"
#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeQuestions.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLog.h"
#include "Utils/StringConv.h"

namespace {

// False when the user did not agree; ctx.errorText then says why.
bool ConfirmInstall(UpgradeContext& ctx, UpgradeResult& result) {
    KM_LOG_INFO(L"Showing MSI install confirmation dialog to user");
    // Ignoring is offered only for the version the user was told about, and
    // never for a forced release.
    QLNVersionInfo cached;
    QLNVersionChecker::LoadFromRegistry(cached);
    const bool sameVersion = !ctx.version.empty() &&
                             qln::EqualsNoCase(cached.version, ctx.version);
    const PromptChoice choice = UpgradeQuestions().ConfirmSilentInstall(!cached.force && sameVersion);
    if (choice == PromptChoice::IgnoreVersion) {
        KM_LOG_INFO(L"User ignored MSI silent upgrade for version {}", ctx.version);
        (void)QLNVersionChecker::SaveIgnoredFor(ctx.version);
        ctx.errorText = L"User ignored this version";
        result = UpgradeResult::Cancelled;
        return false;
    }
    if (choice == PromptChoice::UpgradeNow) {
        KM_LOG_INFO(L"User confirmed MSI install, proceeding");
        return true;
    }
    ctx.errorText = L"User cancelled the upgrade";
    result = UpgradeResult::Cancelled;
    return false;
}

}  // namespace

UpgradeResult MsiSilentUpgradeStrategy::Execute(UpgradeContext& ctx) {
    KM_LOG_INFO(L"Starting silent upgrade (by MSI) to version {}", ctx.version);
    (void)QLNMsiPackage::CreateMsiPackageAlias(ctx.msiPath, ctx.stagingDir);

    if (KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetBool("MsiSilentUpgradePreNotify")) {
        UpgradeResult declined = UpgradeResult::Cancelled;
        if (!ConfirmInstall(ctx, declined)) return declined;
    }

    KM_LOG_INFO(L"Launching MSI silent install: {}", ctx.msiPath);
    const auto parameters =
        MsiInstallerCommandLine(QLNWindowsInstaller::Run::SilentInstall, L"Failed to launch msiexec for silent MSI install", ctx);
    if (!parameters) return UpgradeResult::StrategyFailed;

    MsiProgressRecord progress(L"silent", ctx.version, ctx.stagingDir);
    qln::UniqueHandle process;
    if (const auto notStarted =
            LaunchMsiexec(*parameters, SW_HIDE, L"Failed to launch msiexec for silent MSI install", ctx, progress, process))
        return *notStarted;
    if (!process) {
        // Without a process there is nothing to wait for and no exit code.
        ctx.errorText = L"MSI silent install failed";
        KM_LOG_ERROR(L"msiexec exit code: {}", 1);
        return UpgradeResult::StrategyFailed;
    }

    const DWORD limit = qln::seams::g_silentMsiTimeoutMs ? qln::seams::g_silentMsiTimeoutMs : kInstallTimeoutMs;
    if (::WaitForSingleObject(process.get(), limit) == WAIT_TIMEOUT) {
        KM_LOG_ERROR(L"MSI silent install timed out after {} ms, terminating", limit);
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), kTerminateWaitMs);
        process.reset();
        ctx.errorText = L"MSI silent install timed out";
        return UpgradeResult::StrategyFailed;
    }
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.get(), &exitCode);
    process.reset();

    switch (exitCode) {
        case QLNWindowsInstaller::kExitSuccess:
            KM_LOG_INFO(L"MSI silent install completed successfully");
            progress.SetOutcome(L"Succeeded");
            return UpgradeResult::Success;
        case QLNWindowsInstaller::kExitRebootInitiated:
        case QLNWindowsInstaller::kExitRebootRequired:
            KM_LOG_INFO(L"MSI silent install completed, reboot required (exit code: {})", exitCode);
            progress.SetOutcome(L"Succeeded");
            return UpgradeResult::SuccessNeedReboot;
        default:
            ctx.errorText = L"MSI silent install failed";
            KM_LOG_ERROR(L"msiexec exit code: {}", exitCode);
            return UpgradeResult::StrategyFailed;
    }
}

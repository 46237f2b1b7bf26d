#include "QLNUpgrade/KM/Upgrade/QLNUpgradeEngine.h"

#include "QLNUpgrade/KM/Upgrade/MsiManualUpgradeStrategy.h"
#include "QLNUpgrade/KM/Upgrade/MsiSilentUpgradeStrategy.h"
#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNPackageHold.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeConfig.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"

#include <cwctype>

namespace {

std::atomic<QLNUpgradeEngine::ChainFactory> g_chainFactory{nullptr};

constexpr std::int32_t Code(UpgradeResult r) noexcept {
    return static_cast<std::int32_t>(r);
}

bool IsValidVersion(const std::wstring& version) {
    VersionNumber number{};
    return ParseVersionNumber(version, number);
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

UpgradeStrategyChain ChainFor(UpgradeType type, bool byReplace, bool byMsi) {
    if (const auto factory = g_chainFactory.load()) return factory(type);
    return type == UpgradeType::Manual ? MakeManualStrategyChain() : MakeSilentStrategyChain(byReplace, byMsi);
}

}  // namespace

UpgradeStrategyChain MakeSilentStrategyChain(bool byReplace, bool byMsi) {
    UpgradeStrategyChain chain;
    if (byReplace) chain.push_back(std::make_unique<ReplaceSilentUpgradeStrategy>());
    if (byMsi) chain.push_back(std::make_unique<MsiSilentUpgradeStrategy>());
    return chain;
}

UpgradeStrategyChain MakeManualStrategyChain() {
    UpgradeStrategyChain chain;
    chain.push_back(std::make_unique<MsiManualUpgradeStrategy>());
    return chain;
}

void QLNUpgradeEngine::SetChainFactory(ChainFactory factory) noexcept {
    g_chainFactory.store(factory);
}

std::wstring QLNUpgradeEngine::InstallRootOf(std::wstring appDirectory) {
    while (!appDirectory.empty() && appDirectory.back() == L'\\') appDirectory.pop_back();
    const size_t cut = appDirectory.rfind(L'\\');
    if (cut == std::wstring::npos || cut == 0) return appDirectory;
    return appDirectory.substr(0, cut);
}

void QLNUpgradeEngine::SetError(const std::wstring& text) {
    lastError = text;
    KM_LOG_ERROR(L"{}", text);
}

bool QLNUpgradeEngine::LockInstallation(const std::wstring& installRoot) {
    if (m_lock.Held() || !KMWinOSUtils::IsRunningAsAdmin() || m_lock.Acquire(installRoot)) return true;
    SetError(L"Another upgrade of this installation is already running");
    return false;
}

UpgradeResult QLNUpgradeEngine::Upgrade(const std::wstring& version, UpgradeStrategyChain chain, UpgradeResult fallback) {
    KM_LOG_INFO(L"Upgrade pipeline started: version={}, strategies={}, fallback={}", version, chain.size(), Code(fallback));
    if (upgrading.load()) {
        SetError(L"Another update is already in progress");
        return UpgradeResult::AlreadyInProgress;
    }
    upgrading.exchange(true);
    lastError.clear();
    auto releaseUpgrading = qln::ScopeExit([this] { upgrading.exchange(false); });

    if (!IsValidVersion(version)) {
        SetError(L"Invalid version format: " + version);
        return UpgradeResult::InvalidVersion;
    }
    if (HasPendingUpgrade()) {
        SetError(L"A previous upgrade is being resumed, skipping new upgrade");
        KM_LOG_WARN(L"HasPendingUpgrade() is true, rejecting upgrade for {}", version);
        return UpgradeResult::AlreadyInProgress;
    }
    const std::wstring installRoot = InstallRootOf(GetAppDirectory());
    // A second copy for this installation touches nothing, not even the
    // package the first one holds.
    if (!LockInstallation(installRoot)) return UpgradeResult::AlreadyInProgress;

    QLNVersionInfo target;
    target.version = version;
    const std::wstring url = QLNMsiPackage::BuildDownloadUrl(target);
    KM_LOG_INFO(L"Step 4: Download and verify MSI, url={}", url);
    std::wstring stagingDir;
    std::wstring msiPath;
    // The user's staging folder is the daemon's to clean: an elevated copy
    // deletes nothing in the user's folders.
    auto cleanupStaging = qln::ScopeExit([&] {
        if (m_role == Role::Daemon) QLNMsiPackage::CleanupStagingDir(stagingDir);
    });
    if (!QLNMsiPackage::EnsureMsiReady(target, url, stagingDir, msiPath)) {
        SetError(L"MSI package download or signature verification failed");
        return UpgradeResult::MsiVerificationFailed;
    }

    // The staging folder is writable by the user, and the installer may run
    // with administrator rights: from here on the package cannot be changed,
    // and it is checked again now that it is held, so that what the
    // installer reads is what was verified. Released before the clean-up.
    QLNPackageHold hold;
    if (!hold.Acquire(msiPath)) {
        SetError(L"MSI package download or signature verification failed");
        return UpgradeResult::MsiVerificationFailed;
    }

    UpgradeContext context{version, stagingDir, msiPath, installRoot, std::wstring(), m_role == Role::ElevatedCopy};
    // With administrator rights nothing is installed from, or restored from, a
    // folder the user can write: the package is copied into the protected
    // workspace and checked again there, and the strategies work in it.
    QLNUpgradeWorkspace workspace;
    auto removeWorkspace = qln::ScopeExit([&workspace] { workspace.Remove(); });
    if (KMWinOSUtils::IsRunningAsAdmin()) {
        if (!workspace.Open(installRoot, version)) {
            SetError(L"Failed to prepare the protected upgrade workspace");
            return UpgradeResult::Failed;
        }
        std::wstring copy;
        if (!workspace.TakePackage(hold.Handle(), ::PathFindFileNameW(msiPath.c_str()), copy) ||
            (hold.Verified() && !QLNMsiPackage::VerifyMsiPackage(copy))) {
            SetError(L"MSI package download or signature verification failed");
            return UpgradeResult::MsiVerificationFailed;
        }
        hold.Release();
        context.stagingDir = workspace.Path();
        context.msiPath = copy;
    }
    KM_LOG_INFO(L"Step 5: Executing strategy chain, installRoot={}", context.installRoot);
    for (const auto& strategy : chain) {
        KM_LOG_INFO(L"Attempting strategy: {}", strategy->GetName());
        context.errorText.clear();
        const UpgradeResult result = strategy->Execute(context);
        if (result != UpgradeResult::StrategyFailed) {
            KM_LOG_INFO(L"Strategy [{}] returned result {}", strategy->GetName(), Code(result));
            return result;
        }
        KM_LOG_WARN(L"Strategy [{}] failed: {}", strategy->GetName(), context.errorText);
    }
    if (!context.errorText.empty()) SetError(context.errorText);
    KM_LOG_WARN(L"All upgrade strategies exhausted, returning fallback result");
    return fallback;
}

UpgradeResult QLNUpgradeEngine::UpgradeSilently(const std::wstring& version) {
    KM_LOG_INFO(L"UpgradeSilently: starting for version {}", version);
    // The lock taken by the pipeline is kept until the outcome is recorded.
    auto releaseLock = qln::ScopeExit([this] {
        if (!resuming) m_lock.Release();
    });
    const KMConfigData config = KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo());
    const bool byReplace = config.GetBool("SilentUpgradeByReplace");
    const bool byMsi = config.GetBool("SilentUpgradeByMsi");
    KM_LOG_INFO(L"Silent upgrade strategy: ByReplace={}, ByMsi={}", byReplace, byMsi);
    const UpgradeResult result = Upgrade(version, ChainFor(UpgradeType::Silent, byReplace, byMsi), UpgradeResult::FallbackToManual);
    QLNUpgradeResultStore::AddResult(IsUpgradeSuccess(result), resuming ? L"resume_silent" : L"silent", version, Code(result));
    KM_LOG_INFO(L"UpgradeSilently: completed with result {}", Code(result));
    return result;
}

UpgradeResult QLNUpgradeEngine::UpgradeManual(const std::wstring& version) {
    KM_LOG_INFO(L"Starting manual upgrade for version {}", version);
    auto releaseLock = qln::ScopeExit([this] {
        if (!resuming) m_lock.Release();
    });
    const UpgradeResult result = Upgrade(version, ChainFor(UpgradeType::Manual, false, false), UpgradeResult::Failed);
    QLNUpgradeResultStore::AddResult(IsUpgradeSuccess(result), resuming ? L"resume_manual" : L"manual", version, Code(result));
    return result;
}

UpgradeResult QLNUpgradeEngine::ResumeUpgrade() {
    // Taken before the record is read: a second copy must not clear the record
    // of a deployment that is still under way.
    if (!LockInstallation(InstallRootOf(GetAppDirectory()))) return UpgradeResult::AlreadyInProgress;
    auto releaseLock = qln::ScopeExit([this] { m_lock.Release(); });
    const QLNUpgradeProgress progress = LoadUpgradeProgress();
    if (!progress.inProgress) {
        KM_LOG_DEBUG(L"No pending upgrade to resume");
        return UpgradeResult::Success;
    }
    KM_LOG_INFO(L"Resuming interrupted upgrade to version {} (type={})", progress.targetVersion, progress.upgradeType);

    std::wstring target;
    bool silent = false;
    if (!progress.Validate()) {
        KM_LOG_WARN(L"Upgrade progress invalid, clearing progress");
        UpdateUpgradeState(L"Failed");
        QLNVersionInfo cached;
        QLNVersionChecker::LoadFromRegistry(cached);
        if (cached.info.empty() || cached.link.empty() || !IsValidVersion(cached.version) ||
            !QLNVersionInfo::IsNewerVersion(cached.version)) {
            KM_LOG_WARN(L"No valid newer version in registry cache, aborting resume");
            SetError(L"No valid newer version found in registry cache");
            ClearUpgradeProgress();
            return UpgradeResult::MsiVerificationFailed;
        }
        target = cached.version;
        const UpgradeMode mode = QLNUpgradeConfig::GetUpgradeMode();
        silent = (mode == UpgradeMode::ImmediateSilent || mode == UpgradeMode::DelaySilent);
    } else {
        target = progress.targetVersion;
        silent = EqualsNoCase(progress.upgradeType, L"silent");
        UpdateUpgradeState(L"ResumeRetry");
    }
    ClearUpgradeProgress();
    KM_LOG_INFO(L"Re-running full {} upgrade for version {}", silent ? L"silent" : L"manual", target);

    resuming = true;
    auto clearResuming = qln::ScopeExit([this] { resuming = false; });
    return silent ? UpgradeSilently(target) : UpgradeManual(target);
}

bool QLNUpgradeEngine::LoadVersionInfo(QLNVersionInfo& info) {
    KM_LOG_INFO(L"LoadVersionInfo: loading version info (preDownload={})", true);
    if (!QLNVersionChecker::LoadVersionInfo(info, true)) {
        KM_LOG_WARN(L"LoadVersionInfo: failed to load version info from any source");
        return false;
    }
    KM_LOG_INFO(L"LoadVersionInfo: got version={}", info.version);
    if (QLNVersionInfo::IsNewerVersion(info.version)) {
        KM_LOG_INFO(L"LoadVersionInfo: newer version detected, pre-downloading MSI");
        const std::wstring url = QLNMsiPackage::BuildDownloadUrl(info);
        std::wstring stagingDir;
        std::wstring msiPath;
        // A failed advance download is fetched again by the pipeline.
        (void)QLNMsiPackage::DownloadMsi(info, url, stagingDir, msiPath, false);
    }
    return true;
}

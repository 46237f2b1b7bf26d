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
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMHttpProxy.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <compare>
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

// A version text from the user's registry finds a workspace only when it is a
// version and the folder it names is spelled exactly like it: anything else
// would map onto another release's workspace.
bool NamesItsWorkspace(const std::wstring& version) {
    return IsValidVersion(version) && QLNVersionInfo::VersionFolderName(version) == version;
}

// Names of the folders directly below a folder (none when it cannot be listed).
std::vector<std::wstring> ListSubfolders(const std::wstring& folder) {
    std::vector<std::wstring> names;
    qln::ForEachEntry(folder, L"*", [&](const WIN32_FIND_DATAW& entry) {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) names.push_back(entry.cFileName);
        return true;
    });
    return names;
}

bool HasJournal(const std::wstring& workspace) {
    return ::PathFileExistsW(qln::JoinPath(workspace, ReplaceSilentUpgradeStrategy::kJournalName).c_str()) != FALSE;
}

// Whether a deployment journal waits in a workspace of the installation.
bool HasInterruptedDeployment(const std::wstring& installRoot) {
    const std::wstring installation = QLNUpgradeWorkspace::InstallationPath(installRoot);
    if (installation.empty()) return false;
    for (const std::wstring& name : ListSubfolders(installation)) {
        if (HasJournal(qln::JoinPath(installation, name))) return true;
    }
    return false;
}

enum class Settling { RollBack, LetGo, LeaveAlone };

// Only the interrupted deployment of a release newer than the running one is
// rolled back. When this release or a later one runs, that deployment got to
// its end or another installer came after it: its backups hold an older
// release, and copying them back would leave neither.
Settling SettlingOf(const std::wstring& workspace, const std::wstring& release) {
    const auto order = QLNVersionInfo::CompareWithRunning(release);
    if (!order) {
        KM_LOG_WARN(L"Leaving the workspace {} alone: '{}' names no release", workspace, release);
        return Settling::LeaveAlone;
    }
    if (std::is_gt(*order)) return Settling::RollBack;
    KM_LOG_WARN(L"Letting go of the workspace {} without a rollback: {} is {}", workspace, release,
                std::is_eq(*order) ? L"the running release" : L"older than the running release");
    return Settling::LetGo;
}

const wchar_t* HistoryMode(bool resume, bool manual) {
    if (resume) return manual ? L"resume_manual" : L"resume_silent";
    return manual ? L"manual" : L"silent";
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

QLNUpgradeEngine::QLNUpgradeEngine(Role role, std::wstring installRoot)
    : m_role(role), m_installRoot(installRoot.empty() ? InstallRootOf(GetAppDirectory()) : std::move(installRoot)) {}

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

bool QLNUpgradeEngine::UsesWorkspace() const {
    return m_role == Role::ElevatedCopy || KMWinOSUtils::IsRunningAsAdmin();
}

bool IsRegisteredInstallRoot(const std::wstring& installRoot) {
    wchar_t productCode[39] = {};
    std::wstring registered;
    const UINT related = QLNWindowsInstaller::EnumFirstRelatedProduct(QLNMsiPackage::kUpgradeCode, productCode);
    const UINT located = related == ERROR_SUCCESS ? QLNWindowsInstaller::GetProductInstallRoot(productCode, registered) : related;
    if (located == ERROR_SUCCESS && !installRoot.empty() && qln::IsSameFile(registered, installRoot)) return true;
    KM_LOG_WARN(L"{} is not the installation that Windows Installer registered ('{}', status {})", installRoot, registered,
                located);
    return false;
}

bool QLNUpgradeEngine::IsRegisteredInstallation() {
    if (m_role != Role::ElevatedCopy || m_registered) return true;
    if (!IsRegisteredInstallRoot(m_installRoot)) {
        SetError(L"This copy does not run from the registered installation; it acts on nothing");
        return false;
    }
    m_registered = true;
    return true;
}

bool QLNUpgradeEngine::LockInstallation(const std::wstring& installRoot) {
    if (m_lock.Held() || !UsesWorkspace() || m_lock.Acquire(installRoot)) return true;
    SetError(L"Another upgrade of this installation is already running");
    return false;
}

bool QLNUpgradeEngine::SettleOtherDeployments(const std::wstring& installRoot, const std::wstring& version) {
    const std::wstring installation = QLNUpgradeWorkspace::InstallationPath(installRoot);
    const std::wstring own = QLNVersionInfo::VersionFolderName(version);
    for (const std::wstring& name : ListSubfolders(installation)) {
        if (qln::EqualsNoCase(name, own)) continue;
        const std::wstring path = qln::JoinPath(installation, name);
        const Settling settling = SettlingOf(path, name);
        if (settling == Settling::LeaveAlone) continue;
        // Mixing two releases' files would leave neither: a newer one's
        // changes are undone before this release is deployed.
        if (settling == Settling::RollBack &&
            ReplaceSilentUpgradeStrategy::RollBackInterruptedDeployment(path, installRoot) ==
                ReplaceSilentUpgradeStrategy::InterruptedRollback::Impossible) {
            return false;
        }
        if (!qln::RemoveDirectoryTree(path)) KM_LOG_WARN(L"Failed to remove the workspace {}, error: {}", path, ::GetLastError());
    }
    return true;
}

void QLNUpgradeEngine::RollBackInterrupted(const std::wstring& installRoot, const std::wstring& version) {
    // One that is let go of goes with the workspace (FinishWorkspace).
    if (m_workspace.IsOpen() && HasJournal(m_workspace.Path()) &&
        SettlingOf(m_workspace.Path(), version) == Settling::RollBack &&
        ReplaceSilentUpgradeStrategy::RollBackInterruptedDeployment(m_workspace.Path(), installRoot) ==
            ReplaceSilentUpgradeStrategy::InterruptedRollback::RolledBack) {
        m_rolledBack = true;
    }
}

void QLNUpgradeEngine::FinishWorkspace(UpgradeResult result, const std::wstring& version) {
    if (!m_workspace.IsOpen()) return;
    // A deployment of the release that runs now got to its end whatever its
    // journal says.
    if (!IsUpgradeSuccess(result) && HasJournal(m_workspace.Path()) && QLNVersionInfo::IsNewerVersion(version)) {
        KM_LOG_WARN(L"Keeping the interrupted deployment in {} for the next run", m_workspace.Path());
        m_workspace.Close();
        return;
    }
    m_workspace.Remove();
}

UpgradeResult QLNUpgradeEngine::Upgrade(const std::wstring& version, UpgradeType type, UpgradeStrategyChain chain,
                                        UpgradeResult fallback) {
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
    const std::wstring& installRoot = m_installRoot;
    // A resume runs under the record of the run it repeats. Any other run
    // waits for that resume, unless an interrupted deployment waits in the
    // installation's workspace: this run settles it before it deploys, where
    // waiting would keep every upgrade out until somebody resumed. The
    // installer's wizard that the user chose for the very release of the
    // record (after its resume failed) goes ahead too: it finishes that
    // upgrade, and its own record replaces the old one.
    if (!resuming && HasPendingUpgrade()) {
        const bool wizardOfRecord = type == UpgradeType::Manual && LoadUpgradeProgress().targetVersion == version;
        if (!wizardOfRecord && (!UsesWorkspace() || !HasInterruptedDeployment(installRoot))) {
            SetError(L"A previous upgrade is being resumed, skipping new upgrade");
            KM_LOG_WARN(L"HasPendingUpgrade() is true, rejecting upgrade for {}", version);
            return UpgradeResult::AlreadyInProgress;
        }
        if (wizardOfRecord) {
            KM_LOG_INFO(L"The upgrade to {} is pending; the installer run the user chose for it goes ahead", version);
        } else {
            KM_LOG_INFO(L"An upgrade is pending and its deployment was interrupted; the upgrade to {} settles it first",
                        version);
        }
    }
    if (!IsRegisteredInstallation()) return UpgradeResult::Failed;
    // A second copy for this installation touches nothing, not even the
    // package the first one holds.
    if (!LockInstallation(installRoot)) return UpgradeResult::AlreadyInProgress;

    // With administrator rights nothing is installed from, or restored from, a
    // folder the user can write: the strategies work in the protected
    // workspace, on a copy of the package checked again there.
    const bool protectedRun = UsesWorkspace();
    if (protectedRun && !m_workspace.Open(installRoot, version)) {
        SetError(L"Failed to prepare the protected upgrade workspace");
        return UpgradeResult::Failed;
    }
    if (protectedRun && !SettleOtherDeployments(installRoot, version)) {
        SetError(L"An interrupted upgrade of another release could not be rolled back");
        return UpgradeResult::Failed;
    }
    // Whatever stops the run before a strategy starts, an interrupted
    // deployment of this release is rolled back: its package may never come.
    auto rollBackUnlessStarted = qln::ScopeExit([&] { RollBackInterrupted(installRoot, version); });

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
    // An elevated copy only reads the user's download cache; everything it
    // writes lands in its workspace. The user is asked about an unverified
    // package once, below, about the bytes that are held.
    const bool ready = m_role == Role::ElevatedCopy
                           ? QLNMsiPackage::EnsureMsiReadyIn(m_workspace.Path(), target, url, msiPath)
                           : QLNMsiPackage::EnsureMsiReady(target, url, stagingDir, msiPath, false);
    if (!ready) {
        SetError(L"MSI package download or signature verification failed");
        return UpgradeResult::MsiVerificationFailed;
    }

    // The package may lie in a folder the user can write, while the installer
    // may run with administrator rights: from here on the package cannot be
    // changed, and it is checked again now that it is held, so that what the
    // installer reads is what was verified. Released before the clean-up.
    QLNPackageHold hold;
    if (!hold.Acquire(msiPath)) {
        SetError(L"MSI package download or signature verification failed");
        return UpgradeResult::MsiVerificationFailed;
    }

    UpgradeContext context{version, stagingDir, msiPath, installRoot, std::wstring(), m_role == Role::ElevatedCopy};
    if (m_role == Role::ElevatedCopy) {
        context.stagingDir = m_workspace.Path();
    } else if (protectedRun) {
        std::wstring copy;
        if (!m_workspace.TakePackage(hold.Handle(), ::PathFindFileNameW(msiPath.c_str()), copy) ||
            (hold.Verified() && !QLNMsiPackage::VerifyMsiPackage(copy))) {
            SetError(L"MSI package download or signature verification failed");
            return UpgradeResult::MsiVerificationFailed;
        }
        hold.Release();
        context.stagingDir = m_workspace.Path();
        context.msiPath = copy;
    }
    rollBackUnlessStarted.release();
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

UpgradeResult QLNUpgradeEngine::RunAndRecord(const std::wstring& version, UpgradeType type, UpgradeStrategyChain chain,
                                             UpgradeResult fallback) {
    // The lock taken by the pipeline is kept until the outcome is recorded.
    auto releaseLock = qln::ScopeExit([this] {
        if (!resuming) m_lock.Release();
    });
    m_rolledBack = false;
    const UpgradeResult result = Upgrade(version, type, std::move(chain), fallback);
    RecordOutcome(HistoryMode(resuming, type == UpgradeType::Manual), version, result);
    FinishWorkspace(result, version);
    return result;
}

void QLNUpgradeEngine::RecordOutcome(const wchar_t* mode, const std::wstring& version, UpgradeResult result) {
    QLNUpgradeResultStore::AddResult(IsUpgradeSuccess(result), mode, version, Code(result));
    if (m_rolledBack) {
        KM_LOG_WARN(L"Upgrade outcome: mode={}, result={}, version={}; an interrupted deployment was rolled back", mode,
                    Code(result), version);
    }
}

UpgradeResult QLNUpgradeEngine::UpgradeSilently(const std::wstring& version) {
    KM_LOG_INFO(L"UpgradeSilently: starting for version {}", version);
    const KMConfigData config = KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo());
    const bool byReplace = config.GetBool("SilentUpgradeByReplace");
    const bool byMsi = config.GetBool("SilentUpgradeByMsi");
    KM_LOG_INFO(L"Silent upgrade strategy: ByReplace={}, ByMsi={}", byReplace, byMsi);
    const UpgradeResult result = RunAndRecord(version, UpgradeType::Silent, ChainFor(UpgradeType::Silent, byReplace, byMsi),
                                              UpgradeResult::FallbackToManual);
    KM_LOG_INFO(L"UpgradeSilently: completed with result {}", Code(result));
    return result;
}

UpgradeResult QLNUpgradeEngine::UpgradeManual(const std::wstring& version) {
    KM_LOG_INFO(L"Starting manual upgrade for version {}", version);
    return RunAndRecord(version, UpgradeType::Manual, ChainFor(UpgradeType::Manual, false, false), UpgradeResult::Failed);
}

UpgradeResult QLNUpgradeEngine::ResumeUpgrade() {
    // Taken before the record is read: a second copy must not clear the record
    // of a deployment that is still under way.
    const std::wstring& installRoot = m_installRoot;
    if (!LockInstallation(installRoot)) return UpgradeResult::AlreadyInProgress;
    auto releaseLock = qln::ScopeExit([this] { m_lock.Release(); });
    const QLNUpgradeProgress progress = LoadUpgradeProgress();
    if (!progress.inProgress) {
        KM_LOG_DEBUG(L"No pending upgrade to resume");
        return UpgradeResult::Success;
    }
    KM_LOG_INFO(L"Resuming interrupted upgrade to version {} (type={})", progress.targetVersion, progress.upgradeType);
    const bool recordedSilent = qln::EqualsNoCase(progress.upgradeType, L"silent");

    std::wstring target;
    bool silent = false;
    UpgradeResult result = UpgradeResult::MsiVerificationFailed;
    if (!progress.Validate()) {
        KM_LOG_WARN(L"Upgrade progress invalid, not resuming the recorded run");
        QLNVersionInfo cached;
        QLNVersionChecker::LoadFromRegistry(cached);
        if (cached.info.empty() || cached.link.empty() || !IsValidVersion(cached.version) ||
            !QLNVersionInfo::IsNewerVersion(cached.version)) {
            KM_LOG_WARN(L"No valid newer version in registry cache, aborting resume");
            SetError(L"No valid newer version found in registry cache");
            // Its deployment cannot be finished: it is undone instead.
            if (!NamesItsWorkspace(progress.targetVersion)) {
                KM_LOG_WARN(L"The upgrade progress names no release: '{}'; no workspace is touched", progress.targetVersion);
            } else if (UsesWorkspace() && IsRegisteredInstallation() &&
                       m_workspace.Open(installRoot, progress.targetVersion)) {
                m_rolledBack = false;
                RollBackInterrupted(installRoot, progress.targetVersion);
                if (m_rolledBack) RecordOutcome(HistoryMode(true, !recordedSilent), progress.targetVersion, result);
                FinishWorkspace(result, progress.targetVersion);
            }
        } else {
            target = cached.version;
            const UpgradeMode mode = QLNUpgradeConfig::GetUpgradeMode();
            silent = (mode == UpgradeMode::ImmediateSilent || mode == UpgradeMode::DelaySilent);
        }
    } else {
        target = progress.targetVersion;
        silent = recordedSilent;
    }
    if (!target.empty()) {
        // The record stays: a run that fails before it records its own must
        // not leave the interrupted deployment without one.
        KM_LOG_INFO(L"Re-running full {} upgrade for version {}", silent ? L"silent" : L"manual", target);
        resuming = true;
        auto clearResuming = qln::ScopeExit([this] { resuming = false; });
        result = silent ? UpgradeSilently(target) : UpgradeManual(target);
    }
    // Until every interrupted deployment of the installation is finished or
    // rolled back, the next start offers the record again.
    if (HasPendingUpgrade() && !HasInterruptedDeployment(installRoot)) {
        UpdateUpgradeState(IsUpgradeSuccess(result) ? L"Succeeded" : L"Failed");
        ClearUpgradeProgress();
    }
    return result;
}

bool QLNUpgradeEngine::LoadVersionInfo(QLNVersionInfo& info) {
    // One proxy decision per host for the whole check: the version request
    // and the advance download go the same way.
    KMProxyScope proxyScope;
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

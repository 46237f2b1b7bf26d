#include "QLNUpgrade/QLNUpgradeHelper.h"
#include "QLNUpgrade/QLNElevation.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeConfig.h"
#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeEngine.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <shellapi.h>

#include <ctime>
#include <memory>
#include <thread>
#include <vector>

std::atomic<bool> g_upgradeInProgress{false};
std::atomic<bool> g_resumeCheckPending{false};

namespace {

bool ClaimUpgrade() {
    bool expected = false;
    return g_upgradeInProgress.compare_exchange_strong(expected, true);
}

void ReleaseUpgrade() {
    g_upgradeInProgress.exchange(false);
}

bool ConfigBool(const char* key) {
    return KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetBool(key);
}

// Starts fn on a detached thread. The caller's claim on g_upgradeInProgress
// would otherwise never be released, so a thread that cannot be created
// gives it back.
template <typename Fn>
bool StartDetached(Fn fn, const wchar_t* what) {
    try {
        std::thread(std::move(fn)).detach();
        return true;
    } catch (...) {
        KM_LOG_ERROR(L"Could not start the {} thread; releasing the upgrade claim", what);
        ReleaseUpgrade();
        return false;
    }
}


void RunResumePrompt() {
    const QLNUpgradeProgress progress = LoadUpgradeProgress();
    const std::wstring version = progress.targetVersion.empty() ? std::wstring(L"unknown") : progress.targetVersion;
    if (QLNUpgradeUI::PromptResumeUpgrade(version)) {
        KM_LOG_INFO(L"User confirmed resume upgrade for version {}", version);
        ExecuteUpgradeAsync(std::wstring(), UpgradeType::Resume, true);
        return;
    }
    KM_LOG_INFO(L"User declined resume upgrade, clearing progress");
    ClearUpgradeProgress();
    ReleaseUpgrade();
}

void RunPreNotifyPrompt(UpgradeType type, const std::wstring& version, bool allowIgnore) {
    const bool silent = (type == UpgradeType::Silent);
    const PromptChoice choice = silent ? QLNUpgradeUI::PromptSilentUpgradeReady(version, allowIgnore)
                                       : QLNUpgradeUI::PromptUpgradeAvailable(version, allowIgnore);
    const wchar_t* word = silent ? L"silent" : L"manual";
    switch (choice) {
        case PromptChoice::UpgradeNow:
            KM_LOG_INFO(L"User confirmed {} upgrade for version {}", word, version);
            ExecuteUpgradeAsync(version, type, true);
            return;
        case PromptChoice::IgnoreVersion:
            KM_LOG_INFO(L"User ignored {} upgrade for version {}", word, version);
            (void)QLNVersionChecker::SaveIgnoredFor(version);
            break;
        default:
            KM_LOG_INFO(L"User postponed {} upgrade for version {}", word, version);
            break;
    }
    ReleaseUpgrade();
}

void StartPreNotifyPrompt(UpgradeType type, const QLNVersionInfo& info, bool allowIgnore) {
    if (!ClaimUpgrade()) {
        if (type == UpgradeType::Silent)
            KM_LOG_INFO(L"Upgrade already in progress, skipping pre-notify prompt for version {}", info.version);
        else
            KM_LOG_INFO(L"Upgrade already in progress, skipping manual pre-notify prompt for version {}", info.version);
        return;
    }
    StartDetached([type, version = info.version, allowIgnore] { RunPreNotifyPrompt(type, version, allowIgnore); },
                  L"pre-notify prompt");
}

// A resume may go for another release than its record named (the record
// failed validation and a newer cached one was installed): its history line,
// written since, names the one it worked on, which target then becomes.
void TakeResumedVersion(std::int64_t since, std::wstring& target) {
    const auto newest = QLNUpgradeResultStore::Newest();
    if (newest && newest->timestamp >= since && newest->mode.rfind(L"resume_", 0) == 0) target = newest->version;
}

std::int64_t Now() {
    return static_cast<std::int64_t>(::_time64(nullptr));
}

// Runs one upgrade through this program's elevated copy and waits for it;
// the copy records its own outcome, this daemon the launch that failed.
// target is the release the run works on (a resume's, from its record, see
// TakeResumedVersion).
UpgradeResult RunElevatedCopy(UpgradeType type, const std::wstring& version, std::wstring& target) {
    if (type != UpgradeType::Resume && qln::HasQuoteOrControl(version)) {
        // It would end its quoted argument and add switches of its own to
        // the elevated command line; no release has such a version.
        KM_LOG_ERROR(L"Refusing to re-launch elevated for version {}: it holds a quote or a control character", version);
        QLNUpgradeResultStore::AddResult(false, L"elevate_failed", version, static_cast<std::int32_t>(UpgradeResult::InvalidVersion));
        return UpgradeResult::InvalidVersion;
    }
    const std::wstring parameters = QLNElevation::ParametersFor(type, version);
    KM_LOG_INFO(L"Not running as admin, re-launching elevated: {}", parameters);
    // The copy says through this event when it stopped the status cache and
    // would start it again: that is when the cache is restarted here, not
    // after a following installer run, and never when the copy left it alone.
    const qln::UniqueHandle cacheStopped(::CreateEventW(nullptr, TRUE, FALSE, KMWinOSUtils::kQLNCacheStoppedEvent));
    if (cacheStopped) ::ResetEvent(cacheStopped.get());
    const auto restartCache = [] {
        KM_LOG_INFO(L"Restarting QLNCache...");
        (void)KMWinOSUtils::RunQLNCacheProcess();
    };
    const std::int64_t launchedAt = Now();
    UpgradeResult result = UpgradeResult::Failed;
    bool launched = false;
    (void)RelaunchElevated(parameters, result, launched, cacheStopped.get(), restartCache);
    if (!launched) {
        QLNUpgradeResultStore::AddResult(IsUpgradeSuccess(result), L"elevate_failed", version,
                                         static_cast<std::int32_t>(result));
        return result;
    }
    KM_LOG_INFO(L"The elevated copy's log: {}{}.upgrade.log", QLNAdminLogFolder::Path(),
                KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d"));
    if (type == UpgradeType::Resume) TakeResumedVersion(launchedAt, target);
    // The copy deletes nothing in the user's folders.
    if (!target.empty()) {
        QLNVersionInfo staged;
        staged.version = target;
        QLNMsiPackage::CleanupStagingDir(QLNMsiPackage::BuildStagingDir(staged));
    }
    // A copy elevated as another account reads that account's record,
    // finds none and reports success; ours is still pending then.
    if (type == UpgradeType::Resume && IsUpgradeSuccess(result) && HasPendingUpgrade()) {
        KM_LOG_ERROR(L"The elevated copy reported success, but this user's interrupted upgrade to {} is still "
                     L"pending (was it elevated as another account?)",
                     target);
        result = UpgradeResult::Failed;
    }
    return result;
}

void RunUpgradeWorker(std::unique_ptr<UpgradeRequest> request) {
    auto release = qln::ScopeExit([] { ReleaseUpgrade(); });
    QLNUpgradeEngine engine;
    UpgradeResult result = UpgradeResult::Failed;
    const UpgradeType type = request->type;
    // The release a resume works on is in its progress record: the manual
    // installer offered after it failed installs that one.
    UpgradeRequest target = *request;
    if (type == UpgradeType::Resume) target.version = LoadUpgradeProgress().targetVersion;
    const bool elevated = KMWinOSUtils::IsRunningAsAdmin();
    if (!elevated) {
        result = RunElevatedCopy(type, request->version, target.version);
    } else if (type == UpgradeType::Manual) {
        result = engine.UpgradeManual(request->version);
    } else if (type == UpgradeType::Silent) {
        result = engine.UpgradeSilently(request->version);
    } else if (type == UpgradeType::Resume) {
        const std::int64_t startedAt = Now();
        result = engine.ResumeUpgrade();
        TakeResumedVersion(startedAt, target.version);
    } else {
        KM_LOG_ERROR(L"Unknown upgrade type: {}", static_cast<int>(type));
    }

    const wchar_t* word = UpgradeTypeLogWord(type);
    switch (result) {
        case UpgradeResult::Success: KM_LOG_INFO(L"Upgrade completed successfully (type={})", word); break;
        case UpgradeResult::SuccessNeedReboot: KM_LOG_INFO(L"Upgrade completed, some files need reboot"); break;
        case UpgradeResult::SuccessByReplace: KM_LOG_INFO(L"Upgrade completed via replace strategy (type={})", word); break;
        case UpgradeResult::SuccessByReplaceNeedReboot:
            KM_LOG_INFO(L"Upgrade completed via replace strategy, some files need reboot");
            break;
        case UpgradeResult::Cancelled: KM_LOG_INFO(L"Upgrade cancelled by user"); break;
        default:
            KM_LOG_ERROR(L"Upgrade failed with result {} - {}", static_cast<int>(result),
                         QLNUpgradeUI::GetFailureText(engine.LastError()));
            break;
    }
    QLNUpgradeUI::HandleSuccessNotification(type, result);
    if (!QLNUpgradeUI::HandleFailureNotification(type, result, engine.LastError())) return;
    // The installer's wizard the user chose. Without administrator rights it
    // is run by the elevated copy on its own verified copy of the package: an
    // installer with those rights never opens a package by a path the user
    // can change.
    if (elevated) {
        const UpgradeResult manual = engine.UpgradeManual(target.version);
        QLNUpgradeUI::ReportManualFallback(manual, engine.LastError());
        return;
    }
    std::wstring manualTarget = target.version;
    const UpgradeResult manual = RunElevatedCopy(UpgradeType::Manual, target.version, manualTarget);
    QLNUpgradeUI::ReportManualFallback(
        manual, fmt::format(L"The installer's run with administrator rights ended with result {}; its log is in {}",
                            static_cast<int>(manual), QLNAdminLogFolder::Path()));
}

}  // namespace

void RefreshLocalConfigForUpgrade(const wchar_t* reason) {
    KM_LOG_DEBUG(L"Refreshing local KM config for upgrade ({})", reason ? reason : L"");
    (void)KMConfigManager::Instance().RefreshByLocal(KMConfig::GetEffectiveRepo());
}

void PerformUpdateCheck() {
    // A resume check that found the claim taken is made now; an interrupted
    // upgrade would otherwise refuse every other one for the whole session.
    if (g_resumeCheckPending.load() && CheckAndResumeUpgrade()) {
        KM_LOG_INFO(L"Skipping update check (resume in progress)");
        return;
    }
    if (!ConfigBool("VersionCheck")) {
        KM_LOG_INFO(L"Version check disabled by server config, skipping auto check");
        return;
    }
    if (g_upgradeInProgress.load()) {
        KM_LOG_INFO(L"Upgrade already in progress, skipping update check");
        return;
    }
    QLNVersionInfo info;
    if (!QLNUpgradeEngine::LoadVersionInfo(info)) {
        KM_LOG_WARN(L"Failed to download version info");
        return;
    }
    if (!QLNVersionInfo::IsNewerVersion(info.version)) {
        KM_LOG_INFO(L"Current version is up to date (server: {})", info.version);
        return;
    }
    KM_LOG_INFO(L"Newer version available: {}", info.version);
    const UpgradeMode mode = QLNUpgradeConfig::GetUpgradeMode();
    if (!QLNVersionChecker().ShouldNotifyNewVersion()) {
        KM_LOG_INFO(L"Notification interval not elapsed for mode {}, skipping", QLNUpgradeConfig::GetUpgradeModeName());
        return;
    }
    QLNVersionChecker::SaveLastNotifiedAt(static_cast<std::uint64_t>(::_time64(nullptr)));

    switch (mode) {
        case UpgradeMode::ImmediateSilent:
        case UpgradeMode::DelaySilent:
            if (ConfigBool("SilentUpgradePreNotify")) {
                KM_LOG_INFO(L"Silent mode with pre-notify, prompting user for version {}", info.version);
                PromptSilentUpgradeWithPreNotify(info, !info.force);
                return;
            }
            KM_LOG_INFO(L"Silent mode without pre-notify, starting silent update for version {}", info.version);
            ExecuteUpgradeAsync(info.version, UpgradeType::Silent, false);
            return;
        case UpgradeMode::ImmediateManual:
        case UpgradeMode::DelayManual:
            if (ConfigBool("ManualUpgradePreNotify")) {
                KM_LOG_INFO(L"Manual mode with pre-notify, prompting user for version {}", info.version);
                PromptManualUpgradeWithPreNotify(info, !info.force);
                return;
            }
            KM_LOG_INFO(L"Manual mode without pre-notify, starting manual update for version {}", info.version);
            ExecuteUpgradeAsync(info.version, UpgradeType::Manual, false);
            return;
        case UpgradeMode::Ignore:
            return;
    }
}

bool CheckAndResumeUpgrade() {
    g_resumeCheckPending = false;
    if (!HasPendingUpgrade()) {
        KM_LOG_DEBUG(L"No pending upgrade to resume");
        return false;
    }
    const QLNUpgradeProgress progress = LoadUpgradeProgress();
    if (!progress.targetVersion.empty() && !QLNVersionInfo::IsNewerVersion(progress.targetVersion)) {
        KM_LOG_INFO(L"Pending target version {} is no longer newer than running version; upgrade already succeeded, "
                    L"clearing stale progress without prompting",
                    progress.targetVersion);
        UpdateUpgradeState(L"Succeeded");
        ClearUpgradeProgress();
        return false;
    }
    if (!ClaimUpgrade()) {
        KM_LOG_INFO(L"Upgrade already in progress, skipping resume prompt");
        g_resumeCheckPending = true;
        return false;
    }
    KM_LOG_INFO(L"Detected interrupted upgrade, prompting user for confirmation...");
    return StartDetached([] { RunResumePrompt(); }, L"resume prompt");
}

void PromptSilentUpgradeWithPreNotify(const QLNVersionInfo& info, bool allowIgnore) {
    StartPreNotifyPrompt(UpgradeType::Silent, info, allowIgnore);
}

void PromptManualUpgradeWithPreNotify(const QLNVersionInfo& info, bool allowIgnore) {
    StartPreNotifyPrompt(UpgradeType::Manual, info, allowIgnore);
}

bool IsWalkedDirectory(DWORD attributes) noexcept {
    // A junction or directory link may point back up the tree (an endless
    // walk) or out of the product, whose files are not ours to clean.
    return qln::IsPlainDirectory(attributes);
}

bool IsBackupFileName(std::wstring_view name) {
    // The replace strategy falls back to numbered names when a ".qlnupd.bak" is itself held.
    return ReplaceSilentUpgradeStrategy::IsReplaceBackupFileName(name);
}

void CleanupOldBackupFiles() {
    const std::wstring root = GetProductDirectory();
    KM_LOG_DEBUG(L"CleanupOldBackupFiles installRoot: {}", root);
    const size_t deleted = CleanupBackupFilesBelow(root);
    if (deleted > 0) KM_LOG_INFO(L"Cleaned up {} old backup files", deleted);
}

size_t CleanupBackupFilesBelow(const std::wstring& root) {
    std::vector<std::wstring> pending{root};
    size_t deleted = 0;
    while (!pending.empty()) {
        const std::wstring dir = std::move(pending.back());
        pending.pop_back();
        // The product directory ends in a backslash; entries below it must not get a second one.
        const std::wstring base = (!dir.empty() && dir.back() == L'\\') ? dir.substr(0, dir.size() - 1) : dir;
        qln::ForEachEntry(base, L"*", [&](const WIN32_FIND_DATAW& found) {
            const std::wstring name = found.cFileName;
            const std::wstring path = qln::JoinPath(base, name);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (IsWalkedDirectory(found.dwFileAttributes)) pending.push_back(path);
                return true;
            }
            if (!IsBackupFileName(name)) return true;
            if (::DeleteFileW(path.c_str())) {
                KM_LOG_DEBUG(L"Cleaned up backup file: {}", path);
                ++deleted;
            } else {
                KM_LOG_DEBUG(L"Could not delete backup file: {} (error: {})", path, ::GetLastError());
            }
            return true;
        });
    }
    return deleted;
}

void ExecuteUpgradeAsync(const std::wstring& version, UpgradeType type, bool alreadyClaimed) {
    const wchar_t* word = UpgradeTypeLogWord(type);
    if (!alreadyClaimed && !ClaimUpgrade()) {
        KM_LOG_INFO(L"Upgrade already in progress, skipping {} request for version {}", word, version);
        return;
    }
    KM_LOG_INFO(L"Starting {} upgrade worker for version {}", word, version);
    try {
        auto request = std::make_unique<UpgradeRequest>(UpgradeRequest{version, type});
        StartDetached([request = std::move(request)]() mutable { RunUpgradeWorker(std::move(request)); }, L"upgrade worker");
    } catch (...) {
        KM_LOG_ERROR(L"Could not create the upgrade request; releasing the upgrade claim");
        ReleaseUpgrade();
    }
}

bool RelaunchElevated(const std::wstring& parameters, UpgradeResult& result, bool& launched, HANDLE signal,
                      const std::function<void()>& onSignal) {
    launched = false;
    const std::wstring path = GetModuleFileNameWhole();
    if (path.empty()) {
        KM_LOG_ERROR(L"GetModuleFileName failed, error: {}", ::GetLastError());
        return false;
    }
    KM_LOG_INFO(L"Re-launching elevated: {} {}", path, parameters);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    const auto shellExecute = qln::seams::g_elevationShellExecuteEx ? qln::seams::g_elevationShellExecuteEx : &::ShellExecuteExW;
    if (!qln::seams::g_elevationShellExecuteEx && !KMSystemLibrary::Require(L"shell32.dll")) {
        result = UpgradeResult::Failed;
        return false;
    }
    if (!shellExecute(&info)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_CANCELLED) {
            KM_LOG_INFO(L"User declined UAC elevation");
            result = UpgradeResult::Cancelled;
        } else {
            KM_LOG_ERROR(L"ShellExecuteEx failed for elevation, error: {}", error);
            result = UpgradeResult::Failed;
        }
        return false;
    }
    qln::UniqueHandle process(info.hProcess);
    if (!process) {
        result = UpgradeResult::Failed;
        return false;
    }
    launched = true;
    bool signalled = false;
    if (signal) {
        const HANDLE waitFor[] = {process.get(), signal};
        signalled = ::WaitForMultipleObjects(2, waitFor, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
        if (signalled && onSignal) onSignal();
    }
    ::WaitForSingleObject(process.get(), INFINITE);
    // Set as the copy ended, or seen only now.
    if (!signalled && signal && ::WaitForSingleObject(signal, 0) == WAIT_OBJECT_0 && onSignal) onSignal();
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.get(), &exitCode);
    process.reset();
    KM_LOG_INFO(L"Elevated process exited with code {}", exitCode);
    result = QLNElevation::ResultOfExitCode(exitCode);
    return IsUpgradeSuccess(result);
}


int RunElevatedAction(UpgradeType type, const std::wstring& version, const std::wstring& installRoot) {
    if (installRoot.empty()) {
        KM_LOG_ERROR(L"Elevated copy: the real path of this program is unknown; it acts on nothing");
        return QLNElevation::ExitCodeOf(UpgradeResult::Failed);
    }
    QLNUpgradeEngine engine(QLNUpgradeEngine::Role::ElevatedCopy, installRoot);
    UpgradeResult result = UpgradeResult::Failed;
    if (type == UpgradeType::Silent) {
        KM_LOG_INFO(L"Running elevated silent upgrade for version {}", version);
        result = engine.UpgradeSilently(version);
    } else if (type == UpgradeType::Resume) {
        KM_LOG_INFO(L"Running elevated resume upgrade");
        result = engine.ResumeUpgrade();
    } else if (type == UpgradeType::Manual) {
        KM_LOG_INFO(L"Running elevated manual upgrade for version {}", version);
        result = engine.UpgradeManual(version);
    } else {
        KM_LOG_ERROR(L"Unknown elevated action: {}", static_cast<int>(type));
        return 1;
    }
    switch (result) {
        case UpgradeResult::Success: KM_LOG_INFO(L"Elevated upgrade completed successfully"); break;
        case UpgradeResult::SuccessNeedReboot: KM_LOG_INFO(L"Elevated upgrade completed, reboot needed"); break;
        case UpgradeResult::SuccessByReplace: KM_LOG_INFO(L"Elevated upgrade completed via replace strategy"); break;
        case UpgradeResult::SuccessByReplaceNeedReboot:
            KM_LOG_INFO(L"Elevated upgrade completed via replace strategy, reboot needed");
            break;
        case UpgradeResult::MsiVerificationFailed:
            KM_LOG_ERROR(L"Elevated upgrade: MSI verification failed - {}", engine.LastError());
            break;
        case UpgradeResult::FallbackToManual:
            KM_LOG_WARN(L"Elevated upgrade: all silent strategies failed, signaling fallback to manual");
            break;
        case UpgradeResult::Cancelled: KM_LOG_INFO(L"Elevated upgrade: user cancelled"); break;
        default:
            KM_LOG_ERROR(L"Elevated upgrade failed with result {} - {}", static_cast<int>(result), engine.LastError());
            break;
    }
    return QLNElevation::ExitCodeOf(result);
}

#include "QLNUpgrade/QLNUpgradeHelper.h"

#include "Utils/KM/KMLog.h"

// The update check, the resume flow, the backup clean-up and the upgrade
// worker are not part of this build yet. Until they are, each entry point
// says so in the log and does nothing: no upgrade is started, nothing on disk
// is touched, and the in-progress flag is never held.

std::atomic<bool> g_upgradeInProgress{false};

void PerformUpdateCheck() {
    KM_LOG_WARN(L"Update check is not available in this build yet; skipping");
}

bool CheckAndResumeUpgrade() {
    KM_LOG_WARN(L"Resume of interrupted upgrades is not available in this build yet; nothing resumed");
    return false;
}

void CleanupOldBackupFiles() {
    KM_LOG_WARN(L"Backup file clean-up is not available in this build yet; skipping");
}

void ExecuteUpgradeAsync(const std::wstring& version, UpgradeType type, bool alreadyClaimed) {
    KM_LOG_WARN(L"Upgrade worker is not available in this build yet; upgrade to {} (type={}) not started", version,
                static_cast<int>(type));
    if (alreadyClaimed) g_upgradeInProgress.store(false);
}

int RunElevatedAction(int action, const std::wstring& version) {
    if (action != 0 && action != 1) {
        KM_LOG_ERROR(L"Unknown elevated action: {}", action);
        return 1;
    }
    KM_LOG_ERROR(L"Elevated upgrade is not available in this build yet; action {} for version '{}' not run", action, version);
    return static_cast<int>(UpgradeResult::Failed);
}

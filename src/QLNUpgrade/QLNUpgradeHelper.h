#pragma once
// The daemon's actions: the update check and its prompts, the backup
// clean-up, and the upgrade worker with its elevated copy.
//
// Threads: PerformUpdateCheck, CheckAndResumeUpgrade and CleanupOldBackupFiles
// run on the main thread (from the window's timers). ExecuteUpgradeAsync
// returns at once; the upgrade runs on a detached worker thread.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

#include <atomic>
#include <string>

// True while a worker, a resume flow or a pre-notify prompt holds the right
// to upgrade. Claimed by compare-and-exchange, released by a scope guard.
extern std::atomic<bool> g_upgradeInProgress;

void PerformUpdateCheck();
// True when a resume flow was started (the first update check is then skipped).
bool CheckAndResumeUpgrade();
void CleanupOldBackupFiles();
void ExecuteUpgradeAsync(const std::wstring& version, UpgradeType type, bool alreadyClaimed);

// Elevated copy: action 0 = silent upgrade of version, 1 = resume. Returns the
// process exit code.
int RunElevatedAction(int action, const std::wstring& version);

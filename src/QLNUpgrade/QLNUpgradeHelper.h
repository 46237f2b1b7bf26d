#pragma once
// The daemon's actions: the update check and its prompts, the backup
// clean-up, and the upgrade worker with its elevated copy.
//
// Threads: PerformUpdateCheck, CheckAndResumeUpgrade and CleanupOldBackupFiles
// run on the main thread (from the window's timers). ExecuteUpgradeAsync and
// the two pre-notify prompts return at once; the prompt or the upgrade runs
// on a detached thread of its own.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class QLNVersionInfo;

// True while a worker, a resume prompt or a pre-notify prompt holds the right
// to upgrade. Claimed by compare-and-exchange from false, released by
// exchange to false; at most one upgrade or upgrade prompt per daemon.
extern std::atomic<bool> g_upgradeInProgress;

// True while a resume check is owed: one found the right to upgrade taken
// (an external request's worker or prompt still running). The next
// PerformUpdateCheck makes it first.
extern std::atomic<bool> g_resumeCheckPending;

// Reloads the configuration of the effective scope from its cache file
// (reason goes to the log).
void RefreshLocalConfigForUpgrade(const wchar_t* reason);

// Asks the version sources and, by upgrade mode, tells the user, asks first,
// or starts an upgrade. Blocks for the version request and advance download.
void PerformUpdateCheck();
// True when an interrupted upgrade was found and the resume prompt started
// (the first update check is then skipped). Clears stale progress silently.
bool CheckAndResumeUpgrade();
// Deletes the replace strategy's leftover "*.qlnupd.bak" files below the
// product directory. Reparse points (junctions, links) are not followed.
void CleanupOldBackupFiles();
// The walk of CleanupOldBackupFiles below root; returns the number deleted.
std::size_t CleanupBackupFilesBelow(const std::wstring& root);
// True for a directory entry the walk descends into: a directory that is not
// a reparse point (a junction or link may lead back up the tree or out of it).
[[nodiscard]] bool IsWalkedDirectory(DWORD attributes) noexcept;
// True for a name longer than the backup suffix that ends in it (any case).
[[nodiscard]] bool IsBackupFileName(std::wstring_view name);

// Claim the flag and ask on a thread of their own; the claim goes to the
// worker when the user agrees and is released otherwise.
void PromptSilentUpgradeWithPreNotify(const QLNVersionInfo& info, bool allowIgnore);
void PromptManualUpgradeWithPreNotify(const QLNVersionInfo& info, bool allowIgnore);

// Starts a worker for the request. With alreadyClaimed false it claims the
// flag itself (and does nothing when that fails); the worker releases it.
void ExecuteUpgradeAsync(const std::wstring& version, UpgradeType type, bool alreadyClaimed);

// Starts this executable through "runas" with the parameters and waits for
// it. launched tells whether it ran; result is its exit code mapped back
// (Cancelled when the prompt was declined, Failed when it could not start).
// When signal (an event) is set while it runs, or as it ends, onSignal runs
// once on this thread. True exactly when it ran and succeeded.
bool RelaunchElevated(const std::wstring& parameters, UpgradeResult& result, bool& launched, HANDLE signal = nullptr,
                      const std::function<void()>& onSignal = {});


// Elevated copy: a silent upgrade of version, a resume, or a manual upgrade
// (the installer's wizard) of version, on the
// installation at installRoot (derived from the real path of the image;
// empty when it could not be: then nothing is done). Returns the process
// exit code.
int RunElevatedAction(UpgradeType type, const std::wstring& version, const std::wstring& installRoot);

namespace qln::seams {

// Replaces ShellExecuteExW for the elevated re-launch (a declined or failed
// elevation prompt cannot be produced for real under test). Null in the product.
using ElevationShellExecuteExFn = BOOL (*)(SHELLEXECUTEINFOW* info);
inline ElevationShellExecuteExFn g_elevationShellExecuteEx = nullptr;

}  // namespace qln::seams

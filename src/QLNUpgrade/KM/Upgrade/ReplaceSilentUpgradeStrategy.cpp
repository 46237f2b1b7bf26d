#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"

#include <windows.h>
#include <shlwapi.h>

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/ProtectedDirectory.h"
#include "Utils/ScopeExit.h"
#include "Utils/UniqueHandle.h"

namespace {

using qln::Exists;
using qln::ParentOf;

// Deletes a directory tree of our own; a junction inside it goes as a link.
bool RemoveDirectoryTree(const std::wstring& directory) {
    if (qln::RemoveDirectoryTree(directory)) return true;
    KM_LOG_ERROR(L"Failed to remove directory {}, error: {}", directory, ::GetLastError());
    return false;
}

bool CreateWorkFolder(qln::ProtectedDirectory& folder, const std::wstring& path) {
    DWORD error = 0;
    if (folder.Create(path, error)) return true;
    KM_LOG_ERROR(L"Cannot create a protected working directory {}, error: {}", path, error);
    return false;
}

// Records and creates the folders of an installed file that do not exist yet,
// so that a rollback can take them away again.
bool CreateInstalledFolders(const std::wstring& installRoot, const std::wstring& installedFile,
                            ReplaceDeployJournal& journal) {
    const std::wstring parent = ParentOf(installedFile);
    std::vector<std::wstring> missing;
    for (std::wstring folder = parent; folder.size() > installRoot.size() && !Exists(folder); folder = ParentOf(folder)) {
        missing.push_back(folder);
    }
    // Nearly every file goes into a folder that the loop has just seen there.
    if (missing.empty() && parent.size() > installRoot.size()) return true;
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (!journal.RecordFolder(folder->substr(installRoot.size() + 1))) return false;
    }
    (void)CreateDirectoryPath(parent);
    return true;
}

// After a rollback the folders this run created are empty again (unless
// someone else put files there, which stay).
void RemoveCreatedFolders(const std::wstring& installRoot, const ReplaceDeployJournal& journal) {
    const auto& folders = journal.Folders();
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        const std::wstring path = qln::JoinPath(installRoot, *folder);
        if (::RemoveDirectoryW(path.c_str())) {
            KM_LOG_INFO(L"Rolled back (removed new folder): {}", *folder);
        } else if (::GetLastError() != ERROR_FILE_NOT_FOUND && ::GetLastError() != ERROR_PATH_NOT_FOUND) {
            KM_LOG_WARN(L"Could not remove folder created in this run: {}, error: {}", *folder, ::GetLastError());
        }
    }
}

}  // namespace

bool ReplaceSilentUpgradeStrategy::ExtractMsiFiles(const std::wstring& msiPath, const std::wstring& extractDir) {
    if (!CreateDirectoryPath(extractDir)) {
        KM_LOG_ERROR(L"Failed to create extract directory: {}", extractDir);
        return false;
    }
    const auto built =
        QLNWindowsInstaller::BuildCommandLine(QLNWindowsInstaller::Run::AdministrativeExtraction, msiPath, extractDir);
    if (!built) return false;
    const std::wstring& commandLine = *built;
    KM_LOG_INFO(L"Extracting MSI: {}", commandLine);

    PROCESS_INFORMATION info{};
    DWORD error = 0;
    if (!QLNWindowsInstaller::StartAdministrativeExtraction(commandLine, info, error)) {
        KM_LOG_ERROR(L"CreateProcess failed, error: {}", error);
        return false;
    }
    qln::UniqueHandle process(info.hProcess);
    qln::UniqueHandle thread(info.hThread);

    const DWORD timeoutMs = qln::seams::g_msiExtractionTimeoutMs;
    const DWORD wait = ::WaitForSingleObject(process.get(), timeoutMs);
    if (wait != WAIT_OBJECT_0) {
        if (wait == WAIT_TIMEOUT) {
            KM_LOG_ERROR(L"MSI extraction timed out after {} ms, terminating msiexec", timeoutMs);
        } else {
            KM_LOG_ERROR(L"Waiting for msiexec failed, error: {}, terminating msiexec", ::GetLastError());
        }
        // Never leave an installer behind that may still write into the tree.
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
        return false;
    }

    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.get(), &exitCode);
    if (exitCode == 0) {
        KM_LOG_INFO(L"MSI extraction completed to {}", extractDir);
        return true;
    }
    KM_LOG_ERROR(L"msiexec exit code: {}", exitCode);
    return false;
}

bool ReplaceSilentUpgradeStrategy::StopQLNCache(bool* stopped) {
    if (stopped) *stopped = false;
    if (!KMWinOSUtils::IsQLNCacheProcessRunning()) {
        KM_LOG_DEBUG(L"QLNCache is not running");
        return true;
    }
    if (stopped) *stopped = true;
    const DWORD result = KMWinOSUtils::TerminateQLNCacheProcess();
    if (result != 0) {
        KM_LOG_ERROR(L"TerminateQLNCacheProcess returned {}", result);
        return false;
    }
    // Termination does not wait for the process to let go of its files.
    ::Sleep(qln::seams::g_replacePauseMs);
    return true;
}

bool ReplaceSilentUpgradeStrategy::DeployCategorizedFiles(const FileInventory& inventory,
                                                          const std::wstring& productDir,
                                                          const std::wstring& installRoot,
                                                          const std::wstring& backupDir,
                                                          std::set<UpgradeFileCategory>& completed,
                                                          int32_t& succeeded, int32_t& failed,
                                                          ReplaceDeployJournal& journal) {
    m_journal = &journal;
    auto forgetJournal = qln::ScopeExit([this] { m_journal = nullptr; });
    // What an interrupted run already touched is undone together with this
    // run's files; its backups hold the content from before that run.
    const PathSet touchedBefore(journal.Files().begin(), journal.Files().end());
    std::vector<std::wstring> runDeployed = journal.Files();
    std::vector<std::wstring> categoryDeployed;

    const auto abort = [&](UpgradeFileCategory category) {
        const std::wstring_view name = UpgradeFileCategoryName(category);
        // A run killed during the rollback must not be taken for a deployment
        // whose completed categories are still new.
        (void)journal.RecordRollbackStarted();
        int32_t failures = 0;
        if (!categoryDeployed.empty()) {
            KM_LOG_WARN(L"Category [{}] failed, rolling back {} files deployed in this category", name,
                        categoryDeployed.size());
            succeeded -= RollbackDeployedFiles(categoryDeployed, installRoot, backupDir, &failures);
        }
        if (!runDeployed.empty()) {
            KM_LOG_WARN(L"Rolling back {} files from previously completed categories in this run", runDeployed.size());
            succeeded -= RollbackDeployedFiles(runDeployed, installRoot, backupDir, &failures);
        }
        RemoveCreatedFolders(installRoot, journal);
        // What could not be restored is tried again by the next run.
        if (failures == 0) journal.Remove();
        KM_LOG_ERROR(L"Deployment aborted due to failure in category [{}]. All changes from this run have been "
                     L"rolled back.",
                     name);
        return false;
    };

    for (const UpgradeFileCategory category : UpgradeFileCategoryOrder) {
        const auto files = inventory.find(category);
        if (files == inventory.end() || files->second.empty()) {
            completed.insert(category);
            continue;
        }
        const std::wstring_view name = UpgradeFileCategoryName(category);
        if (completed.count(category) != 0) {
            KM_LOG_INFO(L"Category [{}] was deployed before the interruption, skipping", name);
            continue;
        }
        KM_LOG_INFO(L"Deploying category [{}]: {} files", name, files->second.size());
        categoryDeployed.clear();

        for (const auto& path : files->second) {
            const std::wstring newFile = qln::JoinPath(productDir, path);
            const std::wstring installedFile = qln::JoinPath(installRoot, path);
            if (!Exists(newFile)) {
                KM_LOG_DEBUG(L"Source file not found, skipping: {}", newFile);
                continue;
            }
            if (!CreateInstalledFolders(installRoot, installedFile, journal)) {
                ++failed;
                return abort(category);
            }

            // A file the interrupted run touched may hold new content now;
            // its backup from before that run must stay as it is.
            const bool touched = touchedBefore.count(path) != 0;
            if (!touched) {
                if (!BackupFileForRollback(installedFile, path, backupDir)) {
                    KM_LOG_ERROR(L"Cannot backup file, aborting deployment: {}", installedFile);
                    ++failed;
                    return abort(category);
                }
                // Recorded before the file changes, so that a run killed in
                // the middle of the copy still rolls it back.
                if (!journal.RecordFile(path)) {
                    ++failed;
                    return abort(category);
                }
            }

            bool deployed = false;
            for (int attempt = 1; attempt <= kDeployAttempts && !deployed; ++attempt) {
                deployed = DeployFile(newFile, installedFile);
                if (deployed) break;
                KM_LOG_WARN(L"Deploy attempt {}/{} failed for: {}", attempt, kDeployAttempts, installedFile);
                if (attempt < kDeployAttempts) ::Sleep(qln::seams::g_replacePauseMs);
            }
            if (!deployed) {
                ++failed;
                KM_LOG_ERROR(L"Failed to replace after {} retries, triggering rollback: {}", kDeployAttempts,
                             installedFile);
                if (const std::wstring holders = qln::seams::g_describeFileHolders(installedFile); !holders.empty()) {
                    KM_LOG_ERROR(L"{} is in use by: {}", installedFile, holders);
                }
                // A failed copy may have cut the file short or cleared its
                // read-only mark; it goes back to its backup like the others.
                if (!touched) (void)RollbackFile(path, installRoot, backupDir);
                return abort(category);
            }
            ++succeeded;
            if (!touched) categoryDeployed.push_back(path);
            KM_LOG_INFO(L"Replaced: {}", installedFile);
        }

        runDeployed.insert(runDeployed.end(), categoryDeployed.begin(), categoryDeployed.end());
        categoryDeployed.clear();
        completed.insert(category);
        UpdateCompletedCategories(completed);
        (void)journal.RecordCategory(category);  // without it a resumed run deploys the category again
        KM_LOG_INFO(L"Category [{}] deploy complete. Running totals - Success: {}, Failed: {}", name, succeeded,
                    failed);
    }
    return true;
}

UpgradeResult ReplaceSilentUpgradeStrategy::Execute(UpgradeContext& context) {
    m_pendingReboot = false;
    m_renamedAside.clear();
    KM_LOG_INFO(L"Starting silent upgrade (by replace) to version {}", context.version);

    const std::wstring extractDir = context.stagingDir + L"\\extract";
    const std::wstring backupDir = context.stagingDir + L"\\rollback_backup";

    // A tree left by an earlier extraction may hold files this package lacks.
    // The unpacked files are installed with our rights: nobody else may write there.
    qln::ProtectedDirectory extractFolder;
    if (!RemoveDirectoryTree(extractDir) || !CreateWorkFolder(extractFolder, extractDir) ||
        !ExtractMsiFiles(context.msiPath, extractDir)) {
        context.errorText = L"Failed to extract files from MSI";
        return UpgradeResult::StrategyFailed;
    }
    const std::wstring productDir = FindExtractedProductDir(extractDir);
    if (productDir.empty()) {
        context.errorText = L"Failed to locate Quillon directory in extracted MSI";
        return UpgradeResult::StrategyFailed;
    }
    KM_LOG_INFO(L"Extracted product directory: {}", productDir);

    ReplaceDeployJournal journal(qln::JoinPath(context.stagingDir, kJournalName));
    // What a rollback restores must be what this run (or the run it continues) saved.
    qln::ProtectedDirectory backupFolder;
    bool continuing = journal.Load();
    if (continuing && journal.RollbackStarted()) {
        // The categories it marks complete may be partly old again: the
        // rollback is finished first, then the release deployed afresh.
        KM_LOG_WARN(L"The interrupted run was rolling back; finishing its rollback first");
        if (!RollBackJournal(journal, context.installRoot, backupDir)) {
            context.errorText = L"Failed to finish the rollback of the interrupted deployment";
            return UpgradeResult::StrategyFailed;
        }
        continuing = false;
    }
    if (continuing) {
        KM_LOG_INFO(L"Continuing an interrupted deployment: {} files touched, {} categories completed",
                    journal.Files().size(), journal.CompletedCategories().size());
        // A file the interrupted run renamed aside is still held by the
        // program that had it open: the installation needs a restart even
        // when this run finds every file free.
        m_pendingReboot = ReclaimRenamedAside(journal, context.installRoot);
        DWORD error = 0;
        if (!backupFolder.Hold(backupDir, error) && !CreateWorkFolder(backupFolder, backupDir)) {
            context.errorText = L"Failed to prepare the rollback backup directory";
            return UpgradeResult::StrategyFailed;
        }
    } else if (journal.Unreadable()) {
        // Starting afresh would delete the backups the interrupted run's
        // changes can only be undone from.
        context.errorText = L"Failed to read the deployment journal";
        return UpgradeResult::StrategyFailed;
    } else if (!RemoveDirectoryTree(backupDir) || !CreateWorkFolder(backupFolder, backupDir)) {
        // Backups of an earlier, finished run would be "restored" by a rollback of this one.
        context.errorText = L"Failed to prepare the rollback backup directory";
        return UpgradeResult::StrategyFailed;
    }

    QLNUpgradeProgress progress;
    progress.targetVersion = context.version;
    progress.upgradeType = L"silent";
    progress.stagingDir = context.stagingDir;
    progress.productDir = productDir;
    progress.completedCategories = journal.CompletedCategories();
    progress.inProgress = true;
    progress.SaveUpgradeProgress();
    std::wstring outcome = L"Failed";
    auto recordOutcome = qln::ScopeExit([&] {
        UpdateUpgradeState(outcome);
        ClearUpgradeProgress();
    });

    KM_LOG_INFO(L"Stopping QLNCache...");
    bool cacheStopped = false;
    if (!StopQLNCache(&cacheStopped)) KM_LOG_WARN(L"Failed to stop QLNCache, continuing anyway...");
    auto restartCache = qln::ScopeExit([&context, cacheStopped] {
        if (context.elevatedCopy) {
            // A cache started from here would keep administrator rights: the
            // daemon that waits for this copy starts it now, if it ran.
            if (!cacheStopped) return;
            KM_LOG_INFO(L"QLNCache is restarted by the daemon that started this elevated copy");
            const qln::UniqueHandle stoppedEvent(::OpenEventW(EVENT_MODIFY_STATE, FALSE, KMWinOSUtils::kQLNCacheStoppedEvent));
            if (!stoppedEvent || !::SetEvent(stoppedEvent.get())) {
                KM_LOG_WARN(L"Cannot tell the daemon to restart QLNCache, error: {}", ::GetLastError());
            }
            return;
        }
        KM_LOG_INFO(L"Restarting QLNCache...");
        (void)KMWinOSUtils::RunQLNCacheProcess();
    });

    KM_LOG_INFO(L"Install root directory: {}", context.installRoot);
    const FileInventory inventory = GetUpgradeFileList(productDir);

    int32_t succeeded = 0;
    int32_t failed = 0;
    std::set<UpgradeFileCategory> completed = progress.completedCategories;
    const bool deployed = DeployCategorizedFiles(inventory, productDir, context.installRoot, backupDir, completed,
                                                 succeeded, failed, journal);
    // The journal of a finished deployment stays until its outcome is stored
    // (the engine removes it with the workspace): a run killed before that
    // would otherwise lose the restart the deployment needs.
    KM_LOG_INFO(L"File replacement complete. Success: {}, Failed: {}, PendingReboot: {}", succeeded, failed,
                m_pendingReboot);

    UpgradeResult result = UpgradeResult::StrategyFailed;
    if (deployed) {
        PathSet expected;
        for (const auto& [category, paths] : inventory) {
            if (category == UpgradeFileCategory::Common || category == UpgradeFileCategory::System ||
                category == UpgradeFileCategory::System64) {
                continue;
            }
            expected.insert(paths.begin(), paths.end());
        }
        (void)RemoveObsoleteFiles(context.installRoot, expected);
        if (m_pendingReboot) {
            KM_LOG_INFO(L"Update complete. Some files need reboot to take effect.");
            result = UpgradeResult::SuccessByReplaceNeedReboot;
        } else {
            KM_LOG_INFO(L"Deployment completed successfully.");
            result = UpgradeResult::SuccessByReplace;
        }
        outcome = L"Succeeded";
    } else {
        context.errorText = L"Deployment failed, all changes rolled back";
    }

    restartCache.run();
    recordOutcome.run();
    return result;
}

bool ReplaceSilentUpgradeStrategy::RollBackJournal(ReplaceDeployJournal& journal, const std::wstring& installRoot,
                                                   const std::wstring& backupDir) {
    (void)journal.RecordRollbackStarted();
    int32_t failures = 0;
    (void)RollbackDeployedFiles(journal.Files(), installRoot, backupDir, &failures);
    RemoveCreatedFolders(installRoot, journal);
    if (failures != 0) {
        KM_LOG_ERROR(L"{} files of the interrupted deployment could not be rolled back; keeping its journal", failures);
        return false;
    }
    journal.Remove();
    return true;
}

ReplaceSilentUpgradeStrategy::InterruptedRollback ReplaceSilentUpgradeStrategy::RollBackInterruptedDeployment(
    const std::wstring& stagingDir, const std::wstring& installRoot) {
    ReplaceDeployJournal journal(qln::JoinPath(stagingDir, kJournalName));
    if (!journal.Load()) return journal.Unreadable() ? InterruptedRollback::Impossible : InterruptedRollback::NothingToDo;
    KM_LOG_WARN(L"Rolling back the interrupted deployment journalled in {}", stagingDir);
    ReplaceSilentUpgradeStrategy strategy;
    if (!strategy.RollBackJournal(journal, installRoot, stagingDir + L"\\rollback_backup")) {
        return InterruptedRollback::Impossible;
    }
    KM_LOG_INFO(L"The interrupted deployment is rolled back; the installation is the release it replaced");
    return InterruptedRollback::RolledBack;
}

#pragma once
// The silent strategy that installs a release without letting Windows
// Installer touch the live installation: the package is unpacked by an
// administrative installation, its files are sorted into categories and
// copied over the installed files category by category. Every overwritten
// file is backed up first; the first file that cannot be put in place undoes
// everything this run did, so the installation ends either fully on the new
// release or as it was. Files held by other programs are renamed aside and
// replaced (the old file goes at the next restart).
//
// One object serves one pipeline run on the upgrade worker thread (or in the
// elevated copy); nothing here is shared with other threads.
//
// No tree walk here follows a reparse point: a junction inside the unpacked
// or the installed tree is neither listed, deployed, rolled back nor removed
// through, so nothing outside the trees is ever written or deleted.

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"
#include "QLNUpgrade/KM/Upgrade/UpgradeFileCategory.h"

class ReplaceDeployJournal;

class ReplaceSilentUpgradeStrategy final : public IUpgradeStrategy {
public:
    // Case-insensitive ordering of relative paths, as the file system compares names.
    struct NoCaseLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
    };
    using PathSet = std::set<std::wstring, NoCaseLess>;
    // Relative paths (backslash-separated, no leading backslash) per category,
    // each list in the order the directory scan found the files.
    using FileInventory = std::map<UpgradeFileCategory, std::vector<std::wstring>>;

    // Names of files that locked-file replacement moves aside: the target
    // followed by this suffix, or by the suffix, "." and 1 to 100.
    static constexpr std::wstring_view kBackupSuffix = L".qlnupd.bak";
    static constexpr int kMaxBackupAlternatives = 100;
    static constexpr int kDeployAttempts = 3;

    ReplaceSilentUpgradeStrategy() = default;
    ~ReplaceSilentUpgradeStrategy() override = default;

    // Unpack, list, stop the status cache, deploy with backup and rollback,
    // restart the cache. SuccessByReplace, SuccessByReplaceNeedReboot, or
    // StrategyFailed with the reason in the context's errorText.
    UpgradeResult Execute(UpgradeContext& context) override;
    const wchar_t* GetName() const override { return L"SilentReplace"; }

    // True once a file was replaced by rename-and-copy in the current run.
    [[nodiscard]] bool PendingReboot() const noexcept { return m_pendingReboot; }

    // --- Extraction and file inventory -----------------------------------

    // Runs "msiexec.exe /a" into extractDir (created when missing) and waits
    // up to two minutes; a run that takes longer is terminated. True when
    // msiexec ended with exit code 0.
    [[nodiscard]] static bool ExtractMsiFiles(const std::wstring& msiPath, const std::wstring& extractDir);
    // The directory holding "bin" inside the unpacked tree: "Program
    // Files\Quillon", else "<subdirectory>\Quillon" in listing order, else the
    // extraction directory itself; empty when none holds "bin".
    [[nodiscard]] static std::wstring FindExtractedProductDir(const std::wstring& extractDir);
    // False only when the running status cache could not be terminated;
    // stopped (when given) tells whether one was running and was stopped.
    [[nodiscard]] static bool StopQLNCache(bool* stopped = nullptr);
    // Appends the files below directory (depth first, in listing order) as
    // paths relative to root, skipping ".msi" files, backup files and paths
    // already in seen. Unreadable directories and reparse points are skipped.
    static void ScanDirectoryRecursive(const std::wstring& root, const std::wstring& directory,
                                       std::vector<std::wstring>& files, PathSet& seen);
    [[nodiscard]] static UpgradeFileCategory CategorizeUpgradeFile(std::wstring_view relativePath);
    [[nodiscard]] static FileInventory GetUpgradeFileList(const std::wstring& productDir);
    // True for a file name that locked-file replacement produces: longer than
    // the suffix and ending with it, or ending with the suffix, "." and a
    // number (case-insensitive). The start-up clean-up removes such files.
    [[nodiscard]] static bool IsReplaceBackupFileName(std::wstring_view fileName) noexcept;

    // --- Putting one file in place ---------------------------------------

    // Copies source over target: directly when target is free (a read-only
    // attribute is cleared), by rename-and-copy when another process holds
    // it, a plain copy when target does not exist (its folder must exist).
    // False leaves target as it was, as far as the system allows.
    [[nodiscard]] bool DeployFile(const std::wstring& source, const std::wstring& target);
    [[nodiscard]] bool ReplaceUnlockedFile(const std::wstring& source, const std::wstring& target);
    // Moves target aside to target + ".qlnupd.bak" (or a numbered
    // alternative), copies source to target, schedules the old file for
    // deletion at restart and sets the pending-reboot flag. When the copy
    // fails the old file is moved back.
    [[nodiscard]] bool ReplaceLockedFile(const std::wstring& source, const std::wstring& target);

    // --- Deployment, backup and rollback ---------------------------------

    // Deploys the categories in category order, skipping those already in
    // completed (they were deployed by an interrupted run recorded in
    // journal). Each finished category is added to completed and persisted in
    // the progress record. On the first file that cannot be backed up or put
    // in place after three attempts, everything deployed in this run (and by
    // the interrupted run it continues) is rolled back and false is returned.
    [[nodiscard]] bool DeployCategorizedFiles(const FileInventory& inventory, const std::wstring& productDir,
                                              const std::wstring& installRoot, const std::wstring& backupDir,
                                              std::set<UpgradeFileCategory>& completed, int32_t& succeeded,
                                              int32_t& failed, ReplaceDeployJournal& journal);
    // Copies the installed file to backupDir\relativePath. True when backed
    // up, or when there is nothing to back up (the file is new).
    [[nodiscard]] static bool BackupFileForRollback(const std::wstring& installedPath,
                                                    const std::wstring& relativePath, const std::wstring& backupDir);
    // Restores each path from its backup, or deletes it when it has none (it
    // was new); a new file in use is deleted at the next restart. Returns the
    // number of paths restored; failures (when given) grows by the number of
    // paths left other than they were before the deployment.
    int32_t RollbackDeployedFiles(const std::vector<std::wstring>& relativePaths, const std::wstring& installRoot,
                                  const std::wstring& backupDir, int32_t* failures = nullptr);

    // The deployment journal below a staging (workspace) directory.
    static constexpr wchar_t kJournalName[] = L"replace.journal";
    enum class InterruptedRollback { NothingToDo, RolledBack, Impossible };
    // Puts back what the interrupted deployment journalled in stagingDir
    // (from its backups, without a package) and removes the journal once
    // every path is as before. Impossible keeps journal and backups for the
    // next try (the journal cannot be read, or a path could not be restored).
    // Only for a release newer than the running one: the backups of any other
    // are older than what is installed now.
    [[nodiscard]] static InterruptedRollback RollBackInterruptedDeployment(const std::wstring& stagingDir,
                                                                           const std::wstring& installRoot);
    // Reports (never deletes) installed files that the release does not
    // contain. Returns their number.
    static int32_t RemoveObsoleteFiles(const std::wstring& installRoot, const PathSet& expectedFiles);

private:
    enum class RollbackOutcome { Restored, Untouched, Failed };
    // One path of a rollback: restored, as it was already (a new file that
    // never came), or failed.
    RollbackOutcome RollbackFile(const std::wstring& relativePath, const std::wstring& installRoot,
                                 const std::wstring& backupDir);
    // Clears a read-only mark (which would keep the file) and has Windows
    // delete a file renamed aside at the next restart.
    static void DeleteAtRestart(const std::wstring& renamedFile);
    // Whether a file that the interrupted run noted before renaming it aside
    // is still there under its renamed name (each such file is scheduled for
    // deletion at restart again): only then does its restart note count.
    [[nodiscard]] static bool ReclaimRenamedAside(const ReplaceDeployJournal& journal, const std::wstring& installRoot);
    // Rolls back everything the journal names and the folders it created,
    // after noting in it that a rollback began. True, with the journal
    // removed, when every path is as it was before the deployment.
    bool RollBackJournal(ReplaceDeployJournal& journal, const std::wstring& installRoot, const std::wstring& backupDir);

    bool m_pendingReboot = false;
    // Installed path -> the name its old content was renamed to in this run,
    // so a rollback can put the very same file back under its name.
    std::map<std::wstring, std::wstring, NoCaseLess> m_renamedAside;
    // The journal of the deployment under way, where a file renamed aside is
    // noted; none outside DeployCategorizedFiles.
    ReplaceDeployJournal* m_journal = nullptr;
};

// The processes that hold a file open, as "name (pid N)" joined by ", ",
// asked of the Restart Manager; empty when none is known or the query failed.
[[nodiscard]] std::wstring DescribeFileHolders(const std::wstring& path) noexcept;

namespace qln::seams {

// How long an administrative extraction may run before it is terminated.
inline DWORD g_msiExtractionTimeoutMs = 120000;
// Pause between deployment attempts on one file, and after stopping the
// status cache so that it lets go of its files.
inline DWORD g_replacePauseMs = 1000;
// Who holds a file that cannot be replaced (the Restart Manager answers
// nothing under emulation; tests put in an answer).
inline std::wstring (*g_describeFileHolders)(const std::wstring& path) noexcept = &DescribeFileHolders;

}  // namespace qln::seams

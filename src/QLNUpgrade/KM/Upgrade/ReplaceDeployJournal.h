#pragma once
// What the replace strategy has started to deploy, kept in a file beside the
// rollback backups so that it survives the process. A run that is killed
// leaves the journal behind; the next run for the same staging directory
// finds it and knows which installed files it must roll back (their old
// content waits in the backup directory, or they were new) and which
// categories it need not deploy again. A run that ends normally removes it.
//
// Format: UTF-8 lines, "D <relative path>" before a folder is created,
// "F <relative path>" before a file is touched (after its backup exists),
// "C <category name>" once a category is complete, "R" before a file in use
// is first renamed aside (whoever finishes the deployment asks for a restart
// when a journalled file's renamed copy is there) and "B" before a rollback
// begins (whoever comes next must finish the rollback: the categories marked
// complete may be partly old again). Each line is written through to the
// disk before the caller goes on. The file stays open for appending from the
// first line until Load, Remove or the end of the object, so that no other
// writer comes between.

#include <set>
#include <string>
#include <vector>

#include "QLNUpgrade/KM/Upgrade/UpgradeFileCategory.h"
#include "Utils/UniqueHandle.h"

class ReplaceDeployJournal {
public:
    explicit ReplaceDeployJournal(std::wstring path) : m_path(std::move(path)) {}

    const std::wstring& Path() const noexcept { return m_path; }
    // Reads the journal of an interrupted run. False when there is none, or
    // when it cannot be opened or names a path that is not a plain relative
    // path inside the installation (then Unreadable(), and nothing of it is
    // kept); unreadable lines are skipped with a log line.
    [[nodiscard]] bool Load();
    // The journal exists but cannot be used: the interrupted run's files and
    // backups must then stay as they are, and nothing is done on its word.
    bool Unreadable() const noexcept { return m_unreadable; }
    // Relative paths in the order they were first recorded.
    const std::vector<std::wstring>& Files() const noexcept { return m_files; }
    // Folders created in the installation, parents before children.
    const std::vector<std::wstring>& Folders() const noexcept { return m_folders; }
    const std::set<UpgradeFileCategory>& CompletedCategories() const noexcept { return m_completed; }
    // Whether a file in use was about to be renamed aside, by this run or the
    // interrupted one (the rename may have failed or never come).
    bool RestartNeeded() const noexcept { return m_restartNeeded; }
    // Whether a rollback began.
    bool RollbackStarted() const noexcept { return m_rollbackStarted; }
    [[nodiscard]] bool Contains(const std::wstring& relativePath) const;

    // Each returns false when the line could not be written through.
    [[nodiscard]] bool RecordFile(const std::wstring& relativePath);
    [[nodiscard]] bool RecordFolder(const std::wstring& relativePath);
    [[nodiscard]] bool RecordCategory(UpgradeFileCategory category);
    [[nodiscard]] bool RecordRestartNeeded();
    [[nodiscard]] bool RecordRollbackStarted();
    // Deletes the file and forgets what it said; the deployment is final.
    void Remove() noexcept;

private:
    [[nodiscard]] bool Append(const std::wstring& line);
    void Forget() noexcept;

    std::wstring m_path;
    qln::UniqueFileHandle m_file;  // open for appending once a line was written
    std::vector<std::wstring> m_files;
    std::set<std::wstring> m_fileKeys;  // lower-case forms of m_files
    std::vector<std::wstring> m_folders;
    std::set<UpgradeFileCategory> m_completed;
    bool m_restartNeeded = false;
    bool m_rollbackStarted = false;
    bool m_unreadable = false;
};

// Putting one file in place, backing it up, and undoing it again: the parts
// of the replace strategy that touch the installed files.

#include <windows.h>
#include <restartmanager.h>
#include <shlwapi.h>

#include <cstring>

#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/UniqueHandle.h"

namespace {

using qln::Exists;
using qln::ParentOf;

// Whether both files can be read and hold the same bytes.
bool SameContent(const std::wstring& first, const std::wstring& second) noexcept {
    const auto open = [](const std::wstring& path) {
        return qln::UniqueFileHandle(::CreateFileW(path.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    const qln::UniqueFileHandle a = open(first);
    const qln::UniqueFileHandle b = open(second);
    LARGE_INTEGER sizeA{};
    LARGE_INTEGER sizeB{};
    if (!a || !b || !::GetFileSizeEx(a.get(), &sizeA) || !::GetFileSizeEx(b.get(), &sizeB) ||
        sizeA.QuadPart != sizeB.QuadPart) {
        return false;
    }
    char bufferA[16384];
    char bufferB[16384];
    for (LONGLONG left = sizeA.QuadPart; left > 0;) {
        DWORD readA = 0;
        DWORD readB = 0;
        if (!::ReadFile(a.get(), bufferA, sizeof(bufferA), &readA, nullptr) ||
            !::ReadFile(b.get(), bufferB, sizeof(bufferB), &readB, nullptr) || readA != readB || readA == 0 ||
            std::memcmp(bufferA, bufferB, readA) != 0) {
            return false;
        }
        left -= readA;
    }
    return true;
}

}  // namespace

std::wstring DescribeFileHolders(const std::wstring& path) noexcept {
    try {
        if (!KMSystemLibrary::Require(L"rstrtmgr.dll")) return {};
        DWORD session = 0;
        WCHAR sessionKey[CCH_RM_SESSION_KEY + 1] = {};
        if (::RmStartSession(&session, 0, sessionKey) != ERROR_SUCCESS) return {};
        auto endSession = qln::ScopeExit([&] { ::RmEndSession(session); });

        LPCWSTR files[] = {path.c_str()};
        if (::RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) return {};

        std::vector<RM_PROCESS_INFO> processes;
        UINT needed = 0;
        UINT count = 0;
        DWORD reasons = 0;
        DWORD status = ERROR_MORE_DATA;
        // The list can grow between the size query and the read.
        for (int round = 0; round < 3 && status == ERROR_MORE_DATA; ++round) {
            processes.resize(needed);
            count = static_cast<UINT>(processes.size());
            status = ::RmGetList(session, &needed, &count, processes.empty() ? nullptr : processes.data(), &reasons);
        }
        if (status != ERROR_SUCCESS) return {};

        std::wstring text;
        for (UINT i = 0; i < count && i < processes.size(); ++i) {
            if (!text.empty()) text += L", ";
            text += fmt::format(L"{} (pid {})", processes[i].strAppName, processes[i].Process.dwProcessId);
        }
        return text;
    } catch (...) {
        return {};
    }
}

bool ReplaceSilentUpgradeStrategy::DeployFile(const std::wstring& source, const std::wstring& target) {
    if (!Exists(target)) {
        KM_LOG_DEBUG(L"Target not found, copying new file: {}", target);
        if (::CopyFileW(source.c_str(), target.c_str(), FALSE)) return true;
        KM_LOG_ERROR(L"CopyFile failed for {}, error: {}", target, ::GetLastError());
        return false;
    }

    qln::UniqueFileHandle probe(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe) {
        probe.reset();
        return ReplaceUnlockedFile(source, target);
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        KM_LOG_INFO(L"File is locked, using rename+copy strategy: {}", target);
        return ReplaceLockedFile(source, target);
    }
    // Access denied and the like: the copy itself tells whether it can be done.
    return ReplaceUnlockedFile(source, target);
}

bool ReplaceSilentUpgradeStrategy::ReplaceUnlockedFile(const std::wstring& source, const std::wstring& target) {
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(target.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (::CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        KM_LOG_DEBUG(L"Direct overwrite successful: {}", target);
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
        KM_LOG_WARN(L"CopyFile sharing violation, falling back to rename+copy: {}", target);
        return ReplaceLockedFile(source, target);
    }
    KM_LOG_ERROR(L"CopyFile failed for {}, error: {}", target, error);
    return false;
}

bool ReplaceSilentUpgradeStrategy::ReplaceLockedFile(const std::wstring& source, const std::wstring& target) {
    std::wstring backup = target + std::wstring(kBackupSuffix);
    if (Exists(backup) && !::DeleteFileW(backup.c_str())) {
        KM_LOG_DEBUG(L"Cannot delete existing backup (likely locked), will overwrite: {}", backup);
    }

    // Noted before the rename: a run killed just after it would otherwise
    // lose the restart that the holder of the old file needs. A note whose
    // rename never happened finds no renamed file and asks for nothing.
    if (m_journal != nullptr) (void)m_journal->RecordRestartNeeded();

    if (::MoveFileExW(target.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        KM_LOG_DEBUG(L"Renamed locked file to backup: {}", backup);
    } else if (const DWORD error = ::GetLastError(); error == ERROR_ACCESS_DENIED) {
        KM_LOG_WARN(L"MoveFileEx REPLACE_EXISTING failed with ACCESS_DENIED for {}, backup file likely pending reboot "
                    L"deletion, trying incremental suffix",
                    backup);
        bool renamed = false;
        for (int n = 1; n <= kMaxBackupAlternatives && !renamed; ++n) {
            const std::wstring alternative = fmt::format(L"{}.{}", backup, n);
            if (Exists(alternative)) ::DeleteFileW(alternative.c_str());
            if (::MoveFileExW(target.c_str(), alternative.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                backup = alternative;
                renamed = true;
                KM_LOG_INFO(L"Renamed locked file to alternative backup: {}", alternative);
            }
        }
        if (!renamed) {
            KM_LOG_ERROR(L"All backup suffix attempts failed for {}", target);
            return false;
        }
    } else {
        KM_LOG_ERROR(L"MoveFileEx failed for {}, error: {}", target, error);
        return false;
    }

    if (!::CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        KM_LOG_ERROR(L"CopyFile failed for {}, error: {}", target, ::GetLastError());
        // A copy that failed half-way may have left a file at the target;
        // the old one must take its place again.
        if (!::MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            KM_LOG_ERROR(L"Failed to move {} back to {}, error: {}", backup, target, ::GetLastError());
        }
        return false;
    }
    KM_LOG_DEBUG(L"Copied new file to target: {}", target);
    DeleteAtRestart(backup);
    m_renamedAside[target] = backup;
    m_pendingReboot = true;
    KM_LOG_INFO(L"Locked file replaced via rename+copy: {}", target);
    return true;
}

void ReplaceSilentUpgradeStrategy::DeleteAtRestart(const std::wstring& renamedFile) {
    // A read-only old file would survive both the deletion at restart and the
    // start-up clean-up.
    const DWORD attributes = ::GetFileAttributesW(renamedFile.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(renamedFile.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (!::MoveFileExW(renamedFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        KM_LOG_WARN(L"MoveFileEx(DELAY_UNTIL_REBOOT) failed for {}, error: {}", renamedFile, ::GetLastError());
    }
}

bool ReplaceSilentUpgradeStrategy::ReclaimRenamedAside(const ReplaceDeployJournal& journal,
                                                       const std::wstring& installRoot) {
    if (!journal.RestartNeeded()) return false;
    bool found = false;
    for (const std::wstring& path : journal.Files()) {
        const std::wstring installed = qln::JoinPath(installRoot, path);
        const std::wstring folder = ParentOf(installed);
        const std::wstring pattern = installed.substr(folder.size() + 1) + std::wstring(kBackupSuffix) + L"*";
        qln::ForEachEntry(folder, pattern.c_str(), [&](const WIN32_FIND_DATAW& entry) {
            if (!IsReplaceBackupFileName(entry.cFileName)) return true;
            KM_LOG_INFO(L"The interrupted run renamed {} aside to {}", path, entry.cFileName);
            // It may have been killed before it asked for the deletion.
            DeleteAtRestart(qln::JoinPath(folder, entry.cFileName));
            found = true;
            return true;
        });
    }
    return found;
}

bool ReplaceSilentUpgradeStrategy::BackupFileForRollback(const std::wstring& installedPath,
                                                         const std::wstring& relativePath,
                                                         const std::wstring& backupDir) {
    if (!Exists(installedPath)) {
        KM_LOG_DEBUG(L"Target does not exist, no backup needed: {}", installedPath);
        return true;
    }
    const std::wstring backupPath = qln::JoinPath(backupDir, relativePath);
    (void)CreateDirectoryPath(ParentOf(backupPath));
    if (::CopyFileW(installedPath.c_str(), backupPath.c_str(), FALSE)) {
        // The attributes (read-only above all) are part of what a rollback
        // restores. The copy takes them over; setting them again costs more
        // than comparing them.
        const DWORD attributes = ::GetFileAttributesW(installedPath.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && ::GetFileAttributesW(backupPath.c_str()) != attributes) {
            ::SetFileAttributesW(backupPath.c_str(), attributes);
        }
        KM_LOG_DEBUG(L"Backed up for rollback: {}", relativePath);
        return true;
    }
    KM_LOG_ERROR(L"Failed to backup file for rollback: {} -> {}, error: {}", installedPath, backupPath,
                 ::GetLastError());
    return false;
}

ReplaceSilentUpgradeStrategy::RollbackOutcome ReplaceSilentUpgradeStrategy::RollbackFile(const std::wstring& relativePath, const std::wstring& installRoot,
                                                const std::wstring& backupDir) {
    const std::wstring installedPath = qln::JoinPath(installRoot, relativePath);
    const std::wstring backupPath = qln::JoinPath(backupDir, relativePath);

    // The old file that was renamed aside in this run is still the very file
    // (still held open by someone): giving it its name back restores it
    // without leaving a second copy behind.
    if (const auto renamed = m_renamedAside.find(installedPath); renamed != m_renamedAside.end()) {
        if (::MoveFileExW(renamed->second.c_str(), installedPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            m_renamedAside.erase(renamed);
            KM_LOG_INFO(L"Rolled back: {}", relativePath);
            return RollbackOutcome::Restored;
        }
        KM_LOG_WARN(L"Could not rename {} back, restoring from the backup copy, error: {}", renamed->second,
                    ::GetLastError());
    }

    if (Exists(backupPath)) {
        // A file whose replacement failed may still be the old one: putting
        // it back anyway would rename a file in use aside for nothing.
        if (SameContent(backupPath, installedPath) || DeployFile(backupPath, installedPath)) {
            const DWORD attributes = ::GetFileAttributesW(backupPath.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesW(installedPath.c_str(), attributes);
            KM_LOG_INFO(L"Rolled back: {}", relativePath);
            return RollbackOutcome::Restored;
        }
        KM_LOG_ERROR(L"Failed to rollback file: {}", relativePath);
        return RollbackOutcome::Failed;
    }
    // Neither a backup nor a file: the file was new and never came, so the
    // path is as it was.
    if (!Exists(installedPath)) return RollbackOutcome::Untouched;

    if (::DeleteFileW(installedPath.c_str())) {
        KM_LOG_INFO(L"Rolled back (deleted new file): {}", relativePath);
        return RollbackOutcome::Restored;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
        if (::MoveFileExW(installedPath.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            KM_LOG_INFO(L"Rolled back (new file scheduled for reboot deletion): {}", relativePath);
            return RollbackOutcome::Restored;
        }
        KM_LOG_ERROR(L"Failed to schedule reboot deletion for new file: {}, error: {}", relativePath,
                     ::GetLastError());
        return RollbackOutcome::Failed;
    }
    KM_LOG_ERROR(L"Failed to delete new file during rollback: {}, error: {}", relativePath, error);
    return RollbackOutcome::Failed;
}

int32_t ReplaceSilentUpgradeStrategy::RollbackDeployedFiles(const std::vector<std::wstring>& relativePaths,
                                                            const std::wstring& installRoot,
                                                            const std::wstring& backupDir, int32_t* failures) {
    KM_LOG_WARN(L"Rolling back {} deployed files", relativePaths.size());
    int32_t restored = 0;
    int32_t failed = 0;
    for (const auto& path : relativePaths) {
        const RollbackOutcome outcome = RollbackFile(path, installRoot, backupDir);
        restored += outcome == RollbackOutcome::Restored ? 1 : 0;
        failed += outcome == RollbackOutcome::Failed ? 1 : 0;
    }
    KM_LOG_INFO(L"Rollback complete: {}/{} files restored", restored, relativePaths.size());
    if (failures != nullptr) *failures += failed;
    return restored;
}

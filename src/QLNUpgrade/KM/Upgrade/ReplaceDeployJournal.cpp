#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"

#include <windows.h>

#include <optional>

#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

namespace {

// Paths are compared as the file system compares names.
std::wstring KeyOf(const std::wstring& relativePath) {
    std::wstring key(relativePath);
    if (!key.empty()) ::CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

std::optional<UpgradeFileCategory> CategoryNamed(std::wstring_view name) {
    for (const UpgradeFileCategory category : UpgradeFileCategoryOrder) {
        if (qln::EqualsNoCase(name, UpgradeFileCategoryName(category))) return category;
    }
    return std::nullopt;
}

}  // namespace

bool ReplaceDeployJournal::Load() {
    m_file.reset();
    Forget();
    m_unreadable = false;
    const std::string bytes = [&] {
        std::string out;
        qln::UniqueFileHandle file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                KM_LOG_ERROR(L"Cannot open deployment journal {}, error: {}", m_path, error);
                m_unreadable = true;
            }
            return out;
        }
        char buffer[16384];
        DWORD read = 0;
        while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) out.append(buffer, read);
        out.push_back('\n');  // marks "opened"
        return out;
    }();
    if (bytes.empty()) return false;

    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const std::wstring line = qln::Utf8ToWide(std::string_view(bytes).substr(start, end - start));
        start = end + 1;
        if (line.empty()) continue;
        const bool names = line.size() > 2 && (line.starts_with(L"F ") || line.starts_with(L"D "));
        if (names && !qln::IsSafeRelativePath(std::wstring_view(line).substr(2))) {
            // A rollback deletes and restores what the journal names: one
            // path that could lead out of the installation makes every line
            // suspect, so none of them is acted on.
            KM_LOG_ERROR(L"Deployment journal {} names a path outside the installation, refusing it: {}", m_path,
                         line.substr(2));
            Forget();
            m_unreadable = true;
            return false;
        }
        if (names && line[0] == L'F') {
            const std::wstring path = line.substr(2);
            if (m_fileKeys.insert(KeyOf(path)).second) m_files.push_back(path);
        } else if (names) {
            m_folders.push_back(line.substr(2));
        } else if (line == L"R") {
            m_restartNeeded = true;
        } else if (line == L"B") {
            m_rollbackStarted = true;
        } else if (const auto category = line.starts_with(L"C ") ? CategoryNamed(line.substr(2)) : std::nullopt) {
            m_completed.insert(*category);
        } else {
            // A line cut short by the interruption, or damage: what it named
            // cannot be trusted, and every complete line still counts.
            KM_LOG_WARN(L"Ignoring unreadable deployment journal line: {}", line);
        }
    }
    return true;
}

bool ReplaceDeployJournal::Contains(const std::wstring& relativePath) const {
    return m_fileKeys.count(KeyOf(relativePath)) != 0;
}

bool ReplaceDeployJournal::RecordFile(const std::wstring& relativePath) {
    if (Contains(relativePath)) return true;
    if (!Append(L"F " + relativePath)) return false;
    m_fileKeys.insert(KeyOf(relativePath));
    m_files.push_back(relativePath);
    return true;
}

bool ReplaceDeployJournal::RecordFolder(const std::wstring& relativePath) {
    if (!Append(L"D " + relativePath)) return false;
    m_folders.push_back(relativePath);
    return true;
}

bool ReplaceDeployJournal::RecordCategory(UpgradeFileCategory category) {
    if (m_completed.count(category) != 0) return true;
    if (!Append(L"C " + std::wstring(UpgradeFileCategoryName(category)))) return false;
    m_completed.insert(category);
    return true;
}

bool ReplaceDeployJournal::RecordRestartNeeded() {
    if (m_restartNeeded) return true;
    if (!Append(L"R")) return false;
    m_restartNeeded = true;
    return true;
}

bool ReplaceDeployJournal::RecordRollbackStarted() {
    if (m_rollbackStarted) return true;
    if (!Append(L"B")) return false;
    m_rollbackStarted = true;
    return true;
}

void ReplaceDeployJournal::Forget() noexcept {
    m_files.clear();
    m_fileKeys.clear();
    m_folders.clear();
    m_completed.clear();
    m_restartNeeded = false;
    m_rollbackStarted = false;
}

void ReplaceDeployJournal::Remove() noexcept {
    m_file.reset();
    Forget();
    if (!::DeleteFileW(m_path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        KM_LOG_WARN(L"Failed to remove deployment journal {}, error: {}", m_path, ::GetLastError());
    }
}

bool ReplaceDeployJournal::Append(const std::wstring& line) {
    // A line starts on a fresh line even when the previous writer was killed
    // in the middle of one; the torn line is then skipped by Load.
    std::string bytes(1, '\n');
    bytes += qln::WideToUtf8(line);
    bytes.push_back('\n');
    // Opening the file costs more than writing a line to it, once per file
    // of a release.
    if (!m_file) {
        m_file.reset(::CreateFileW(m_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    }
    DWORD written = 0;
    if (!m_file || !::WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        KM_LOG_ERROR(L"Failed to write deployment journal {}, error: {}", m_path, ::GetLastError());
        // The next line tries a fresh handle.
        m_file.reset();
        return false;
    }
    return true;
}

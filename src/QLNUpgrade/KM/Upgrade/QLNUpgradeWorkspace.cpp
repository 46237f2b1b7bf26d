#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"

#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"

#include <vector>

namespace {

constexpr wchar_t kRootName[] = L"QLNUpgrade";

// FNV-1a over the upper-case UTF-16 units: stable across runs and builds.
std::uint64_t HashNoCase(std::wstring text) {
    if (!text.empty()) ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t unit : text) {
        hash ^= static_cast<std::uint16_t>(unit);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Every folder from the drive down to path (path itself included) must be a
// real folder: a junction on the way would put the workspace wherever it
// points.
bool NoReparsePointOnTheWay(const std::wstring& path) {
    for (size_t slash = path.find(L'\\', 3);; slash = path.find(L'\\', slash + 1)) {
        const std::wstring folder = path.substr(0, slash);
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !qln::ProtectedDirectory::IsHoldable(attributes)) {
            KM_LOG_ERROR(L"Upgrade workspace: {} is not a plain folder (attributes 0x{:x}), refusing to work below it",
                         folder, attributes);
            return false;
        }
        if (slash == std::wstring::npos) return true;
    }
}

// Holds the folder, making it first when it is missing. Only the
// administrators can make anything below the root, so an existing folder
// there is one of ours.
bool HoldOrCreate(qln::ProtectedDirectory& folder, const std::wstring& path) {
    DWORD error = 0;
    if (folder.Create(path, error, true)) return true;
    if (error == ERROR_ALREADY_EXISTS && folder.Hold(path, error)) return true;
    KM_LOG_ERROR(L"Upgrade workspace: cannot make or hold {}, error: {}", path, error);
    return false;
}

std::wstring AsideName(const std::wstring& root) {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return fmt::format(L"{}.untrusted-{:04}{:02}{:02}{:02}{:02}{:02}", root, now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond);
}

// Makes the root or holds the one an administrator's run made (its identity
// is the recorded one); any other folder of that name is moved aside.
bool OpenRoot(qln::ProtectedDirectory& folder, const std::wstring& root) {
    DWORD error = 0;
    bool made = folder.Create(root, error, true);
    if (!made && error != ERROR_ALREADY_EXISTS) {
        KM_LOG_ERROR(L"Upgrade workspace: cannot make {}, error: {}", root, error);
        return false;
    }
    if (!made) {
        const auto recorded = qln::ReadMachineString(QLNUpgradeWorkspace::kRootIdentityValue);
        if (folder.Hold(root, error) && recorded && !recorded->empty() && *recorded == folder.Identity()) {
            // Ours; whatever access list it has now, it gets ours again.
            if (folder.ReapplyProtection(error)) return true;
            KM_LOG_ERROR(L"Upgrade workspace: cannot protect {} again, error: {}", root, error);
            folder.Release();
            return false;
        }
        folder.Release();
        // Anybody may make a folder in ProgramData, with any access list and
        // anything inside: one we did not make is never used.
        const std::wstring aside = AsideName(root);
        KM_LOG_WARN(L"Upgrade workspace {} was not made by an administrator's upgrade, moving it aside to {}", root,
                    aside);
        if (!::MoveFileExW(root.c_str(), aside.c_str(), 0)) {
            KM_LOG_ERROR(L"Upgrade workspace: cannot move {} aside, error: {}", root, ::GetLastError());
            return false;
        }
        if (!folder.Create(root, error, true)) {
            KM_LOG_ERROR(L"Upgrade workspace: cannot make {}, error: {}", root, error);
            return false;
        }
    }
    const std::wstring identity = folder.Identity();
    if (identity.empty() || !qln::WriteMachineString(QLNUpgradeWorkspace::kRootIdentityValue, identity)) {
        // Without the record the next run could not tell this folder from one
        // made by somebody else, and would not find an interrupted run in it.
        KM_LOG_ERROR(L"Upgrade workspace: cannot record the identity of {}, error: {}", root, ::GetLastError());
        folder.Release();
        return false;
    }
    KM_LOG_INFO(L"Upgrade workspace root created: {}", root);
    return true;
}

// The root, checked and held, with no reparse point from the drive down to it.
bool OpenCheckedRoot(qln::ProtectedDirectory& folder, const std::wstring& root) {
    return NoReparsePointOnTheWay(root.substr(0, root.rfind(L'\\'))) && OpenRoot(folder, root);
}

}  // namespace

bool QLNDeploymentLock::Acquire(const std::wstring& installRoot) {
    Release();
    const std::wstring name = NameFor(installRoot);
    qln::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex) {
        // A mutex of that name that we may not open is as good as taken.
        KM_LOG_ERROR(L"Cannot open the deployment lock {}, error: {}", name, ::GetLastError());
        return false;
    }
    const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
    if (wait == WAIT_ABANDONED) {
        KM_LOG_WARN(L"The previous holder of the deployment lock {} ended without releasing it", name);
    } else if (wait != WAIT_OBJECT_0) {
        KM_LOG_WARN(L"Another upgrade holds the deployment lock {}", name);
        return false;
    }
    m_mutex = std::move(mutex);
    return true;
}

void QLNDeploymentLock::Release() noexcept {
    if (!m_mutex) return;
    ::ReleaseMutex(m_mutex.get());
    m_mutex.reset();
}

std::wstring QLNDeploymentLock::NameFor(const std::wstring& installRoot) {
    return L"Global\\QLNUpgradeDeployment-" + QLNUpgradeWorkspace::InstallationKey(installRoot);
}

std::wstring QLNUpgradeWorkspace::InstallationKey(const std::wstring& installRoot) {
    std::wstring root = installRoot;
    while (!root.empty() && root.back() == L'\\') root.pop_back();
    return fmt::format(L"{:016x}", HashNoCase(root));
}

std::wstring QLNUpgradeWorkspace::RootPath() {
    const std::wstring programData = GetProgramDataDirectory();
    return programData.empty() ? std::wstring() : qln::JoinPath(programData, kRootName);
}

std::wstring QLNUpgradeWorkspace::InstallationPath(const std::wstring& installRoot) {
    const std::wstring root = RootPath();
    return root.empty() ? std::wstring() : qln::JoinPath(root, InstallationKey(installRoot));
}

std::wstring QLNUpgradeWorkspace::PathFor(const std::wstring& installRoot, const std::wstring& version) {
    const std::wstring installation = InstallationPath(installRoot);
    return installation.empty() ? std::wstring() : qln::JoinPath(installation, QLNVersionInfo::VersionFolderName(version));
}

bool QLNUpgradeWorkspace::Open(const std::wstring& installRoot, const std::wstring& version) {
    Close();
    const std::wstring root = RootPath();
    if (root.empty()) {
        KM_LOG_ERROR(L"Upgrade workspace: the system names no ProgramData folder");
        return false;
    }
    const std::wstring installation = InstallationPath(installRoot);
    const std::wstring path = qln::JoinPath(installation, QLNVersionInfo::VersionFolderName(version));
    if (!OpenCheckedRoot(m_folders[0], root) ||
        !HoldOrCreate(m_folders[1], installation) || !HoldOrCreate(m_folders[2], path)) {
        Close();
        return false;
    }
    m_path = path;
    KM_LOG_INFO(L"Upgrade workspace: {} (installation {})", m_path, installRoot);
    return true;
}

bool QLNUpgradeWorkspace::TakePackage(HANDLE heldPackage, const std::wstring& fileName, std::wstring& copyPath) {
    copyPath.clear();
    if (!IsOpen() || !qln::IsPlainFileName(fileName)) {
        KM_LOG_ERROR(L"Upgrade workspace: cannot take the package '{}'", fileName);
        return false;
    }
    const std::wstring target = qln::JoinPath(m_path, fileName);
    m_package.reset();
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(target.c_str());
    DWORD error = 0;
    if (!qln::CopyFromHandle(heldPackage, target, error)) {
        KM_LOG_ERROR(L"Upgrade workspace: cannot copy the package to {}, error: {}", target, error);
        return false;
    }
    // Administrators only can write here; the hold keeps even them from
    // changing the file between its check and the installer's read.
    m_package.reset(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_package) {
        KM_LOG_ERROR(L"Upgrade workspace: cannot hold the package copy {}, error: {}", target, ::GetLastError());
        return false;
    }
    copyPath = target;
    KM_LOG_INFO(L"Package copied into the upgrade workspace: {}", target);
    return true;
}

void QLNUpgradeWorkspace::Close() noexcept {
    m_package.reset();
    for (auto folder = m_folders.rbegin(); folder != m_folders.rend(); ++folder) folder->Release();
    m_path.clear();
}

void QLNUpgradeWorkspace::Remove() {
    const std::wstring path = m_path;
    Close();
    if (path.empty()) return;
    if (qln::RemoveDirectoryTree(path)) {
        KM_LOG_INFO(L"Upgrade workspace removed: {}", path);
    } else {
        KM_LOG_WARN(L"Failed to remove the upgrade workspace {}, error: {}", path, ::GetLastError());
    }
}

std::wstring QLNAdminLogFolder::Path() {
    const std::wstring root = QLNUpgradeWorkspace::RootPath();
    return root.empty() ? std::wstring() : root + L"\\Logs\\";
}

const std::wstring& QLNAdminLogFolder::Open() {
    struct Held {
        qln::ProtectedDirectory root;
        qln::ProtectedDirectory logs;
        std::wstring path;
    };
    // Never destroyed: detached threads may log while the process exits.
    static const Held* const held = [] {
        auto* folders = new Held();
        const std::wstring root = QLNUpgradeWorkspace::RootPath();
        std::wstring path = Path();
        if (!root.empty() && OpenCheckedRoot(folders->root, root) &&
            HoldOrCreate(folders->logs, path.substr(0, path.size() - 1))) {
            folders->path = std::move(path);
        }
        return folders;
    }();
    return held->path;
}

void QLNAdminLogFolder::RemoveOldFiles() {
    const std::wstring& folder = Open();
    if (folder.empty()) return;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    constexpr std::uint64_t kKeepTicks = std::uint64_t{kKeepDays} * 24 * 3600 * 10000000;
    qln::ForEachEntry(folder.substr(0, folder.size() - 1), L"*.log", [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ticks(entry.ftLastWriteTime) + kKeepTicks > ticks(now))
            return true;
        if (::DeleteFileW((folder + name).c_str())) {
            KM_LOG_INFO(L"Removed old log file {}{}", folder, name);
        } else {
            KM_LOG_WARN(L"Cannot remove old log file {}{}, error: {}", folder, name, ::GetLastError());
        }
        return true;
    });
}

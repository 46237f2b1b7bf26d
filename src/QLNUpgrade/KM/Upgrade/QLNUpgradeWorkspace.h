#pragma once
// Where a run with administrator rights keeps everything it installs from or
// restores from: its own copy of the package, the unpacked release, the
// deployment journal and the rollback backups. The user's staging folder
// below %TEMP% stays the download cache of the daemon; nothing is installed
// from there, since any program of the user can change it.
//
//   %ProgramData%\QLNUpgrade                         owned by the administrators, protected
//     \<installation key>\<version>                   one per installation and release
//
// The installation key is a hash of the installation root, so that a resume
// finds the interrupted deployment of the same installation and release again.
// Only the system and the administrators may write below the root. A root
// that this machine's administrators did not make (its identity differs from
// the one recorded under HKLM\Software\Quillon\KM when it was made) is moved
// aside, never used: a program of the user may have made it first, with an
// access list of its choosing and files of its own inside. No component of
// the path may be a reparse point, and the folders are held open while the
// workspace is in use, so that none of them can be swapped.
//
// One object per run, on the thread of the engine.

#include "Utils/ProtectedDirectory.h"
#include "Utils/UniqueHandle.h"

#include <windows.h>

#include <array>
#include <string>

// One deployment per installation across the machine: a named mutex in the
// global namespace, named after the installation root. The owner is the
// thread that acquired it. A holder that was killed leaves it abandoned, which
// the next run takes over.
class QLNDeploymentLock {
public:
    QLNDeploymentLock() = default;
    ~QLNDeploymentLock() { Release(); }
    QLNDeploymentLock(const QLNDeploymentLock&) = delete;
    QLNDeploymentLock& operator=(const QLNDeploymentLock&) = delete;

    // False, at once, when another process (or thread) holds it.
    [[nodiscard]] bool Acquire(const std::wstring& installRoot);
    [[nodiscard]] bool Held() const noexcept { return static_cast<bool>(m_mutex); }
    void Release() noexcept;

    [[nodiscard]] static std::wstring NameFor(const std::wstring& installRoot);

private:
    qln::UniqueHandle m_mutex;  // set only while owned
};

class QLNUpgradeWorkspace {
public:
    // Name of the HKLM value that records the identity of the root folder.
    static constexpr wchar_t kRootIdentityValue[] = L"UpgradeWorkspaceRoot";

    QLNUpgradeWorkspace() = default;
    QLNUpgradeWorkspace(const QLNUpgradeWorkspace&) = delete;
    QLNUpgradeWorkspace& operator=(const QLNUpgradeWorkspace&) = delete;

    // 16 hexadecimal digits, the same for every spelling (letter case) of one
    // installation root.
    [[nodiscard]] static std::wstring InstallationKey(const std::wstring& installRoot);
    // %ProgramData%\QLNUpgrade; empty when the system does not name the folder.
    [[nodiscard]] static std::wstring RootPath();
    // The folder of an installation's workspaces, one per release; empty when
    // the system names no ProgramData folder. Nothing is created.
    [[nodiscard]] static std::wstring InstallationPath(const std::wstring& installRoot);
    // The workspace of an installation and release (nothing is created).
    [[nodiscard]] static std::wstring PathFor(const std::wstring& installRoot, const std::wstring& version);

    // Creates the workspace or opens the one an interrupted run left, and
    // holds every folder of it. False (logged) when it cannot be made safe.
    // Needs administrator rights.
    [[nodiscard]] bool Open(const std::wstring& installRoot, const std::wstring& version);
    [[nodiscard]] bool IsOpen() const noexcept { return !m_path.empty(); }
    // The version folder, without a trailing backslash; empty until opened.
    [[nodiscard]] const std::wstring& Path() const noexcept { return m_path; }

    // Copies the package from the held file into the workspace under the
    // same file name and holds the copy against writes; copyPath receives it.
    // A copy left by an earlier run is replaced.
    [[nodiscard]] bool TakePackage(HANDLE heldPackage, const std::wstring& fileName, std::wstring& copyPath);

    // Lets go of the folders and deletes the version folder with everything
    // in it (a junction inside goes as a link). Failures are logged.
    void Remove();
    // Lets go of the folders, leaving everything in place (an interrupted
    // deployment that a later run must finish or roll back).
    void Close() noexcept;

private:
    std::array<qln::ProtectedDirectory, 3> m_folders;  // root, installation, version
    qln::UniqueFileHandle m_package;
    std::wstring m_path;
};

// Where a run with administrator rights logs, itself and its installer runs:
// %ProgramData%\QLNUpgrade\Logs, below the workspace root and made and checked
// by the same rules. The user's LoggerDir is no place for it: a link there
// would have the run create or append to any file of the machine.
class QLNAdminLogFolder {
public:
    // Log files older than this are removed from the folder, which only
    // administrators can clean.
    static constexpr unsigned kKeepDays = 30;

    // %ProgramData%\QLNUpgrade\Logs\ (empty when the system names no
    // ProgramData folder). Nothing is created.
    [[nodiscard]] static std::wstring Path();
    // The folder, made or checked on the first call and held until the
    // process ends; empty when it cannot be made safe. Any thread.
    [[nodiscard]] static const std::wstring& Open();
    // Removes the log files there that are older than kKeepDays.
    static void RemoveOldFiles();
};

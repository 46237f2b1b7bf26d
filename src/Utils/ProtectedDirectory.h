#pragma once
// A working folder of the elevated copy that other processes of the same user
// can neither write into nor swap.
//
// The replace strategy unpacks the release and keeps its rollback backups below
// the package's staging folder, which lies in the user's temporary folder. What
// it finds there is copied into the installation with administrator rights, so
// a process of the same user that could change those files between unpacking
// and copying would have its own files installed. The folder is therefore
// created anew with a protected access list (the system, administrators and the
// folder's owner, which is the administrators group for an elevated process;
// the user's filtered, non-elevated token matches none of them), and held open
// without delete sharing while it is used, so it cannot be renamed or replaced
// by another folder of the same name either. NTFS also refuses to rename a
// folder while something below it is open.

#include "Utils/UniqueHandle.h"

#include <string>

namespace qln {

class ProtectedDirectory {
public:
    ProtectedDirectory() = default;

    // Creates the folder (its parent must exist) with the protected access
    // list and holds it. False, with the Win32 error in error, when the folder
    // already exists (someone else may have made it) or cannot be made or held.
    [[nodiscard]] bool Create(const std::wstring& path, DWORD& error);
    // Holds an existing folder: false when it is missing, is not a folder, or
    // is a reparse point (a junction would send the writes elsewhere).
    [[nodiscard]] bool Hold(const std::wstring& path, DWORD& error);
    [[nodiscard]] bool Held() const noexcept { return static_cast<bool>(m_folder); }
    void Release() noexcept { m_folder.reset(); }

private:
    UniqueFileHandle m_folder;
};

}  // namespace qln

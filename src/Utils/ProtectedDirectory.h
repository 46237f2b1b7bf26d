#pragma once
// A working folder of the elevated copy that other processes of the same user
// can neither write into nor swap.
//
// What a run with administrator rights installs from and restores from must
// not be changeable by a process of the same user between its checks and its
// copies, or that process would have its own files installed. Such a folder
// is therefore created anew with a protected access list (the system and the
// administrators; the user's filtered, non-elevated token matches neither),
// and held open without delete sharing while it is used, so it cannot be
// renamed or replaced by another folder of the same name either. NTFS also
// refuses to rename a folder while something below it is open.

#include "Utils/UniqueHandle.h"

#include <string>

namespace qln {

class ProtectedDirectory {
public:
    ProtectedDirectory() = default;

    // Creates the folder (its parent must exist) with the protected access
    // list and holds it. With ownedByAdministrators the folder's owner is the
    // administrators group (the caller must be elevated), so that no single
    // account holds the owner's right to change the list. False, with the
    // Win32 error in error, when the folder already exists (someone else may
    // have made it) or cannot be made or held.
    [[nodiscard]] bool Create(const std::wstring& path, DWORD& error, bool ownedByAdministrators = false);
    // Holds an existing folder: false when it is missing, is not a folder, or
    // is a reparse point (a junction would send the writes elsewhere).
    [[nodiscard]] bool Hold(const std::wstring& path, DWORD& error);
    [[nodiscard]] bool Held() const noexcept { return static_cast<bool>(m_folder); }
    void Release() noexcept { m_folder.reset(); }

    // "<volume serial>-<file index>" of the held folder: the same text for the
    // same folder, another for a folder made anew under the same name. Empty
    // when nothing is held or the system cannot tell.
    [[nodiscard]] std::wstring Identity() const;
    // Gives the held folder the protected access list and the administrators
    // as owner again, whatever it holds now (children keep their own lists).
    [[nodiscard]] bool ReapplyProtection(DWORD& error) const;

    // The access list (and owner) that Create gives, in SDDL.
    static const wchar_t* ProtectedSddl(bool ownedByAdministrators) noexcept;
    // Whether a folder with these attributes may be held: a folder that is not
    // a reparse point (junction, mount point, symbolic link).
    [[nodiscard]] static bool IsHoldable(DWORD attributes) noexcept;

private:
    UniqueFileHandle m_folder;
    std::wstring m_path;
};

}  // namespace qln

#pragma once
// Keeps a verified installer package unchanged until the installer is done.
//
// The package lies in a staging folder that the user (and every process of
// the user) can write to, while the installer may run with administrator
// rights. Acquire opens the package for reading and shares it for reading
// only, so no other process can write, replace, rename or delete it while the
// hold lasts, and then verifies it again: a file swapped before the hold began
// is caught by that check. Windows Installer reads the package through a
// sharing-compatible read handle.

#include "Utils/UniqueHandle.h"

#include <string>

class QLNPackageHold {
public:
    QLNPackageHold() = default;
    QLNPackageHold(const QLNPackageHold&) = delete;
    QLNPackageHold& operator=(const QLNPackageHold&) = delete;

    // True when the package is held and passed verification while held, or
    // the user chose to install it although its signature could not be
    // checked (a refused package is never asked about). On false nothing is
    // held.
    [[nodiscard]] bool Acquire(const std::wstring& msiPath);
    [[nodiscard]] bool Held() const noexcept { return static_cast<bool>(m_file); }
    // False when the held bytes failed verification and the user chose to
    // install them anyway.
    [[nodiscard]] bool Verified() const noexcept { return m_verified; }
    // The held file, open for reading (its position is not kept).
    [[nodiscard]] HANDLE Handle() const noexcept { return m_file.get(); }
    void Release() noexcept { m_file.reset(); }

private:
    qln::UniqueFileHandle m_file;
    bool m_verified = false;
};

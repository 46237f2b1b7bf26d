#pragma once
// What the two installer-driven strategies share: the installer log next to
// the daemon's log, the progress record that marks the installer run, and the
// launch of msiexec.exe (elevated unless the daemon already is).

#include "Utils/UniqueHandle.h"

#include <windows.h>

#include <string>

// <log directory><local date>.upgrade.msi.log
[[nodiscard]] std::wstring MsiInstallLogPath();

// Records the installer run as in progress from construction; on destruction
// writes the outcome word ("Failed" unless set) into the record and clears it,
// exactly once on every way out.
class MsiProgressRecord {
public:
    MsiProgressRecord(const wchar_t* upgradeType, const std::wstring& version, const std::wstring& stagingDir);
    ~MsiProgressRecord();
    MsiProgressRecord(const MsiProgressRecord&) = delete;
    MsiProgressRecord& operator=(const MsiProgressRecord&) = delete;

    void SetOutcome(const wchar_t* outcome) noexcept { m_outcome = outcome; }

private:
    const wchar_t* m_outcome = L"Failed";
};

// Starts msiexec.exe with the parameters, through "runas" unless the daemon
// runs elevated. On false, error holds the Windows error (ERROR_CANCELLED when
// the elevation prompt was declined).
[[nodiscard]] bool LaunchMsiexec(const std::wstring& parameters, int showCommand, qln::UniqueHandle& process, DWORD& error);

#pragma once
// What the two installer-driven strategies share: the installer log next to
// the daemon's log, the progress record that marks the installer run, and the
// launch of msiexec.exe (elevated unless the daemon already is).

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "Utils/UniqueHandle.h"

#include <windows.h>

#include <optional>
#include <string>

// <log directory><local date>.upgrade.msi.log. An elevated copy's installer
// logs into the administrators' log folder (empty when that cannot be had: a
// log elsewhere could be sent through a link to any file). Otherwise the
// folder of the open log file, else LoggerDir when it is safe on a command
// line, else the default log folder.
[[nodiscard]] std::wstring MsiInstallLogPath(const UpgradeContext& ctx);

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

// The log path and the command line of an installer run, or empty (with the
// reason in ctx.errorText, failureText) when there is no safe one.
[[nodiscard]] std::optional<std::wstring> MsiInstallerCommandLine(QLNWindowsInstaller::Run run, const wchar_t* failureText,
                                                                  UpgradeContext& ctx);

// Starts msiexec.exe with the parameters, through "runas" unless the daemon
// runs elevated; empty when it was started (process may still be empty).
// When it was not, the failure is logged and its reason left in ctx.errorText
// (failureText unless the elevation prompt was declined, which cancels the
// run), and the strategy's result is returned.
[[nodiscard]] std::optional<UpgradeResult> LaunchMsiexec(const std::wstring& parameters, int showCommand,
                                                         const wchar_t* failureText, UpgradeContext& ctx,
                                                         MsiProgressRecord& progress, qln::UniqueHandle& process);

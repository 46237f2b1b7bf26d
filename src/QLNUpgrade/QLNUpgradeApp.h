#pragma once
// The daemon host: everything between process start and the message loop,
// the choice between daemon and elevated copy, and the orderly exit.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"
#include "QLNUpgrade/QLNUpgradeWindow.h"

#include <windows.h>

#include <optional>
#include <string>


struct CommandLineRequest {
    // The kind of run of an elevated copy; empty for the daemon.
    std::optional<UpgradeType> elevated;
    std::wstring version;
    // Started by a daemon that had administrator rights and handed itself
    // over to the shell's rights: it is not tried again.
    bool handedOver = false;
};

// Scans the arguments after the program name; the first matching action
// switch wins.
CommandLineRequest ParseCommandLineArgs(int argc, const wchar_t* const* argv);
// The switches of this process's own command line; none when the shell
// cannot split it.
CommandLineRequest ReadCommandLine();

// The marker of a daemon started by the hand-over below.
inline constexpr wchar_t kSwitchHandedOver[] = L"--handed-over";

enum class HandOver { NotNeeded, Started, Failed };
// A daemon (no elevated switch) with administrator rights while the session's
// shell runs without them would write the user's folders and start the
// user's programs with those rights all day: it starts itself once more with
// the shell's token (marked with kSwitchHandedOver) and ends. NotNeeded where
// there is no boundary: an elevated copy, a daemon without those rights, a
// shell that has them too or none found (Wine), or the marked daemon itself.
// Runs before the logger exists (nothing is logged to the user's folder with
// administrator rights); the caller logs a failure.
[[nodiscard]] HandOver HandOverToShell(const CommandLineRequest& request);

// The wWinMain steps; returns the process exit code.
int RunUpgradeMain(HINSTANCE instance);


// Runs the start-up logging step: LoggerDir from the configuration (with the
// per-user default written to the registry when it is empty), then the logger.
void InitializeStartupLogging();
// The same for an elevated copy: the administrators' log folder, never
// LoggerDir. Old log files there are removed.
void InitializeAdminLogging();


std::wstring GetLogonSessionSuffix();
std::wstring GetUpgradeMutexName();

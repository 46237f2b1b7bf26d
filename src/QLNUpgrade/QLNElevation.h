#pragma once
// The protocol between the daemon and its elevated copy, in one place: the
// switch that starts the copy for each kind of run, and the exit code of
// each outcome, both ways. The app reads the switches, the worker writes
// them, and both sides map the exit codes through this table.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

#include <windows.h>

#include <optional>
#include <string>

namespace QLNElevation {

// "--elevated-silent", "--elevated-resume" or "--elevated-manual".
[[nodiscard]] const wchar_t* SwitchOf(UpgradeType type) noexcept;
// The kind of run a switch names, in any letter case; empty for any other
// argument.
[[nodiscard]] std::optional<UpgradeType> TypeOfSwitch(const wchar_t* argument) noexcept;
// Whether the switch of that kind of run is followed by a version.
[[nodiscard]] constexpr bool TakesVersion(UpgradeType type) noexcept {
    return type != UpgradeType::Resume;
}
// The copy's parameters: the switch, then the version in quotes where it
// takes one (the caller makes sure it holds no quote).
[[nodiscard]] std::wstring ParametersFor(UpgradeType type, const std::wstring& version);

// Exit code of an elevated copy for a result: 0 and 100 to 105 for the
// results the daemon maps back, the result number itself for the others.
[[nodiscard]] int ExitCodeOf(UpgradeResult result) noexcept;
// The result an exit code stands for; Failed for any code that stands for
// none of them.
[[nodiscard]] UpgradeResult ResultOfExitCode(DWORD code) noexcept;

}  // namespace QLNElevation

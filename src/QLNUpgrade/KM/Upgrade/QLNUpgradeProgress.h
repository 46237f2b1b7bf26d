#pragma once
// The record of an upgrade that changes the installation, kept in
// HKCU\Software\Quillon\KM\UpgradeProgress so that a run cut short by a crash,
// a log-off or a power failure is found at the next start.
//
// Registry failures are not reported: a value that cannot be read counts as
// empty, so an unreadable State means that no run is recorded. No operation
// takes a lock; the record is written by the one running upgrade and read at
// start-up before any upgrade runs.

#include "QLNUpgrade/KM/Upgrade/UpgradeFileCategory.h"

#include <set>
#include <string>
#include <string_view>

struct QLNUpgradeProgress {
    std::wstring targetVersion;
    std::wstring upgradeType;  // "silent" or "manual"
    std::wstring stagingDir;
    std::wstring productDir;   // replace strategy only; empty for the installer strategies
    std::set<UpgradeFileCategory> completedCategories;
    bool inProgress = false;

    // Writes all six values; State is "InProgress" when inProgress is set,
    // otherwise empty.
    void SaveUpgradeProgress() const;
    // Whether the recorded run can still be resumed: complete, still newer
    // than the running version, staging directory and the unpacked product's
    // key files present. Logs the first reason for refusal as a warning.
    [[nodiscard]] bool Validate() const;
};

// Reads the record; only State is read (and nothing logged) when no run is in progress.
[[nodiscard]] QLNUpgradeProgress LoadUpgradeProgress();
// Writes State only ("Succeeded", "Failed", "Cancelled", "ResumeRetry", ...).
void UpdateUpgradeState(const std::wstring& state);
// Writes CompletedCategories only.
void UpdateCompletedCategories(const std::set<UpgradeFileCategory>& categories);
// Deletes the six values and then the key (which stays when it has subkeys).
void ClearUpgradeProgress();
// True when State is "InProgress" in any letter case.
[[nodiscard]] bool HasPendingUpgrade();

// The CompletedCategories text: display names in ascending numeric order,
// joined by "," without spaces.
[[nodiscard]] std::wstring FormatCompletedCategories(const std::set<UpgradeFileCategory>& categories);
// Splits at commas, trims white space, matches display names ignoring case;
// empty parts and other names are dropped.
[[nodiscard]] std::set<UpgradeFileCategory> ParseCompletedCategories(std::wstring_view text);

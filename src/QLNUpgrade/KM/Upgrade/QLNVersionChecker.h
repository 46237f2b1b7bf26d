#pragma once
// Where the latest published version comes from, its registry cache, and
// whether the user is to be told about it now.
//
// All state lies in HKCU\Software\Quillon\VersionCheck:
//   NewVersionRawText         last version text obtained, exactly as obtained
//   NewVersionLastNotifiedAt  QWORD, seconds since 1970 of the last announcement (0: never)
//   NewVersionIgnore          DWORD, 1 when the user ignored the cached version
//   LastCleanupVersion        running version for which the legacy clean-up last ran
//   URL                       address of the version service
//   NewVersion, NewVersionInfo, NewVersionLink, NewVersionForce
//                             values of the older scheme; migrated or deleted
//
// No locks: concurrent callers interleave their registry reads and writes and
// the last write wins. Registry failures are not reported; an unreadable value
// gives its default and a failed write leaves the old value.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"

class QLNVersionChecker {
public:
    // Takes the cached record, the last announcement time and the ignore mark
    // from the registry.
    QLNVersionChecker();

    // Fills info from the first source that yields a valid version text: the
    // configuration value LatestVersionInfo of the effective scope, that of
    // the "Global" scope, the version service (only when forceFetch), and
    // caches the text. Otherwise falls back to the registry cache, which
    // counts as available even when its text does not parse (info.version is
    // then empty). False only when the cache is empty too. A text of more
    // than 64 Ki characters counts as invalid wherever it comes from: the
    // service's answer is not read past that, an oversized cache value not at
    // all (the next text taken replaces it). Blocks the calling thread for the
    // HTTP request when the service is asked.
    static bool LoadVersionInfo(QLNVersionInfo& info, bool forceFetch);

    // Resets info and fills it from the cache, migrating the legacy values
    // first when the cache is empty. rawText is set even when the text does
    // not parse.
    static void LoadFromRegistry(QLNVersionInfo& info);

    // Caches info.rawText. A change of version (compared without regard to
    // case) or of the force flag against the cache clears the announcement
    // time and the ignore mark.
    static void SaveToRegistry(const QLNVersionInfo& info);

    // Once per running version (marker compared without regard to case):
    // drops the legacy values without migrating them. Called at start-up.
    static void CleanupLegacyRegistryOnVersionChange();

    // Marks the cached version as ignored, but only when it is the version
    // the user was prompted with (compared without regard to case). True when
    // the mark was stored.
    static bool SaveIgnoredFor(std::wstring_view promptedVersion);

    static void SaveLastNotifiedAt(std::uint64_t secondsSince1970);
    static void SaveIgnoreFlag(DWORD ignore);

    // Whether the cached version is to be announced now: a forced release
    // when it is valid and newer; an ignored one never; otherwise when it is
    // valid and newer and more than the mode's interval has passed since the
    // last announcement.
    [[nodiscard]] bool ShouldNotifyNewVersion() const;

    [[nodiscard]] const QLNVersionInfo& Cached() const noexcept { return m_cached; }
    [[nodiscard]] std::uint64_t LastNotifiedAt() const noexcept { return m_lastNotifiedAt; }
    [[nodiscard]] DWORD Ignored() const noexcept { return m_ignored; }

    // Source of "now" for the notification policy, seconds since 1970 (UTC).
    // Tests replace it to place the last announcement exactly; nullptr
    // restores the system clock. Not synchronised: set it before any checker
    // runs.
    using ClockFn = std::int64_t (*)();
    static void SetClock(ClockFn clock) noexcept;

    // Each time-out of the version request (resolve, connect, send, receive),
    // 60 s. Tests shorten it to see a silent service given up; 0 restores it.
    static void SetRequestTimeout(std::int32_t ms) noexcept;

private:
    // The legacy values joined as a four-line text; empty without NewVersion.
    static std::wstring BuildLegacyVersionText();
    // Removes the legacy values; missing key or values are fine.
    static void DeleteLegacyValues();

    QLNVersionInfo m_cached;
    std::uint64_t m_lastNotifiedAt = 0;
    DWORD m_ignored = 0;
};

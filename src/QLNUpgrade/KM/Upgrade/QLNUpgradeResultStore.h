#pragma once
// The history of upgrade outcomes in HKCU\Software\Quillon\KM\UpgradeResult:
// Count and Entry0..Entry49, oldest first, one line per attempt
// "<seconds since 1970>|<mode>|<1 or 0>|<code>|<version>".
//
// Registry failures are not reported: an unreadable Count counts as 0, a
// failed write leaves the previous text. Calls come from the one running
// upgrade and do not overlap; no lock is taken.

#include <cstdint>
#include <optional>
#include <string>

struct UpgradeResultRecord {
    std::int64_t timestamp = 0;
    std::wstring mode;
    bool success = false;
    std::int32_t code = 0;
    std::wstring version;
};

class QLNUpgradeResultStore {
public:
    static constexpr int MaxEntries = 50;

    // Appends one line; when the list is full the oldest line is dropped.
    // Callers pass success = (code < 4). Modes in use: "silent",
    // "resume_silent", "manual", "resume_manual", "elevate_failed".
    static void AddResult(bool success, const std::wstring& mode, const std::wstring& version, std::int32_t code);

    // The stored line of a record.
    [[nodiscard]] static std::wstring FormatLine(const UpgradeResultRecord& record);

    // The newest line, read back; empty when there is none or it does not
    // have the five fields.
    [[nodiscard]] static std::optional<UpgradeResultRecord> Newest();
};

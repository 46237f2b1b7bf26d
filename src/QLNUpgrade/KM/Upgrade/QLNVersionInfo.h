#pragma once
// The version text published for a release, the version-number syntax and
// the comparison with the running version. Stateless; any thread may call.
//
// Version number syntax: "major.minor.KMpatch.build", for example
// "1.16.KM16.2381". major and minor are read leniently (leading white space,
// optional sign, then digits up to the first other character; no digits give
// 0) and must both be at least 1. The tag "KM" is upper case only; the digits
// after it and the build component must be ASCII digits and nothing else.
// The third number is the tag's digits plus 40000, so that it matches the
// third number of the executable's numeric file version.
//
// Components too large for a signed 32-bit number saturate at INT32_MAX (or
// INT32_MIN for a negative major or minor) instead of wrapping.

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

// The running version as text, and the same version as numbers. The version
// resource of the executable carries both; QLNVersionInfo.cpp checks at
// compile time that the two forms agree.
inline constexpr wchar_t CurrentVersion[] = L"1.16.KM16.2381";

struct VersionNumber {
    std::int32_t major = 0;
    std::int32_t minor = 0;
    std::int32_t patch = 0;
    std::int32_t build = 0;

    // Component by component, in declaration order.
    friend constexpr auto operator<=>(const VersionNumber&, const VersionNumber&) = default;
};

inline constexpr VersionNumber CurrentVersionNumber{1, 16, 40016, 2381};

// Fills number from text. Sets every field to 0 first; true when the text has
// the version-number syntax, and only then are the fields meaningful. Does not
// log, so that callers can word their own messages.
[[nodiscard]] bool ParseVersionNumber(std::wstring_view text, VersionNumber& number) noexcept;

// The published information of a release: a text of at least four non-empty
// lines (version, information, link, force flag).
class QLNVersionInfo {
public:
    std::wstring version;
    std::wstring info;
    std::wstring link;
    bool force = false;
    // The whole text as it was obtained; kept by whoever fetched it, even when
    // it did not parse. ParseVersionText never touches it.
    std::wstring rawText;

    // True when text is a valid version number strictly newer than the
    // running version. Logs a warning when the text is not a valid number.
    [[nodiscard]] static bool IsNewerVersion(std::wstring_view text);

    // Splits text at line feeds into its non-empty lines (carriage returns
    // stay inside the lines, nothing is trimmed). True when there are at least
    // four and the first is a valid version number; then version, info, link
    // and force (line 4 is exactly "true") are set and later lines ignored.
    // On false the record is left exactly as it was; a bad first line is
    // logged as a warning, too few lines are not.
    [[nodiscard]] static bool ParseVersionText(std::wstring_view text, QLNVersionInfo& out);
};

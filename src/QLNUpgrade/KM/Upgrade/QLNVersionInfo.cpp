#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"

#include <limits>
#include <vector>

#include "Utils/KM/KMLog.h"
#include "Utils/StringConv.h"

namespace {

constexpr std::int32_t kPatchOffset = 40000;
// Four components of at most ten digits each, with the tag, the dots and some
// room for the leniency of the first two: no version is longer.
constexpr std::size_t kMaxVersionLineUnits = 64;
// What a dialog can show of the information and the link.
constexpr std::size_t kMaxInfoLineUnits = 1024;
constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();

constexpr bool IsAsciiDigit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

// Accumulates one more digit, sticking at the bound once it is passed.
constexpr std::int64_t AddDigit(std::int64_t magnitude, wchar_t digit) noexcept {
    magnitude = magnitude * 10 + (digit - L'0');
    return magnitude > kMax + 1 ? kMax + 1 : magnitude;
}

constexpr std::int32_t Saturate(std::int64_t value) noexcept {
    return static_cast<std::int32_t>(value > kMax ? kMax : value);
}

// One or more ASCII digits and nothing else.
constexpr bool DigitsOnly(std::wstring_view text, std::int64_t& value) noexcept {
    if (text.empty()) return false;
    value = 0;
    for (wchar_t c : text) {
        if (!IsAsciiDigit(c)) return false;
        value = AddDigit(value, c);
    }
    return true;
}

constexpr bool Parse(std::wstring_view text, VersionNumber& number) noexcept {
    number = VersionNumber{};
    if (text.empty()) return false;

    // Every component is wholly digits: a version travels into log lines,
    // folder names and command lines, where anything after the digits of a
    // leniently read component (a line break, a quote) would travel along.
    auto dot = text.find(L'.');
    if (dot == std::wstring_view::npos) return false;
    std::int64_t major = 0;
    if (!DigitsOnly(text.substr(0, dot), major)) return false;
    number.major = Saturate(major);

    auto rest = text.substr(dot + 1);
    dot = rest.find(L'.');
    if (dot == std::wstring_view::npos) return false;
    std::int64_t minor = 0;
    if (!DigitsOnly(rest.substr(0, dot), minor)) return false;
    number.minor = Saturate(minor);

    rest = rest.substr(dot + 1);
    if (rest.size() < 2 || rest[0] != L'K' || rest[1] != L'M') return false;

    rest = rest.substr(2);
    if (rest.empty()) return false;
    dot = rest.find(L'.');
    if (dot == std::wstring_view::npos) return false;
    std::int64_t patch = 0;
    if (!DigitsOnly(rest.substr(0, dot), patch)) return false;
    number.patch = Saturate(patch + kPatchOffset);

    std::int64_t build = 0;
    if (!DigitsOnly(rest.substr(dot + 1), build)) return false;
    number.build = Saturate(build);

    return number.major >= 1 && number.minor >= 1;
}

constexpr bool TextMatchesNumber() {
    VersionNumber parsed;
    return Parse(CurrentVersion, parsed) && parsed == CurrentVersionNumber;
}
static_assert(TextMatchesNumber(), "CurrentVersion and CurrentVersionNumber must describe the same version");

std::vector<std::wstring_view> NonEmptyLines(std::wstring_view text) {
    std::vector<std::wstring_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(L'\n', start);
        if (end == std::wstring_view::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

bool ParseVersionNumber(std::wstring_view text, VersionNumber& number) noexcept { return Parse(text, number); }

bool QLNVersionInfo::IsNewerVersion(std::wstring_view text) {
    const auto order = CompareWithRunning(text);
    if (!order) KM_LOG_WARN(L"Invalid version string format: '{}'", text);
    return order == std::strong_ordering::greater;
}

std::optional<std::strong_ordering> QLNVersionInfo::CompareWithRunning(std::wstring_view text) noexcept {
    VersionNumber number;
    if (!ParseVersionNumber(text, number)) return std::nullopt;
    return number <=> CurrentVersionNumber;
}

bool QLNVersionInfo::ParseVersionText(std::wstring_view text, QLNVersionInfo& out) {
    const auto lines = NonEmptyLines(text);
    if (lines.size() < 4) return false;

    VersionNumber number;
    if (lines[0].size() > kMaxVersionLineUnits || !ParseVersionNumber(lines[0], number)) {
        KM_LOG_WARN(L"ParseVersionText: invalid version format '{}'", qln::ServerTextForLog(lines[0]));
        return false;
    }

    // Build the new fields first so that a failing allocation leaves the
    // record as it was.
    std::wstring version(lines[0]);
    std::wstring info(qln::CutAtCharBoundary(lines[1], kMaxInfoLineUnits));
    std::wstring link(qln::CutAtCharBoundary(lines[2], kMaxInfoLineUnits));
    out.version = std::move(version);
    out.info = std::move(info);
    out.link = std::move(link);
    out.force = lines[3] == L"true";
    return true;
}

std::wstring QLNVersionInfo::VersionFolderName(const std::wstring& version) {
    // The version becomes a directory name: anything that could climb out of
    // the parent folder or is not valid in a name is dropped.
    std::wstring name;
    for (const wchar_t c : version) {
        if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.')
            name.push_back(c);
    }
    // Dots alone would name the folder itself or its parent.
    if (name.find_first_not_of(L'.') == std::wstring::npos) name = L"unknown";
    return name;
}

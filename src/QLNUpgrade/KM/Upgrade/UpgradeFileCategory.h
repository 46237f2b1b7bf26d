#pragma once
// The categories into which the replace strategy sorts a release's files.
// Each has a display name, used in logs and in the upgrade progress record.

#include <cstdint>
#include <string_view>

enum class UpgradeFileCategory : int32_t {
    QLN = 0,
    Lang = 1,
    SVN = 2,
    Common = 3,
    System = 4,
    System64 = 5,
    Third = 6,
    VersionTxt = 7,
    QLNUpgrade = 8,
};

inline constexpr int32_t UpgradeFileCategoryCount = 9;

// The display name; "Unknown" for a value outside the enumeration.
constexpr std::wstring_view UpgradeFileCategoryName(UpgradeFileCategory category) noexcept {
    switch (category) {
    case UpgradeFileCategory::QLN: return L"QLN";
    case UpgradeFileCategory::Lang: return L"Lang";
    case UpgradeFileCategory::SVN: return L"SVN";
    case UpgradeFileCategory::Common: return L"Common";
    case UpgradeFileCategory::System: return L"System";
    case UpgradeFileCategory::System64: return L"System64";
    case UpgradeFileCategory::Third: return L"Third";
    case UpgradeFileCategory::VersionTxt: return L"VersionTxt";
    case UpgradeFileCategory::QLNUpgrade: return L"QLNUpgrade";
    }
    return L"Unknown";
}

// Deployment order: Third comes before Common, not after System64.
inline constexpr UpgradeFileCategory UpgradeFileCategoryOrder[UpgradeFileCategoryCount] = {
    UpgradeFileCategory::QLN,    UpgradeFileCategory::Lang,     UpgradeFileCategory::SVN,
    UpgradeFileCategory::Third,  UpgradeFileCategory::Common,   UpgradeFileCategory::System,
    UpgradeFileCategory::System64, UpgradeFileCategory::VersionTxt, UpgradeFileCategory::QLNUpgrade,
};

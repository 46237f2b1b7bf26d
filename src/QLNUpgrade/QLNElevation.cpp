#include "QLNUpgrade/QLNElevation.h"

#include "Utils/StringConv.h"

namespace QLNElevation {

namespace {

struct Switch {
    UpgradeType type;
    const wchar_t* name;
};
constexpr Switch kSwitches[] = {
    {UpgradeType::Silent, L"--elevated-silent"},
    {UpgradeType::Resume, L"--elevated-resume"},
    {UpgradeType::Manual, L"--elevated-manual"},
};

struct ExitCode {
    UpgradeResult result;
    int code;
};
constexpr ExitCode kExitCodes[] = {
    {UpgradeResult::Success, 0},
    {UpgradeResult::SuccessNeedReboot, 100},
    {UpgradeResult::FallbackToManual, 101},
    {UpgradeResult::Cancelled, 102},
    {UpgradeResult::SuccessByReplace, 103},
    {UpgradeResult::SuccessByReplaceNeedReboot, 104},
    {UpgradeResult::MsiVerificationFailed, 105},
};

}  // namespace

const wchar_t* SwitchOf(UpgradeType type) noexcept {
    for (const Switch& s : kSwitches) {
        if (s.type == type) return s.name;
    }
    return L"";
}

std::optional<UpgradeType> TypeOfSwitch(const wchar_t* argument) noexcept {
    if (!argument) return std::nullopt;
    for (const Switch& s : kSwitches) {
        if (qln::EqualsNoCase(argument, s.name)) return s.type;
    }
    return std::nullopt;
}

std::wstring ParametersFor(UpgradeType type, const std::wstring& version) {
    std::wstring parameters = SwitchOf(type);
    if (TakesVersion(type)) parameters += L" \"" + version + L"\"";
    return parameters;
}

int ExitCodeOf(UpgradeResult result) noexcept {
    for (const ExitCode& e : kExitCodes) {
        if (e.result == result) return e.code;
    }
    return static_cast<int>(result);
}

UpgradeResult ResultOfExitCode(DWORD code) noexcept {
    for (const ExitCode& e : kExitCodes) {
        if (static_cast<DWORD>(e.code) == code) return e.result;
    }
    return UpgradeResult::Failed;
}

}  // namespace QLNElevation

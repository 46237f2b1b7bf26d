#include "QLNUpgrade/KM/Upgrade/QLNUpgradeConfig.h"

#include <limits>
#include <string_view>

#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMLog.h"
#include "Utils/StringConv.h"

namespace {

constexpr int kDefaultDelayHours = 24;
constexpr int kMaxDelayHours = 168;
constexpr std::int64_t kDefaultImmediateManualInterval = 604800;

struct ModeText {
    const wchar_t* text;
    UpgradeMode mode;
};
constexpr ModeText kModes[] = {
    {L"immediate_silent", UpgradeMode::ImmediateSilent},
    {L"delay_silent", UpgradeMode::DelaySilent},
    {L"immediate_manual", UpgradeMode::ImmediateManual},
    {L"delay_manual", UpgradeMode::DelayManual},
    {L"ignore", UpgradeMode::Ignore},
};

// A copy of the effective scope: it shares the scope's current snapshot, so
// the values read through it belong together even if a refresh runs.
KMConfigData EffectiveConfig() {
    return KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo());
}

bool SilentEnabled(const KMConfigData& config) {
    return config.GetBool("SilentUpgradeByReplace") || config.GetBool("SilentUpgradeByMsi");
}

bool IsCrtSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// The conversion of _wtoi/_wtoi64: leading white space, an optional sign,
// decimal digits up to the first other character; saturates at the limits
// of Int. Text without digits gives 0.
template <typename Int>
Int ParseLeadingInteger(std::wstring_view text) {
    constexpr Int kMax = std::numeric_limits<Int>::max();
    constexpr Int kMin = std::numeric_limits<Int>::min();
    std::size_t i = 0;
    while (i < text.size() && IsCrtSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    Int value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const Int digit = static_cast<Int>(text[i] - L'0');
        if (!negative) {
            value = value > (kMax - digit) / 10 ? kMax : static_cast<Int>(value * 10 + digit);
        } else {
            value = value < (kMin + digit) / 10 ? kMin : static_cast<Int>(value * 10 - digit);
        }
    }
    return value;
}

}  // namespace

const wchar_t* QLNUpgradeConfig::ModeName(UpgradeMode mode) noexcept {
    for (const auto& entry : kModes) {
        if (entry.mode == mode) return entry.text;
    }
    return L"immediate_manual";
}

UpgradeMode QLNUpgradeConfig::GetUpgradeMode() {
    const KMConfigData config = EffectiveConfig();
    std::wstring text = config.GetValue("QlnUpgradeMode", L"");
    if (text.empty()) text = L"immediate_manual";

    UpgradeMode mode = UpgradeMode::ImmediateManual;
    for (const auto& entry : kModes) {
        if (qln::EqualsNoCase(text, entry.text)) {
            mode = entry.mode;
            break;
        }
    }

    const bool silentEnabled = SilentEnabled(config);
    if ((mode == UpgradeMode::ImmediateSilent || mode == UpgradeMode::DelaySilent) && !silentEnabled) {
        KM_LOG_WARN(L"Silent upgrade is disabled, falling back from '{}' to '{}'", text,
                    std::wstring(L"immediate_manual"));
        mode = UpgradeMode::ImmediateManual;
    }
    KM_LOG_DEBUG(L"Effective upgrade mode: {}", std::wstring(ModeName(mode)));
    return mode;
}

std::wstring QLNUpgradeConfig::GetUpgradeModeName() {
    return ModeName(GetUpgradeMode());
}

bool QLNUpgradeConfig::IsSilentUpgradeEnabled() {
    return SilentEnabled(EffectiveConfig());
}

int QLNUpgradeConfig::GetUpgradeDelayHours() {
    const std::wstring text = EffectiveConfig().GetValue("QlnUpgradeScheduledTime", L"");
    if (!text.empty()) {
        const int hours = ParseLeadingInteger<int>(text);
        if (hours >= 1 && hours <= kMaxDelayHours) return hours;
    }
    KM_LOG_DEBUG(L"Invalid or empty delay hours '{}', using default {} hours", text, kDefaultDelayHours);
    return kDefaultDelayHours;
}

std::int64_t QLNUpgradeConfig::GetImmediateManualInterval() {
    const std::wstring text = EffectiveConfig().GetValue("QLNUpgradeImmediateManualInterval", L"");
    if (!text.empty()) {
        const std::int64_t seconds = ParseLeadingInteger<std::int64_t>(text);
        if (seconds > 0) return seconds;
    }
    KM_LOG_DEBUG(L"Invalid or empty immediate manual interval '{}', using default {} seconds", text,
                 kDefaultImmediateManualInterval);
    return kDefaultImmediateManualInterval;
}

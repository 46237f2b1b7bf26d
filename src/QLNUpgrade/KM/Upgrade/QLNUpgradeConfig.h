#pragma once
// Upgrade settings derived from the configuration of the effective scope.
// Holds no state: every call reads the configuration again, so a refresh
// takes effect at the next call. Callable from any thread.

#include <cstdint>
#include <string>

enum class UpgradeMode : std::int32_t {
    ImmediateSilent = 0,  // "immediate_silent"
    DelaySilent = 1,      // "delay_silent"
    ImmediateManual = 2,  // "immediate_manual"
    DelayManual = 3,      // "delay_manual"
    Ignore = 4,           // "ignore"
};

class QLNUpgradeConfig {
public:
    // QlnUpgradeMode, compared without regard to case; empty or unknown text
    // gives ImmediateManual. A silent mode falls back to ImmediateManual (with
    // a warning) when neither silent strategy is switched on. Never fails.
    static UpgradeMode GetUpgradeMode();
    // The configuration text of GetUpgradeMode().
    static std::wstring GetUpgradeModeName();
    // The text of a mode ("immediate_manual" for a value outside the enum).
    static const wchar_t* ModeName(UpgradeMode mode) noexcept;
    // SilentUpgradeByReplace, or else SilentUpgradeByMsi.
    static bool IsSilentUpgradeEnabled();
    // QlnUpgradeScheduledTime in hours, always within 1..168 (default 24).
    static int GetUpgradeDelayHours();
    // QLNUpgradeImmediateManualInterval in seconds, always > 0 (default 604800).
    static std::int64_t GetImmediateManualInterval();
};

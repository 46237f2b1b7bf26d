#pragma once
// Types shared by the daemon host, the engine and the prompts.

#include <cstdint>

enum class UpgradeResult : int32_t {
    Success = 0,
    SuccessNeedReboot = 1,
    SuccessByReplace = 2,
    SuccessByReplaceNeedReboot = 3,
    StrategyFailed = 4,
    MsiVerificationFailed = 5,
    Failed = 6,
    InvalidVersion = 7,
    AlreadyInProgress = 8,
    FallbackToManual = 9,
    Cancelled = 10,
};

// Every value below StrategyFailed is a success.
constexpr bool IsUpgradeSuccess(UpgradeResult r) noexcept {
    return static_cast<int32_t>(r) >= 0 && static_cast<int32_t>(r) < static_cast<int32_t>(UpgradeResult::StrategyFailed);
}

enum class UpgradeType : int32_t {
    Silent = 0,
    Resume = 1,
    Manual = 2,
};

#pragma once
// Types shared by the daemon host, the engine, the strategies and the prompts.

#include <cstdint>
#include <string>

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

// The word that names a worker's task in log lines; anything out of range is "unknown".
constexpr const wchar_t* UpgradeTypeLogWord(UpgradeType t) noexcept {
    switch (t) {
    case UpgradeType::Silent: return L"silent";
    case UpgradeType::Resume: return L"resume";
    case UpgradeType::Manual: return L"manual";
    }
    return L"unknown";
}

// Answer to the prompts that offer a release.
enum class PromptChoice : int {
    UpgradeNow = 0,
    Later = 1,
    IgnoreVersion = 2,
};

// The upgrade a worker ran: what the manual fallback repeats.
struct UpgradeRequest {
    std::wstring version;
    UpgradeType type = UpgradeType::Silent;
};

// Handed by reference to each strategy of one pipeline run; the pipeline owns it.
struct UpgradeContext {
    std::wstring version;     // target version text
    std::wstring stagingDir;  // staging directory of the package
    std::wstring msiPath;     // full path of the verified package
    std::wstring installRoot; // parent of the daemon's directory, no trailing backslash
    std::wstring errorText;   // empty when a strategy starts; its reason when it fails or is cancelled
    // The run is an elevated copy started by the daemon, which restarts the
    // status cache itself once the copy has ended (a cache started from here
    // would keep administrator rights for the rest of the session).
    bool elevatedCopy = false;
};

class IUpgradeStrategy {
public:
    virtual ~IUpgradeStrategy() = default;
    virtual UpgradeResult Execute(UpgradeContext& ctx) = 0;
    virtual const wchar_t* GetName() const = 0;

protected:
    IUpgradeStrategy() = default;
    IUpgradeStrategy(const IUpgradeStrategy&) = default;
    IUpgradeStrategy& operator=(const IUpgradeStrategy&) = default;
};

#include "SVN/KM/KMConfigKeys.h"

#include "Utils/KM/KMLog.h"

namespace {

// Defaults that depend on the maker's service deployment. They live together
// here so that a deployment change touches one block.
namespace deployment {
constexpr const char* kAIAgentId = "5c1e9a7b3d2f48e6a0b4c8d2e6f1a3b7";
constexpr const char* kAIBaseUrl = "https://ai.quillon.example";
constexpr const char* kAIHelperUrl = "https://code.quillon.example/quillon/help/blob/main/ai-helper.md";
constexpr const char* kAISdkUrl = "https://ai.quillon.example/sdk/chat.js";
constexpr const char* kChangelogUrl = "https://feedback.quillon.example/products/quillon/changelog";
constexpr const char* kFeedbackUrl = "https://feedback.quillon.example/products/quillon/feedback";
constexpr const char* kJoinGroupChatUrl = "https://chat.quillon.example/join/quillon-support";
constexpr const char* kQlnSkillListUrl = "https://code.quillon.example/SVN/Quillon/Latest/Skills/skills.json";
// One header that selects the service environment the client talks to.
constexpr const char* kExtraHttpHeaders = R"({"X-Qln-Stage":"production-green"})";
}  // namespace deployment

constexpr const char* kDefaultInstallSkills =
    R"([{"uri":"marlow-qln-skill","type":"qln-zip"},{"uri":"pylon-skill-finder","type":"pylon-cli-local"}])";

std::vector<KMConfigKeys::KeyDef> BuildTable() {
    using K = KMConfigKeys::KeyKind;
    constexpr K S = K::SvnKey;
    constexpr K Q = K::QlnKey;
    return {
        {"CommitEnhance", S, "true"},
        {"CommitAllowEmptyMsg", S, "false"},
        {"DiffEnhance", S, "true"},
        {"MaxBatchCommitLimit", S, "100000"},
        {"NoBackupDB", S, "false"},
        {"HookCliEnable", S, "false"},
        {"HookForce", S, "true"},
        {"RevertEnhance", S, "true"},
        {"UpdateEnhance", S, "false"},
        {"UpdateLock", S, "false"},
        {"AIAgentId", Q, deployment::kAIAgentId},
        {"AIBaseUrl", Q, deployment::kAIBaseUrl},
        {"AIDefaultModel", Q, "claude-4.6-sonnet"},
        {"AIEmptyText", Q, ""},
        {"AIHelperUrl", Q, deployment::kAIHelperUrl},
        {"AISdkUrl", Q, deployment::kAISdkUrl},
        {"ChangelogUrl", Q, deployment::kChangelogUrl},
        {"ConfigUpdateInterval", Q, "3600"},
        {"EnableReport", Q, "true"},
        {"FeedbackUrl", Q, deployment::kFeedbackUrl},
        {"IgnoreLocalLink", Q, "true"},
        {"JoinGroupChatUrl", Q, deployment::kJoinGroupChatUrl},
        {"LatestVersionInfo", Q, ""},
        {"LockQueue", Q, "true"},
        {"MergeCommit", Q, "true"},
        {"RepoBrowserFastMode", Q, "true"},
        {"RepoBrowserCommitNotify", Q, "true"},
        {"RevertAutoAddToChangeList", Q, "false"},
        {"StatusListShowToolTip", Q, "false"},
        {"SilentUpgradeByReplace", Q, "true"},
        {"SilentUpgradeByMsi", Q, "true"},
        {"SilentUpgradePreNotify", Q, "false"},
        {"MsiSilentUpgradePreNotify", Q, "true"},
        {"ManualUpgradePreNotify", Q, "true"},
        {"SilentUpgradeSuccessNotify", Q, "false"},
        {"MsiSignatureVerification", Q, "true"},
        {"DefaultInstallSkills", Q, kDefaultInstallSkills},
        {"QlnSkillListUrl", Q, deployment::kQlnSkillListUrl},
        {"EnablePylonCli", Q, "true"},
        {"PylonOnlineSkillInstallMode", Q, "ai-helper"},
        {"MinVersion", Q, ""},
        {"KMHookEnable", Q, "true"},
        {"KMHookCacheTtl", Q, "300"},
        {"PylonSetupNotifyInterval", Q, "604800"},
        {"PylonSkillUpdateInterval", Q, "86400"},
        {"PylonSetupLastNotifyAt", Q, "0"},
        {"PylonSkillUpdateLastCheckAt", Q, "0"},
        {"RememberGroupChangelists", Q, "false"},
        {"UseStatusCache", Q, "false"},
        {"WaitForLockFile", Q, ".xlsx;.xls;.csv"},
        {"WebviewGlobalWarmup", Q, "true"},
        {"CmdSparseCheckout", Q, "true"},
        {"Win11TopMenu", Q, "true"},
        {"Win11TopMenuCount", Q, "3"},
        {"VersionCheck", Q, "true"},
        {"FormatPath", Q, "false"},
        {"RepoBrowserErrorRetry", Q, "true"},
        {"BatchCommitLimit", S, "100000"},
        {"TreeConflictCheckTimeout", S, "5"},
        {"Verbose", S, "false"},
        {"AiCodeReview", Q, "false"},
        {"CleanupExecMode", Q, "true"},
        {"CmdRetryCount", Q, "3"},
        {"CommitCrossDrive", Q, "true"},
        {"CommitRetry", Q, "false"},
        {"CRReviewers", Q, ""},
        {"DevPrivateToken", Q, ""},
        {"ExtraHttpHeaders", Q, deployment::kExtraHttpHeaders},
        {"DefaultCheckoutParentPath", Q, ""},
        {"DeletePathFile", Q, "true"},
        {"DoTreeConflictCheck", Q, "false"},
        {"FullStatusTimeout", Q, "1000"},
        {"LoggerDir", Q, ""},
        {"LoggerLevel", Q, "INFO"},
        {"LoggerEnabled", Q, "true"},
        {"OutOfDateAutoUpdate", Q, "false"},
        {"ResizeColumnsForStatusList", Q, "true"},
        {"ShelfLimit", Q, "100"},
        {"ShellSync", Q, "false"},
        {"ShowStateIcon", Q, "true"},
        {"Speed0Threshold", Q, "1024"},
        {"Speed0Timeout", Q, "180"},
        {"TimeoutLoadStatus", Q, "1000"},
        {"QLNUpgradeImmediateManualInterval", Q, "604800"},
        {"QlnUpgradeMode", Q, "immediate_manual"},
        {"QlnUpgradeScheduledTime", Q, "24"},
        {"UpdateBeforeCommit", Q, "false"},
        {"ReportInstallLastAt", Q, "0"},
        {"ReportWcInfoLastAt", Q, "0"},
        {"ReportLocalGlobalConfigsLastAt", Q, "0"},
    };
}

std::set<std::string, std::less<>> KeysOfKind(KMConfigKeys::KeyKind kind) {
    std::set<std::string, std::less<>> keys;
    for (const auto& row : KMConfigKeys::Table()) {
        if (row.kind == kind) keys.insert(row.key);
    }
    return keys;
}

}  // namespace

// The tables are never destroyed: detached worker and prompt threads may
// still look up keys while the process runs its exit-time destructors.
const std::vector<KMConfigKeys::KeyDef>& KMConfigKeys::Table() {
    static const auto* const table = new std::vector<KeyDef>(BuildTable());
    return *table;
}

const std::set<std::string, std::less<>>& KMConfigKeys::SvnKeys() {
    static const auto* const keys = new std::set<std::string, std::less<>>(KeysOfKind(KeyKind::SvnKey));
    return *keys;
}

const std::set<std::string, std::less<>>& KMConfigKeys::QlnKeys() {
    static const auto* const keys = new std::set<std::string, std::less<>>(KeysOfKind(KeyKind::QlnKey));
    return *keys;
}

bool KMConfigKeys::IsValidKey(std::string_view key) {
    if (SvnKeys().count(key) != 0 || QlnKeys().count(key) != 0) return true;
    KM_LOG_WARN("key '{}' is not in the config key table, treating as SVN key by default", std::string(key));
    return true;
}

bool KMConfigKeys::IsQlnKey(std::string_view key) {
    return QlnKeys().count(key) != 0;
}

// Configuration store: key table, cache files, registry overrides and mirror,
// round trip through a fresh manager, and reads during a refresh.

#include "SVN/KM/KMConfigKeys.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"
#include "support/TestSupport.h"
#include "support/UpgradeFixtures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

namespace {

using nlohmann::json;
using qlntest::kKmKey;

std::wstring UniqueScope() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return L"UnitTest-" + qln::Utf8ToWide(info->name()) + L"-" + std::to_wstring(::GetCurrentProcessId());
}

using qlntest::HkcuString;
using qlntest::SetKmDword;
using qlntest::SetKmString;
using qlntest::SetKmValue;

// Owns the cache file of one scope for the test: whatever the test writes is
// removed at the end, and a file that existed before is put back.
class CacheFileGuard {
public:
    explicit CacheFileGuard(const std::wstring& scope) : m_path(KMConfigManager::GetCacheFilePath(scope)) {
        EXPECT_FALSE(m_path.empty());
        m_hadOld = ::GetFileAttributesW(m_path.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (m_hadOld) m_old = qlntest::ReadFileBytes(m_path);
    }
    ~CacheFileGuard() {
        if (m_hadOld) {
            qlntest::WriteFileBytes(m_path, m_old);
        } else {
            ::DeleteFileW(m_path.c_str());
        }
    }
    CacheFileGuard(const CacheFileGuard&) = delete;
    CacheFileGuard& operator=(const CacheFileGuard&) = delete;

    void Write(const std::string& bytes) const {
        ASSERT_TRUE(KMConfigManager::WriteJsonToCacheFile(m_path, json::object()));  // creates the folders
        qlntest::WriteFileBytes(m_path, bytes);
    }
    std::string Read() const { return qlntest::ReadFileBytes(m_path); }
    bool Exists() const { return ::GetFileAttributesW(m_path.c_str()) != INVALID_FILE_ATTRIBUTES; }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    bool m_hadOld = false;
    std::string m_old;
};

json Element(const std::string& key, const std::string& value, std::optional<bool> editable = std::nullopt) {
    json e{{"configKey", key}, {"configValue", value}};
    if (editable) e["clientEditable"] = *editable;
    return e;
}

std::string ConfigsFile(const json& elements) { return json{{"configs", elements}}.dump(); }

void ExpectAllDefaults(const KMConfigData& data) {
    for (const auto& row : KMConfigKeys::Table()) {
        const auto item = data.FindItem(row.key);
        ASSERT_TRUE(item.has_value()) << row.key;
        EXPECT_EQ(item->value, row.defaultValue) << row.key;
        EXPECT_TRUE(item->clientEditable) << row.key;
    }
}

}  // namespace

TEST(KMConfigKeys, KeysAreUniqueAndOfTheirKind) {
    std::set<std::string> unique;
    for (const auto& row : KMConfigKeys::Table()) EXPECT_TRUE(unique.insert(row.key).second) << "duplicate " << row.key;

    const std::set<std::string, std::less<>> svn = {"CommitEnhance", "CommitAllowEmptyMsg", "DiffEnhance",
                                                    "MaxBatchCommitLimit", "NoBackupDB", "HookCliEnable",
                                                    "HookForce", "RevertEnhance", "UpdateEnhance", "UpdateLock",
                                                    "BatchCommitLimit", "TreeConflictCheckTimeout", "Verbose"};
    EXPECT_EQ(KMConfigKeys::SvnKeys(), svn);
    EXPECT_EQ(KMConfigKeys::QlnKeys().size() + svn.size(), KMConfigKeys::Table().size());  // all others are QLN keys

    EXPECT_TRUE(KMConfigKeys::IsQlnKey("QlnUpgradeMode"));
    EXPECT_TRUE(KMConfigKeys::IsQlnKey("QLNUpgradeImmediateManualInterval"));
    EXPECT_FALSE(KMConfigKeys::IsQlnKey("qlnupgrademode"));  // names compare exactly
    EXPECT_FALSE(KMConfigKeys::IsQlnKey("Verbose"));
    EXPECT_FALSE(KMConfigKeys::IsQlnKey("NotAKey"));
}

TEST(KMConfigKeys, DeploymentDefaultsHaveTheirShape) {
    KMConfigData data;
    data.ResetToDefaults();
    const auto value = [&](const char* key) { return data.FindItem(key).value().value; };

    const json headers = json::parse(value("ExtraHttpHeaders"));
    ASSERT_TRUE(headers.is_object());
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers.begin().key().size(), 11u);
    ASSERT_TRUE(headers.begin()->is_string());
    EXPECT_EQ(headers.begin()->get<std::string>().size(), 16u);

    const std::string agent = value("AIAgentId");
    EXPECT_EQ(agent.size(), 32u);
    EXPECT_EQ(agent.find_first_not_of("0123456789abcdef"), std::string::npos);

    const std::string skills = value("QlnSkillListUrl");
    EXPECT_EQ(skills.rfind("https://", 0), 0u);
    const std::string tail = "/SVN/Quillon/Latest/Skills/skills.json";
    ASSERT_GT(skills.size(), tail.size());
    EXPECT_EQ(skills.substr(skills.size() - tail.size()), tail);
    for (const char* key : {"AIBaseUrl", "AIHelperUrl", "AISdkUrl", "ChangelogUrl", "FeedbackUrl", "JoinGroupChatUrl"}) {
        EXPECT_EQ(value(key).rfind("https://", 0), 0u) << key;
    }

    const json install = json::parse(value("DefaultInstallSkills"));
    ASSERT_TRUE(install.is_array());
    ASSERT_EQ(install.size(), 2u);
    EXPECT_EQ(install[0], (json{{"uri", "marlow-qln-skill"}, {"type", "qln-zip"}}));
    EXPECT_EQ(install[1], (json{{"uri", "pylon-skill-finder"}, {"type", "pylon-cli-local"}}));
}

TEST(KMConfigKeys, UnknownKeyIsAcceptedWithWarning) {
    qlntest::LogCapture log;
    EXPECT_TRUE(KMConfigKeys::IsValidKey("QlnUpgradeMode"));
    EXPECT_FALSE(log.Contains("is not in the config key table"));
    EXPECT_TRUE(KMConfigKeys::IsValidKey("FutureKey"));
    const auto lines = log.Matching("key 'FutureKey' is not in the config key table, treating as SVN key by default");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[warning]"), std::string::npos) << lines[0];
}

TEST(KMConfigData, MergeUpdatesAppendsAndLastDuplicateWins) {
    KMConfigData data(L"s");
    data.ResetToDefaults();
    ASSERT_TRUE(data.Merge({{"ShelfLimit", "5", false},
                            {"ShelfLimit", "6", true},
                            {"NewKey", "first"},
                            {"NewKey", "second"}}));
    const auto shelf = data.FindItem("ShelfLimit");
    ASSERT_TRUE(shelf);
    EXPECT_EQ(shelf->value, "6");
    EXPECT_TRUE(shelf->clientEditable);
    const auto items = data.GetItems();
    const size_t tableKeys = KMConfigKeys::Table().size();
    ASSERT_EQ(items.size(), tableKeys + 2);  // a key new to the scope twice in one merge is appended twice
    EXPECT_EQ(items[tableKeys].value, "first");
    EXPECT_EQ(data.FindItem("NewKey")->value, "second");

    // A later merge updates the item the index points at; nothing grows.
    ASSERT_TRUE(data.Merge({{"NewKey", "third"}}));
    EXPECT_EQ(data.GetItems().size(), tableKeys + 2);
    EXPECT_EQ(data.FindItem("NewKey")->value, "third");
    EXPECT_FALSE(data.FindItem("Absent"));
    EXPECT_EQ(data.GetValue("Absent", L"fallback"), L"fallback");
    EXPECT_FALSE(data.GetBool("Absent"));
}

TEST(KMConfigManager, NoCacheFileGivesTableDefaults) {
    qlntest::LogCapture log;
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    KMConfigManager manager;
    KMConfigData& data = manager.GetConfig(scope);
    EXPECT_EQ(data.GetScopeName(), scope);
    EXPECT_EQ(data.GetItems().size(), KMConfigKeys::Table().size());
    ExpectAllDefaults(data);
    EXPECT_TRUE(data.GetBool("VersionCheck"));
    EXPECT_FALSE(data.GetBool("ShellSync"));
    EXPECT_EQ(data.GetValue("QlnUpgradeMode", L""), L"immediate_manual");
    EXPECT_TRUE(log.Contains("Failed to load from cache file"));
    EXPECT_FALSE(file.Exists());
    EXPECT_EQ(&manager.GetConfig(scope), &data);
}

TEST(KMConfigManager, UnusableCacheFilesLeaveDefaults) {
    qlntest::LogCapture log;
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    const std::pair<std::string, bool> cases[] = {
        {"{}", false}, {"[]", false}, {"null", false}, {"", false}, {"{\"configs\": [ {\"configKey\": ", true},
        {"\xEF\xBB\xBF{\"configs\":[{\"configKey\":\"ShelfLimit\",\"configValue\":\"7\"}", true},
    };
    for (const auto& [content, parseError] : cases) {
        SCOPED_TRACE(content);
        file.Write(content);
        const auto before = log.Matching("JSON parse error").size();
        KMConfigManager manager;
        EXPECT_FALSE(manager.LoadFromCache(scope));
        ExpectAllDefaults(manager.GetConfig(scope));
        EXPECT_EQ(log.Matching("JSON parse error").size() > before, parseError);
    }
    EXPECT_GE(log.Matching("Failed to load from cache file").size(), 6u);

    // A well-formed file with a byte order mark is read.
    file.Write("\xEF\xBB\xBF{\"configs\":[{\"configKey\":\"ShelfLimit\",\"configValue\":\"7\"}]}");
    KMConfigManager manager;
    EXPECT_EQ(manager.GetConfig(scope).FindItem("ShelfLimit")->value, "7");
}

TEST(KMConfigManager, MalformedElementsAreSkippedWithoutWipingValues) {
    qlntest::LogCapture log;
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    file.Write(ConfigsFile(json::array({
        json{{"configKey", "VersionCheck"}, {"configValue", true}},       // value of the wrong type
        json{{"configKey", 5}, {"configValue", "x"}},                     // key of the wrong type
        json{{"configValue", "orphan"}},                                  // no key
        "just text",                                                      // not an object
        json{{"configKey", ""}, {"configValue", "empty key"}},            // empty key
        json{{"configKey", "QlnUpgradeScheduledTime"}, {"configValue", "12"}, {"clientEditable", "no"}},
        json{{"configKey", "ShelfLimit"}, {"configValue", "50"}, {"clientEditable", false}, {"extra", 1}},
    })));
    KMConfigManager manager;
    KMConfigData& data = manager.GetConfig(scope);
    EXPECT_EQ(data.FindItem("VersionCheck")->value, "true");
    EXPECT_TRUE(data.GetBool("VersionCheck"));
    EXPECT_FALSE(data.FindItem(""));
    EXPECT_EQ(data.GetItems().size(), KMConfigKeys::Table().size());
    const auto hours = data.FindItem("QlnUpgradeScheduledTime");
    EXPECT_EQ(hours->value, "12");
    EXPECT_TRUE(hours->clientEditable);  // a non-boolean flag leaves the item editable
    const auto shelf = data.FindItem("ShelfLimit");
    EXPECT_EQ(shelf->value, "50");
    EXPECT_FALSE(shelf->clientEditable);
    EXPECT_EQ(log.Matching("Ignoring config element").size(), 5u);

    // "configs" that is not an array contributes nothing but is no failure.
    file.Write(R"({"configs": {"configKey": "ShelfLimit", "configValue": "9"}})");
    KMConfigManager other;
    EXPECT_TRUE(other.LoadFromCache(scope));
    ExpectAllDefaults(other.GetConfig(scope));
}

TEST(KMConfigManager, DuplicateKeysInFileLastOneWins) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    file.Write(ConfigsFile(json::array({Element("QlnUpgradeMode", "delay_manual", false),
                                        Element("FutureKey", "a"), Element("QlnUpgradeMode", "ignore", false),
                                        Element("FutureKey", "b")})));
    KMConfigManager manager;
    KMConfigData& data = manager.GetConfig(scope);
    EXPECT_EQ(data.GetValue("QlnUpgradeMode", L""), L"ignore");
    EXPECT_EQ(data.GetValue("FutureKey", L""), L"b");
}

TEST(KMConfigManager, UnknownKeysAreKeptSavedAndMirroredUnderSvn) {
    qlntest::LogCapture log;
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    file.Write(ConfigsFile(json::array({Element("FutureKey", "v1", false), Element("QlnUpgradeMode", "ignore"),
                                        Element("Verbose", "true")})));
    KMConfigManager manager;
    EXPECT_EQ(manager.GetConfig(scope).GetValue("FutureKey", L""), L"v1");
    EXPECT_TRUE(log.Contains("key 'FutureKey' is not in the config key table"));

    ASSERT_TRUE(manager.RefreshByLocal(scope));
    const json written = json::parse(file.Read());
    std::map<std::string, std::string> values;
    for (const auto& e : written.at("configs")) values[e.at("configKey").get<std::string>()] = e.at("configValue");
    EXPECT_EQ(values.size(), KMConfigKeys::Table().size() + 1);  // every table key plus the unknown one
    EXPECT_EQ(values["FutureKey"], "v1");
    EXPECT_EQ(values["QlnUpgradeMode"], "ignore");
    EXPECT_EQ(values["CmdRetryCount"], "3");

    const std::wstring base = std::wstring(kKmKey) + L"\\" + scope;
    EXPECT_EQ(HkcuString(base + L"\\SVN", L"FutureKey"), L"v1");
    EXPECT_EQ(HkcuString(base + L"\\SVN", L"Verbose"), L"true");
    EXPECT_EQ(HkcuString(base + L"\\QLN", L"QlnUpgradeMode"), L"ignore");
    EXPECT_EQ(HkcuString(base + L"\\QLN", L"LatestVersionInfo"), L"");
    EXPECT_FALSE(HkcuString(base + L"\\QLN", L"FutureKey"));
    EXPECT_FALSE(HkcuString(base + L"\\SVN", L"QlnUpgradeMode"));
}

TEST(KMConfigManager, MirrorHoldsServerValueNotLocalOverride) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    file.Write(ConfigsFile(json::array({Element("ShelfLimit", "42")})));
    SetKmString(L"ShelfLimit", L"7");
    KMConfigManager manager;
    ASSERT_TRUE(manager.RefreshByLocal(scope));
    EXPECT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"7");
    EXPECT_EQ(HkcuString(std::wstring(kKmKey) + L"\\" + scope + L"\\QLN", L"ShelfLimit"), L"42");
}

TEST(KMConfigManager, NonEditableServerValueBeatsRegistryOverride) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    SetKmString(L"QlnUpgradeMode", L"delay_manual");

    file.Write(ConfigsFile(json::array({Element("QlnUpgradeMode", "ignore", false)})));
    EXPECT_EQ(KMConfigManager().GetConfig(scope).GetValue("QlnUpgradeMode", L""), L"ignore");

    file.Write(ConfigsFile(json::array({Element("QlnUpgradeMode", "ignore", true)})));
    EXPECT_EQ(KMConfigManager().GetConfig(scope).GetValue("QlnUpgradeMode", L""), L"delay_manual");

    file.Write(ConfigsFile(json::array({Element("QlnUpgradeMode", "ignore")})));  // flag absent: editable
    EXPECT_EQ(KMConfigManager().GetConfig(scope).GetValue("QlnUpgradeMode", L""), L"delay_manual");

    SetKmString(L"QlnUpgradeMode", L"");  // an empty override does not count
    EXPECT_EQ(KMConfigManager().GetConfig(scope).GetValue("QlnUpgradeMode", L""), L"ignore");
}

TEST(KMConfigManager, RegistryOverrideValueTypes) {
    qlntest::LogCapture log;
    KMConfigData data(L"s");
    data.ResetToDefaults();

    SetKmDword(L"VersionCheck", 0);
    EXPECT_EQ(data.GetValue("VersionCheck", L""), L"0");
    EXPECT_FALSE(data.GetBool("VersionCheck"));
    SetKmDword(L"VersionCheck", 1);
    EXPECT_TRUE(data.GetBool("VersionCheck"));
    SetKmDword(L"VersionCheck", 0xFFFFFFFFu);
    EXPECT_EQ(data.GetValue("VersionCheck", L""), L"4294967295");

    const std::uint64_t big = 0xFFFFFFFFFFFFFFFFull;
    SetKmValue(L"ShelfLimit", REG_QWORD, &big, sizeof(big));
    EXPECT_EQ(data.GetValue("ShelfLimit", L""), L"18446744073709551615");

    SetKmString(L"LoggerDir", L"%TEMP%\\x", REG_EXPAND_SZ);  // taken as it stands
    EXPECT_EQ(data.GetValue("LoggerDir", L""), L"%TEMP%\\x");

    const std::wstring unterminated = L"abc";
    SetKmValue(L"MinVersion", REG_SZ, unterminated.data(), 3 * sizeof(wchar_t));
    EXPECT_EQ(data.GetValue("MinVersion", L""), L"abc");

    SetKmString(L"SilentUpgradeByMsi", L"TRUE");  // only "true" and "1" count
    EXPECT_FALSE(data.GetBool("SilentUpgradeByMsi"));
    SetKmString(L"SilentUpgradeByMsi", L"Grüße");
    EXPECT_EQ(data.FindItem("SilentUpgradeByMsi")->GetConfigValue(), "Gr\xC3\xBC\xC3\x9F" "e");

    const BYTE blob[] = {1, 2, 3};
    SetKmValue(L"CmdRetryCount", REG_BINARY, blob, sizeof(blob));
    EXPECT_EQ(data.GetValue("CmdRetryCount", L""), L"3");  // falls back to the item's value
    EXPECT_TRUE(log.Contains("Unsupported registry type 3 for key: Software\\Quillon\\KM\\CmdRetryCount"));

    std::string out = "stale";
    EXPECT_FALSE(KMConfigManager::ReadRegValueAsString(L"NoBackslash", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(KMConfigManager::ReadRegValueAsString(L"Software\\Quillon\\KM\\Missing", out));
    EXPECT_FALSE(KMConfigManager::ReadRegValueAsString(L"Software\\Quillon\\NoSuchKey\\X", out));
}

TEST(KMConfigManager, SaveThenFreshManagerReadsSameValues) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    std::vector<KMConfigItem> before;
    {
        KMConfigManager manager;
        KMConfigData& data = manager.GetConfig(scope);
        ASSERT_TRUE(data.Merge({{"QlnUpgradeMode", "delay_silent", false},
                                {"FeedbackUrl", "https://x.example/\xE2\x9C\x93 Gr\xC3\xBC\xC3\x9F" "e"},
                                {"FutureKey", "quote \" and \\ backslash", false}}));
        ASSERT_TRUE(manager.Save(scope));
        before = data.GetItems();
    }
    const std::string text = file.Read();
    const json written = json::parse(text);
    ASSERT_TRUE(written.is_object());
    ASSERT_EQ(written.size(), 1u);
    ASSERT_TRUE(written.at("configs").is_array());
    ASSERT_EQ(written["configs"].size(), before.size());
    for (const auto& e : written["configs"]) {
        ASSERT_TRUE(e.is_object());
        EXPECT_EQ(e.size(), 3u);
        EXPECT_TRUE(e.at("configKey").is_string());
        EXPECT_TRUE(e.at("configValue").is_string());
        EXPECT_TRUE(e.at("clientEditable").is_boolean());
    }
    // 4-space indent, sorted members, non-ASCII written as UTF-8 bytes.
    EXPECT_EQ(text, written.dump(4, ' ', false));
    EXPECT_NE(text.find("{\n    \"configs\": [\n        {\n            \"clientEditable\": true,\n"
                        "            \"configKey\": \"CommitEnhance\",\n            \"configValue\": \"true\"\n        },"),
              std::string::npos);
    EXPECT_NE(text.find("\xE2\x9C\x93 Gr\xC3\xBC\xC3\x9F" "e"), std::string::npos);

    KMConfigManager fresh;
    EXPECT_EQ(fresh.GetConfig(scope).GetItems(), before);
}

TEST(KMConfigManager, SaveWhileAnotherProgramHoldsTheCacheFile) {
    qlntest::LogCapture log;
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    const std::string original = ConfigsFile(json::array({Element("ShelfLimit", "1", false)}));
    file.Write(original);
    KMConfigManager manager;
    ASSERT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"1");
    ASSERT_TRUE(manager.GetConfig(scope).Merge({{"ShelfLimit", "2", false}}));
    const auto tempFiles = [&] {
        const std::wstring pattern = file.Path() + L".*.tmp";
        WIN32_FIND_DATAW found{};
        const HANDLE find = ::FindFirstFileW(pattern.c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return false;
        ::FindClose(find);
        return true;
    };
    {
        // A reader that shares read and write but not delete.
        qln::UniqueFileHandle reader(::CreateFileW(file.Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.valid());
        EXPECT_TRUE(manager.Save(scope));
        EXPECT_TRUE(log.Contains("Replaced config cache file"));  // the move was refused
    }
    EXPECT_TRUE(json::parse(file.Read()) == manager.GetConfig(scope).ToJson());
    EXPECT_FALSE(tempFiles());
    {
        // Nobody may write: the save fails and the file keeps what it held.
        const std::string before = file.Read();
        qln::UniqueFileHandle exclusive(
            ::CreateFileW(file.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(exclusive.valid());
        ASSERT_TRUE(manager.GetConfig(scope).Merge({{"ShelfLimit", "3", false}}));
        EXPECT_FALSE(manager.Save(scope));
        exclusive.reset();
        EXPECT_EQ(file.Read(), before);
    }
    EXPECT_FALSE(tempFiles());
    EXPECT_TRUE(log.Contains("Cannot write config cache file"));
}

TEST(KMConfigManager, CacheFileIsReadOnceUntilRefresh) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    file.Write(ConfigsFile(json::array({Element("ShelfLimit", "1", false)})));
    KMConfigManager manager;
    EXPECT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"1");
    file.Write(ConfigsFile(json::array({Element("ShelfLimit", "2", false)})));
    EXPECT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"1");
    ASSERT_TRUE(manager.RefreshByLocal(scope));
    EXPECT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"2");

    // A key that leaves the file keeps its last value in memory.
    file.Write(ConfigsFile(json::array({Element("CmdRetryCount", "9", false)})));
    ASSERT_TRUE(manager.RefreshByLocal(scope));
    EXPECT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"2");
    EXPECT_EQ(manager.GetConfig(scope).GetValue("CmdRetryCount", L""), L"9");
}

TEST(KMConfigManager, SaveAndRefreshOfUnknownOrUnusableScopes) {
    qlntest::LogCapture log;
    CacheFileGuard global(KMConfigManager::kGlobalScope);
    KMConfigManager manager;
    EXPECT_FALSE(manager.Save(UniqueScope()));        // never loaded
    EXPECT_FALSE(manager.RefreshByLocal(UniqueScope()));  // no file: nothing to refresh
    const auto refreshFailures = log.Matching("Failed to load from cache");
    EXPECT_TRUE(std::any_of(refreshFailures.begin(), refreshFailures.end(), [](const std::string& line) {
        const std::string tail = "] Failed to load from cache";  // not "... cache file"
        return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    }));

    ASSERT_TRUE(manager.Save(KMConfigManager::kGlobalScope));  // "Global" is created on demand
    EXPECT_TRUE(global.Exists());
    EXPECT_EQ(HkcuString(std::wstring(kKmKey) + L"\\Global\\QLN", L"VersionCheck"), L"true");

    // Saving a "Global" scope that was never read keeps what its file holds.
    global.Write(ConfigsFile(json::array({Element("ShelfLimit", "server", false)})));
    KMConfigManager unread;
    ASSERT_TRUE(unread.Save(KMConfigManager::kGlobalScope));
    EXPECT_EQ(unread.GetConfig(KMConfigManager::kGlobalScope).GetValue("ShelfLimit", L""), L"server");
    EXPECT_EQ(HkcuString(std::wstring(kKmKey) + L"\\Global\\QLN", L"ShelfLimit"), L"server");
    EXPECT_EQ(KMConfigManager().GetConfig(KMConfigManager::kGlobalScope).GetValue("ShelfLimit", L""), L"server");

    for (const std::wstring bad : {L"..\\..\\Escape", L"a/b", L"..", L"x:y", L""}) {
        SCOPED_TRACE(qln::WideToUtf8(bad));
        EXPECT_TRUE(KMConfigManager::GetCacheFilePath(bad).empty());
        ExpectAllDefaults(manager.GetConfig(bad));
        EXPECT_FALSE(manager.Save(bad));
    }
    EXPECT_FALSE(qlntest::HkcuKeyExists(L"Software\\Quillon\\Escape"));
    EXPECT_FALSE(qlntest::HkcuKeyExists(L"Software\\Quillon\\KM\\a"));
}

TEST(KMConfigManager, OtherScopesAndGlobalAreIndependent) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    CacheFileGuard global(KMConfigManager::kGlobalScope);
    global.Write(ConfigsFile(json::array({Element("ShelfLimit", "global", false)})));
    file.Write(ConfigsFile(json::array({Element("ShelfLimit", "repo", false)})));
    KMConfigManager manager;
    EXPECT_EQ(manager.GetConfig(KMConfigManager::kGlobalScope).GetValue("ShelfLimit", L""), L"global");
    EXPECT_EQ(manager.GetConfig(scope).GetValue("ShelfLimit", L""), L"repo");
}

TEST(KMConfig, EffectiveRepoFollowsDefaultRepoUUID) {
    EXPECT_EQ(KMConfig::GetDefaultRepoUUID(), L"");
    EXPECT_EQ(KMConfig::GetEffectiveRepo(), L"Global");
    SetKmString(L"DefaultRepoUUID", L"0b6c3f1e-1111-2222-3333-444455556666");
    EXPECT_EQ(KMConfig::GetEffectiveRepo(), L"0b6c3f1e-1111-2222-3333-444455556666");
    SetKmString(L"DefaultRepoUUID", L"");
    EXPECT_EQ(KMConfig::GetEffectiveRepo(), L"Global");
}

TEST(KMConfigConcurrency, RefreshWhileReadingNeverShowsHalfMergedScope) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    const std::vector<std::string> keys = {"QlnUpgradeScheduledTime", "ShelfLimit", "CmdRetryCount", "Speed0Timeout",
                                           "FutureKey"};
    const auto version = [&](const std::string& v) {
        json elements = json::array();
        for (const auto& k : keys) elements.push_back(Element(k, v, false));
        return ConfigsFile(elements);
    };
    file.Write(version("a"));

    KMConfigManager manager;
    KMConfigData& data = manager.GetConfig(scope);
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::atomic<long> torn{0};
    std::atomic<long> invalid{0};

    std::thread reader([&] {
        while (!done.load()) {
            const auto snapshot = data.GetSnapshot();
            std::set<std::string> seen;
            for (const auto& k : keys) {
                const auto it = snapshot->index.find(k);
                seen.insert(it == snapshot->index.end() ? "<missing>" : snapshot->items[it->second].value);
            }
            if (seen.size() != 1) ++torn;
            const std::wstring one = manager.GetConfig(scope).GetValue("ShelfLimit", L"<missing>");
            if (one != L"a" && one != L"b") ++invalid;
            const auto item = manager.GetConfig(scope).FindItem("FutureKey");
            if (!item || (item->value != "a" && item->value != "b")) ++invalid;
            ++reads;
        }
    });
    auto stop = qln::ScopeExit([&] {
        done = true;
        reader.join();
    });

    while (reads.load() == 0) std::this_thread::yield();
    for (int i = 0; i < 60; ++i) {
        file.Write(version(i % 2 == 0 ? "b" : "a"));
        EXPECT_TRUE(manager.RefreshByLocal(scope));
        // New scopes enter the map while the reader looks scopes up.
        manager.GetConfig(scope + L"-" + std::to_wstring(i));
    }
    const long readsDuringRefresh = reads.load();
    stop.run();

    EXPECT_GT(readsDuringRefresh, 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(invalid.load(), 0);
    EXPECT_EQ(data.GetValue("ShelfLimit", L""), L"a");
}

TEST(KMConfigConcurrency, NewScopeIsFoundOnlyWithItsFileMerged) {
    // Two threads ask for a scope nobody has read yet, at the same moment: the
    // one that does not load it must never get it with bare table defaults.
    const std::wstring base = UniqueScope();
    constexpr int kScopes = 40;
    const auto name = [&](int i) { return base + L"-" + std::to_wstring(i); };
    std::vector<std::unique_ptr<CacheFileGuard>> files;
    for (int i = 0; i < kScopes; ++i) {
        files.push_back(std::make_unique<CacheFileGuard>(name(i)));
        files.back()->Write(ConfigsFile(json::array({Element("ShelfLimit", "from-file", false)})));
    }

    KMConfigManager manager;
    std::atomic<int> current{-1};
    std::atomic<int> answered{-1};
    std::atomic<long> wrong{0};
    std::thread other([&] {
        for (int i = 0; i < kScopes; ++i) {
            while (current.load() < i) std::this_thread::yield();
            if (manager.GetConfig(name(i)).GetValue("ShelfLimit", L"") != L"from-file") ++wrong;
            answered = i;
        }
    });
    for (int i = 0; i < kScopes; ++i) {
        current = i;
        if (manager.GetConfig(name(i)).GetValue("ShelfLimit", L"") != L"from-file") ++wrong;
        while (answered.load() < i) std::this_thread::yield();
    }
    other.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A process that died between writing and moving leaves "<file>.<pid>.<tid>.tmp"
// behind; the next save removes such files, and only those.
TEST(KMConfigManager, SaveRemovesStaleTemporaryFilesOnly) {
    const std::wstring scope = UniqueScope();
    CacheFileGuard file(scope);
    const std::wstring path = KMConfigManager::GetCacheFilePath(scope);
    const std::wstring own = std::to_wstring(::GetCurrentProcessId());
    FILETIME old{};
    {
        SYSTEMTIME st{};
        ::GetSystemTime(&st);
        ::SystemTimeToFileTime(&st, &old);
        ULARGE_INTEGER v{{old.dwLowDateTime, old.dwHighDateTime}};
        v.QuadPart -= 2ULL * 60 * 60 * 10'000'000;  // two hours ago
        old = {v.LowPart, v.HighPart};
    }
    struct TempCase {
        std::wstring suffix;
        bool old;
        bool removed;
    };
    const TempCase cases[] = {
        {L".4294967292.8.tmp", false, true},    // no such process
        {L"." + own + L".1.tmp", true, true},   // own number, but older than any write
        {L"." + own + L".1234.tmp", false, false},  // a write of a live process may be under way
        {L".backup.tmp", true, false},          // not of the store's naming
        {L".12.x.tmp", true, false},
    };
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    for (const auto& c : cases) {
        qlntest::WriteFileBytes(path + c.suffix, "{}");
        if (c.old) {
            qln::UniqueFileHandle h(::CreateFileW((path + c.suffix).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(h.valid());
            ASSERT_TRUE(::SetFileTime(h.get(), nullptr, nullptr, &old));
        }
    }
    {
        KMConfigManager manager;
        manager.GetConfig(scope);
        ASSERT_TRUE(manager.Save(scope));
    }
    for (const auto& c : cases) {
        EXPECT_EQ(!std::filesystem::exists(path + c.suffix), c.removed) << qln::WideToUtf8(c.suffix);
        ::DeleteFileW((path + c.suffix).c_str());
    }
}

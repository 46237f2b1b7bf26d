// Version checker: order of the version sources (configuration scopes, the
// version service on the local test server, the registry cache), the URL
// value, the legacy registry scheme, the cache's notification state and the
// notification policy under a controlled clock.

#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kVersionCheckKey = L"Software\\Quillon\\VersionCheck";
constexpr const wchar_t* kKmKey = L"Software\\Quillon\\KM";

const std::wstring kNewerText = L"1.16.KM16.2400\nRelease notes\nhttps://dl.example/2400\nfalse";
const std::wstring kOtherText = L"1.16.KM16.2390\nOther notes\nhttps://dl.example/2390\nfalse";

void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& text) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_SZ, text.c_str(),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}
void SetVc(const wchar_t* name, const std::wstring& text) { SetString(kVersionCheckKey, name, text); }
void SetKm(const wchar_t* name, const std::wstring& text) { SetString(kKmKey, name, text); }
void SetVcDword(const wchar_t* name, DWORD value) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kVersionCheckKey, name, REG_DWORD, &value, sizeof(value)),
              ERROR_SUCCESS);
}
void SetVcQword(const wchar_t* name, std::uint64_t value) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kVersionCheckKey, name, REG_QWORD, &value, sizeof(value)),
              ERROR_SUCCESS);
}

std::optional<std::wstring> VcString(const wchar_t* name) {
    DWORD size = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, kVersionCheckKey, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_CURRENT_USER, kVersionCheckKey, name, RRF_RT_REG_SZ, nullptr, text.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(wcslen(text.c_str()));
    return text;
}
std::optional<std::uint64_t> VcNumber(const wchar_t* name) {
    std::uint64_t value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kVersionCheckKey, name, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, nullptr,
                       &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

// A scope's cache file holding a server value for LatestVersionInfo that the
// local override cannot replace; removed at the end of the test.
class ScopeVersionText : public qlntest::ServerConfigFile {
public:
    ScopeVersionText(const std::wstring& scope, const std::wstring& text)
        : qlntest::ServerConfigFile(scope, {{"LatestVersionInfo", qln::WideToUtf8(text)}}) {}
};

std::string PercentEncode(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The test server: "https://localhost:<port>".
std::wstring ServerBase() {
    const std::wstring port = qlntest::Env(L"QLN_TEST_HTTPS_PORT");
    EXPECT_FALSE(port.empty()) << "QLN_TEST_HTTPS_PORT is not set: run the tests through scripts/test.sh";
    return L"https://localhost:" + port;
}

// A unique recording key per test process, so that runs never see each
// other's requests.
std::wstring RecordKey(const wchar_t* name) { return name + std::to_wstring(::GetCurrentProcessId()); }

// Requests the server recorded under the key (their request targets).
std::vector<std::string> RecordedTargets(const std::wstring& key) {
    HttpRequest request;
    request.url = ServerBase() + L"/_record/" + key;
    const nlohmann::json records = nlohmann::json::parse(KMHttpUtils::SendRequestEx(request).body);
    std::vector<std::string> targets;
    for (const auto& r : records.at("requests")) targets.push_back(r.at("target").get<std::string>());
    return targets;
}

// Position of the first log line containing the text; -1 when there is none.
long IndexOf(const std::vector<std::string>& lines, const std::string& text) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

const std::string kQuery = "?current=1.16.KM16.2381";

}  // namespace

// --- Sources, in order ------------------------------------------------------

TEST(QLNVersionCheckerSources, ValidConfigTextWinsAndIsCachedWithoutAskingTheService) {
    qlntest::LogCapture log;
    ScopeVersionText global(KMConfigManager::kGlobalScope, kNewerText);
    SetVc(L"URL", ServerBase() + L"/r/" + RecordKey(L"cfg") + L"/status/200");
    SetVcQword(L"NewVersionLastNotifiedAt", 1234);

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(info.info, L"Release notes");
    EXPECT_EQ(info.link, L"https://dl.example/2400");
    EXPECT_FALSE(info.force);
    EXPECT_EQ(info.rawText, kNewerText);
    EXPECT_EQ(VcString(L"NewVersionRawText"), kNewerText);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0u);  // new version: announce again

    EXPECT_TRUE(log.Contains("Latest version info from config LatestVersionInfo:"));
    EXPECT_FALSE(log.Contains("Checking version from"));
    EXPECT_TRUE(RecordedTargets(RecordKey(L"cfg")).empty());
}

TEST(QLNVersionCheckerSources, ShortRepositoryTextFallsBackToGlobalText) {
    qlntest::LogCapture log;
    SetKm(L"DefaultRepoUUID", L"repo-4711");
    ScopeVersionText repo(L"repo-4711", L"1.16.KM16.2500\nnotes\nlink");
    ScopeVersionText global(KMConfigManager::kGlobalScope, kNewerText);

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, false));
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(VcString(L"NewVersionRawText"), kNewerText);

    const auto lines = log.Lines();
    const long repoRejected = IndexOf(lines, "Config LATEST_VERSION_INFO is invalid (< 4 lines), falling back");
    const long globalUsed = IndexOf(lines, "Latest version info from global config LatestVersionInfo:");
    ASSERT_GE(repoRejected, 0);
    EXPECT_GT(globalUsed, repoRejected);
    EXPECT_FALSE(log.Contains("Global config LATEST_VERSION_INFO is invalid"));
}

TEST(QLNVersionCheckerSources, FourLinesWithBadVersionAreRejectedAtEveryConfigSource) {
    qlntest::LogCapture log;
    SetKm(L"DefaultRepoUUID", L"repo-bad");
    ScopeVersionText repo(L"repo-bad", L"1.16.km16.2500\nnotes\nlink\nfalse");
    ScopeVersionText global(KMConfigManager::kGlobalScope, L"v2\nnotes\nlink\ntrue");
    SetVc(L"NewVersionRawText", kOtherText);

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, false));
    EXPECT_EQ(info.version, L"1.16.KM16.2390");  // from the cache
    EXPECT_EQ(VcString(L"NewVersionRawText"), kOtherText);

    const auto lines = log.Lines();
    const long parseWarning = IndexOf(lines, "ParseVersionText: invalid version format '1.16.km16.2500'");
    const long repoRejected = IndexOf(lines, "Config LATEST_VERSION_INFO is invalid (< 4 lines)");
    const long globalRejected = IndexOf(lines, "Global config LATEST_VERSION_INFO is invalid (< 4 lines)");
    const long skipHttp = IndexOf(lines, "Force fetch is false, skip HTTP, falling back to registry");
    const long cache = IndexOf(lines, "Using version info from registry cache (version=1.16.KM16.2390)");
    ASSERT_GE(parseWarning, 0);
    EXPECT_GT(repoRejected, parseWarning);
    EXPECT_GT(globalRejected, repoRejected);
    EXPECT_GT(skipHttp, globalRejected);
    EXPECT_GT(cache, skipHttp);
}

// The effective scope is "Global": asked once, then the service. The service
// URL carries a query already, so the version query follows a second "?".
// The body is taken through the ANSI code page.
TEST(QLNVersionCheckerSources, GlobalScopeIsAskedOnceThenTheServiceAnswers) {
    qlntest::LogCapture log;
    ASSERT_NE(::GetACP(), static_cast<UINT>(CP_UTF8)) << "the ANSI check below needs a single-byte code page";
    const std::string utf8Body = "1.16.KM16.2410\ncaf\xC3\xA9 notes\nhttps://dl.example/2410\ntrue";
    const std::wstring key = RecordKey(L"svc");
    const std::wstring url =
        ServerBase() + L"/r/" + key + L"/status/200?body=" + qln::Utf8ToWide(PercentEncode(utf8Body)) + L"&x=1";
    SetVc(L"URL", url);

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(info.version, L"1.16.KM16.2410");
    EXPECT_TRUE(info.force);
    EXPECT_EQ(info.info, qln::AnsiToWide("caf\xC3\xA9 notes"));
    EXPECT_NE(info.info, L"caf\u00E9 notes");
    EXPECT_EQ(info.rawText, qln::AnsiToWide(utf8Body));
    EXPECT_EQ(VcString(L"NewVersionRawText"), info.rawText);
    EXPECT_EQ(VcString(L"URL"), url);  // a non-empty value is left alone

    EXPECT_TRUE(log.Contains("Config LATEST_VERSION_INFO is empty, falling back"));
    EXPECT_FALSE(log.Contains("Global config LATEST_VERSION_INFO"));
    EXPECT_TRUE(log.Contains("Checking version from " + qln::WideToUtf8(url) + kQuery));
    EXPECT_TRUE(log.Contains("Latest version info from check url:"));

    const auto targets = RecordedTargets(key);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].substr(targets[0].size() - (4 + kQuery.size())), "&x=1" + kQuery);
}

TEST(QLNVersionCheckerSources, ServerErrorThenEmptyResponseThenRegistryCache) {
    qlntest::LogCapture log;
    SetVc(L"NewVersionRawText", kOtherText);
    SetVc(L"URL", ServerBase() + L"/status/500?ctype=application/json&body=" +
                      qln::Utf8ToWide(PercentEncode(R"({"message":"release index offline"})")) + L"&x=");

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(info.version, L"1.16.KM16.2390");
    EXPECT_EQ(info.rawText, kOtherText);

    const auto lines = log.Lines();
    const long failed = IndexOf(lines, "version check request failed: ");
    const long empty = IndexOf(lines, "Version check returned empty response, falling back to registry");
    const long cache = IndexOf(lines, "Using version info from registry cache (version=1.16.KM16.2390)");
    ASSERT_GE(failed, 0);
    EXPECT_NE(lines[failed].find("release index offline"), std::string::npos) << lines[failed];
    EXPECT_NE(lines[failed].find("[warning]"), std::string::npos) << lines[failed];
    EXPECT_GT(empty, failed);
    EXPECT_GT(cache, empty);
}

TEST(QLNVersionCheckerSources, NothingAnywhereReturnsFalse) {
    qlntest::LogCapture log;
    const std::wstring key = RecordKey(L"empty");
    SetVc(L"URL", ServerBase() + L"/r/" + key + L"/status/200");  // 200 with an empty body

    QLNVersionInfo info;
    info.version = L"stale";
    EXPECT_FALSE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_TRUE(info.version.empty());
    EXPECT_TRUE(info.rawText.empty());
    EXPECT_FALSE(VcString(L"NewVersionRawText").has_value());

    const auto lines = log.Lines();
    const long empty = IndexOf(lines, "Version check returned empty response, falling back to registry");
    const long none = IndexOf(lines, "Registry cache is empty, no version info available");
    ASSERT_GE(empty, 0);
    EXPECT_GT(none, empty);
    EXPECT_FALSE(log.Contains("version check request failed"));
    EXPECT_EQ(RecordedTargets(key), std::vector<std::string>{"/r/" + qln::WideToUtf8(key) + "/status/200" + kQuery});
}

TEST(QLNVersionCheckerSources, ServiceTextThatDoesNotParseFallsBackToCache) {
    qlntest::LogCapture log;
    SetVc(L"NewVersionRawText", kOtherText);
    SetVc(L"URL", ServerBase() + L"/status/200?body=" +
                      qln::Utf8ToWide(PercentEncode("<html>maintenance</html>")) + L"&x=");

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(info.version, L"1.16.KM16.2390");
    EXPECT_EQ(VcString(L"NewVersionRawText"), kOtherText);  // a bad answer never replaces the cache
    EXPECT_TRUE(log.Contains("Version response is invalid (< 4 lines), falling back to registry"));
}

TEST(QLNVersionCheckerSources, UnparsableCacheStillCountsAsAvailable) {
    qlntest::LogCapture log;
    SetVc(L"NewVersionRawText", L"garbage");
    QLNVersionInfo info;
    EXPECT_TRUE(QLNVersionChecker::LoadVersionInfo(info, false));
    EXPECT_TRUE(info.version.empty());
    EXPECT_EQ(info.rawText, L"garbage");
    EXPECT_TRUE(log.Contains("Using version info from registry cache (version=)"));
}

// Every way the version service can fail, each behind an answer that would
// otherwise announce a newer release: the cached version is used, the cache
// keeps its text, and nothing of the faulty answer is taken. The silent
// server is given up after a time-out shortened from 60 s to 3 s.
TEST(QLNVersionCheckerSources, NetworkFaultsNeverReplaceTheCachedVersion) {
    const auto port = [](const wchar_t* variable) {
        const int number = qlntest::ServerPort(variable);
        EXPECT_NE(number, 0) << "the test server did not announce its ports";
        return std::to_wstring(number);
    };
    const std::wstring https = port(L"QLN_TEST_HTTPS_PORT");
    const std::wstring http = port(L"QLN_TEST_HTTP_PORT");
    const std::wstring badCa = port(L"QLN_TEST_BADCA_PORT");
    const std::wstring closed = port(L"QLN_TEST_CLOSED_PORT");
    ASSERT_FALSE(HasFailure());
    const std::string newer = qln::WideToUtf8(kNewerText);
    const std::wstring newerBody = L"body=" + qln::Utf8ToWide(PercentEncode(newer));
    const std::wstring cut = L"&cut=" + std::to_wstring(newer.size() - 2);  // "...\nfal"
    const auto json = [](const char* text) {
        return L"ctype=application/json&body=" + qln::Utf8ToWide(PercentEncode(text));
    };
    const std::wstring plainTarget = L"http://localhost:" + http + L"/status/200?" + newerBody + L"&x=";
    struct Case {
        const char* fault;
        std::wstring url;  // the checker appends "?current=..."; a trailing "&x=" absorbs it
        std::int32_t timeoutMs = 0;  // 0: the checker's own
    };
    const Case cases[] = {
        {"connection refused", L"https://localhost:" + closed + L"/status/200"},
        {"stall before the answer", L"https://localhost:" + https + L"/stall?ms=10000&x=", 3000},
        {"stall in the body", L"https://localhost:" + https + L"/stall?ms=10000&phase=body&x=", 3000},
        {"500 with JSON", L"https://localhost:" + https + L"/status/500?" +
                              json(R"({"message":"release index offline"})") + L"&x="},
        {"reset in the body", L"https://localhost:" + https + L"/status/200?" + newerBody + cut + L"&reset=1&x="},
        {"body shorter than its length", L"https://localhost:" + https + L"/status/200?" + newerBody + cut + L"&x="},
        {"404 with JSON", L"https://localhost:" + https + L"/status/404?" + json(R"({"message":"no such release"})") +
                              L"&x="},
        {"404 with HTML", L"https://localhost:" + https + L"/status/404?ctype=text/html&body=" +
                              qln::Utf8ToWide(PercentEncode("<html><body>Not Found</body></html>")) + L"&x="},
        {"500 with HTML", L"https://localhost:" + https + L"/status/500?ctype=text/html&body=" +
                              qln::Utf8ToWide(PercentEncode("<html><h1>Internal error</h1>\n" + newer + "</html>")) +
                              L"&x="},
        {"500 with a number as message", L"https://localhost:" + https + L"/status/500?" +
                                             json(R"({"message":42,"trace":["a"]})") + L"&x="},
        {"untrusted certificate", L"https://localhost:" + badCa + L"/status/200?" + newerBody + L"&x="},
        {"redirect to plain HTTP", L"https://localhost:" + https + L"/redirect?to=" +
                                       qln::Utf8ToWide(PercentEncode(qln::WideToUtf8(plainTarget)))},
        {"JSON instead of the text",
         L"https://localhost:" + https + L"/status/200?" +
             json(R"({"version":"1.16.KM16.2400","info":"notes","link":"https://dl.example/2400","force":false})") +
             L"&x="},
        {"JSON with members of the wrong types",
         L"https://localhost:" + https + L"/status/200?" +
             json("{\n\"version\": 1.16,\n\"info\": [\"notes\"],\n\"link\": null,\n\"force\": \"yes\"\n}") +
             L"&x="},
    };
    qlntest::LogCapture log;
    const std::string fromCache = "Using version info from registry cache (version=1.16.KM16.2390)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SetVc(L"NewVersionRawText", kOtherText);
        SetVc(L"URL", c.url);
        const size_t asked = log.Matching("Checking version from ").size();
        const size_t cached = log.Matching(fromCache).size();

        QLNVersionInfo info;
        QLNVersionChecker::SetRequestTimeout(c.timeoutMs);
        const auto restoreTimeout = qln::ScopeExit([] { QLNVersionChecker::SetRequestTimeout(0); });
        EXPECT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
        EXPECT_EQ(info.version, L"1.16.KM16.2390");
        EXPECT_EQ(VcString(L"NewVersionRawText"), kOtherText);
        EXPECT_EQ(log.Matching("Checking version from ").size(), asked + 1);
        EXPECT_EQ(log.Matching(fromCache).size(), cached + 1);
    }
}

// Texts beyond the bounds of a version text, from each source: never taken, stored or shown
// whole; the log stays small, one line per message. Within the bounds nothing changes.
TEST(QLNVersionCheckerSources, TextsBeyondTheBoundsAreRefusedAndNeverLoggedWhole) {
    const std::string head = "1.16.KM16.2400\n", tail = "\nhttps://dl.example/2400\nfalse";
    const auto text = [&](std::size_t units) {  // valid; its information line makes up the length
        return qln::Utf8ToWide(head + std::string(units - head.size() - tail.size(), 'x') + tail);
    };
    const auto streamed = [&](std::size_t bytes, const wchar_t* more = L"") {  // such a text from the server
        return ServerBase() + L"/large?letter=x&size=" + std::to_wstring(bytes - head.size() - tail.size()) +
               qln::Utf8ToWide("&head=" + PercentEncode(head) + "&tail=" + PercentEncode(tail)) + more + L"&x=";
    };
    const auto answer = [](const std::string& body) {
        return ServerBase() + L"/status/200?body=" + qln::Utf8ToWide(PercentEncode(body)) + L"&x=";
    };
    const std::wstring pair = L"1.16.KM16.2400\n" + std::wstring(1023, L'a') + L"\U0001F600\nl\nfalse", big = text(65537);
    struct Case {
        const char* what;
        std::wstring url, config, cache;  // service (empty: not asked), LatestVersionInfo, cache before
        std::string logged;
        std::wstring taken = {};     // the text taken and cached; empty: the cache stays
        std::size_t infoUnits = 11;  // of the information taken, else "Other notes" of the cache
    };
    const Case cases[] = {
        {"64 KiB + 1", streamed(65537), L"", kOtherText, "response body of 65537 bytes is over the limit of 65536"},
        {"64 KiB", streamed(65536), L"", kOtherText, "from check url: 1.16.KM16.2400?xxxx", text(65536), 1024},
        {"30 MB", streamed(30 << 20), L"", kOtherText, "response body of 31457280 bytes is over the limit"},
        {"30 MB in chunks", streamed(30 << 20, L"&chunked=1"), L"", kOtherText, "body of more than 65536 bytes"},
        {"split", answer("1.16\n[2099-01-01] forged\nl\nfalse"), L"", kOtherText, "invalid version format '1.16'"},
        {"CR LF", answer("1.16.KM16.2400\r\nn\r\nl\r\nfalse"), L"", kOtherText, "format '1.16.KM16.2400?'"},
        {"config over 64 KiB", L"", big, kOtherText, "Version text of 65537 characters is over the limit"},
        {"pair at the cut", L"", pair, kOtherText, "from config LatestVersionInfo: 1.16.KM16.2400?aaa", pair, 1023},
        {"cache over 64 KiB", L"", L"", big, "NewVersionRawText of 131076 bytes is over the limit", {}, 0},
        {"then a good answer", answer(qln::WideToUtf8(kNewerText)), L"", big, "131076 bytes", kNewerText, 13},
    };
    qlntest::LogCapture log;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        SetKm(L"DefaultRepoUUID", L"bounds-" + std::to_wstring(i));
        std::optional<ScopeVersionText> config;
        if (!c.config.empty()) config.emplace(L"bounds-" + std::to_wstring(i), c.config);
        SetVc(L"NewVersionRawText", c.cache);
        SetVc(L"URL", c.url);
        const std::size_t lines = log.Lines().size(), bytes = qlntest::ReadFileBytes(log.FilePath()).size();

        QLNVersionInfo info;
        const bool found = !c.taken.empty() || c.cache == kOtherText;
        EXPECT_EQ(QLNVersionChecker::LoadVersionInfo(info, !c.url.empty()), found);
        EXPECT_EQ(info.version, !c.taken.empty() ? L"1.16.KM16.2400" : found ? L"1.16.KM16.2390" : L"");
        EXPECT_EQ(info.info.size(), c.infoUnits);
        EXPECT_EQ(VcString(L"NewVersionRawText"), c.taken.empty() ? c.cache : c.taken);
        EXPECT_TRUE(log.Contains(c.logged)) << c.logged;
        EXPECT_LT(qlntest::ReadFileBytes(log.FilePath()).size() - bytes, 1u << 20);
        const auto after = log.Lines();
        for (std::size_t l = lines; l < after.size(); ++l) {
            EXPECT_LT(after[l].size(), qln::kServerTextLogUnits + 512) << after[l].substr(0, 300);
            EXPECT_NE(after[l].rfind("[2099", 0), 0u) << after[l];
        }
    }
}

// --- URL value ----------------------------------------------------------------

// Both cases go to the built-in address; only what is logged and stored is
// checked, the request's outcome does not matter.
TEST(QLNVersionCheckerUrl, EmptyValueIsReplacedAndWrittenBackMissingValueIsNotWritten) {
    qlntest::LogCapture log;
    const std::string builtIn = qln::WideToUtf8(qln::kVersionServiceAddress);
    ASSERT_NE(builtIn.find("/api/web/corvid/quillon/upgrade"), std::string::npos);

    QLNVersionInfo info;
    EXPECT_FALSE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_FALSE(VcString(L"URL").has_value());
    EXPECT_EQ(log.Matching("Checking version from " + builtIn + kQuery).size(), 1u);

    SetVc(L"URL", L"");
    EXPECT_FALSE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(VcString(L"URL"), std::wstring(qln::kVersionServiceAddress));
    EXPECT_EQ(log.Matching("Checking version from " + builtIn + kQuery).size(), 2u);
}

// --- Legacy scheme ------------------------------------------------------------

TEST(QLNVersionCheckerLegacy, LegacyValuesAreMigratedOnceAndDeleted) {
    qlntest::LogCapture log;
    SetVc(L"NewVersion", L"1.16.KM16.2400");
    SetVc(L"NewVersionInfo", L"Release notes");
    SetVc(L"NewVersionLink", L"https://dl.example/2400");
    SetVc(L"NewVersionForce", L"");

    QLNVersionInfo info;
    info.force = true;
    QLNVersionChecker::LoadFromRegistry(info);
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(info.info, L"Release notes");
    EXPECT_EQ(info.link, L"https://dl.example/2400");
    EXPECT_FALSE(info.force);
    EXPECT_EQ(info.rawText, kNewerText);
    EXPECT_EQ(VcString(L"NewVersionRawText"), kNewerText);
    for (const wchar_t* name : {L"NewVersion", L"NewVersionInfo", L"NewVersionLink", L"NewVersionForce"}) {
        EXPECT_FALSE(VcString(name).has_value()) << qln::WideToUtf8(name);
    }
    EXPECT_EQ(log.Matching("Migrating legacy version-info registry keys to NewVersionRawText").size(), 1u);

    QLNVersionChecker::LoadFromRegistry(info);  // nothing left to migrate
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(log.Matching("Migrating legacy").size(), 1u);
}

TEST(QLNVersionCheckerLegacy, EmptyLegacyInfoGivesAnUnparsedRecordButKeepsTheText) {
    SetVc(L"NewVersion", L"1.16.KM16.2400");
    SetVc(L"NewVersionLink", L"link");
    QLNVersionInfo info;
    QLNVersionChecker::LoadFromRegistry(info);
    const std::wstring joined = L"1.16.KM16.2400\n\nlink\nfalse";
    EXPECT_TRUE(info.version.empty());
    EXPECT_TRUE(info.info.empty());
    EXPECT_EQ(info.rawText, joined);
    EXPECT_EQ(VcString(L"NewVersionRawText"), joined);
    EXPECT_FALSE(VcString(L"NewVersion").has_value());
    EXPECT_FALSE(VcString(L"NewVersionLink").has_value());
}

TEST(QLNVersionCheckerLegacy, LegacyValuesWithoutVersionAreDroppedAndCachedTextWins) {
    SetVc(L"NewVersionInfo", L"orphan");
    SetVc(L"NewVersionForce", L"true");
    QLNVersionInfo info;
    QLNVersionChecker::LoadFromRegistry(info);
    EXPECT_TRUE(info.rawText.empty());
    EXPECT_FALSE(VcString(L"NewVersionRawText").has_value());
    EXPECT_FALSE(VcString(L"NewVersionInfo").has_value());
    EXPECT_FALSE(VcString(L"NewVersionForce").has_value());

    // With a cache present the legacy values are not looked at.
    SetVc(L"NewVersionRawText", kOtherText);
    SetVc(L"NewVersion", L"1.16.KM16.2400");
    QLNVersionChecker::LoadFromRegistry(info);
    EXPECT_EQ(info.version, L"1.16.KM16.2390");
    EXPECT_EQ(VcString(L"NewVersion"), L"1.16.KM16.2400");
}

TEST(QLNVersionCheckerLegacy, CleanupRunsOncePerRunningVersionWithoutMigrating) {
    qlntest::LogCapture log;
    SetVc(L"NewVersion", L"1.16.KM16.2400");
    SetVc(L"NewVersionInfo", L"notes");
    SetVc(L"LastCleanupVersion", L"1.16.KM16.2300");

    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();
    EXPECT_FALSE(VcString(L"NewVersion").has_value());
    EXPECT_FALSE(VcString(L"NewVersionInfo").has_value());
    EXPECT_FALSE(VcString(L"NewVersionRawText").has_value());  // dropped, not migrated
    EXPECT_EQ(VcString(L"LastCleanupVersion"), L"1.16.KM16.2381");
    EXPECT_TRUE(log.Contains("Version changed ('1.16.KM16.2300' -> '1.16.KM16.2381'), running legacy registry cleanup"));
    EXPECT_TRUE(log.Contains("Legacy registry cleanup complete, marker updated to '1.16.KM16.2381'"));

    // Same running version, even in other letter case: nothing happens.
    SetVc(L"NewVersion", L"1.16.KM16.2400");
    SetVc(L"LastCleanupVersion", L"1.16.km16.2381");
    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();
    EXPECT_EQ(VcString(L"NewVersion"), L"1.16.KM16.2400");
    EXPECT_EQ(VcString(L"LastCleanupVersion"), L"1.16.km16.2381");
    EXPECT_EQ(log.Matching("running legacy registry cleanup").size(), 1u);
}

TEST(QLNVersionCheckerLegacy, CleanupWithoutMarkerRuns) {
    qlntest::LogCapture log;
    SetVc(L"NewVersionLink", L"link");
    QLNVersionChecker::CleanupLegacyRegistryOnVersionChange();
    EXPECT_FALSE(VcString(L"NewVersionLink").has_value());
    EXPECT_EQ(VcString(L"LastCleanupVersion"), L"1.16.KM16.2381");
    EXPECT_TRUE(log.Contains("Version changed ('' -> '1.16.KM16.2381')"));
}

// --- Cache and notification state --------------------------------------------

TEST(QLNVersionCheckerCache, SameVersionInOtherCaseKeepsNotificationStateChangesResetIt) {
    qlntest::LogCapture log;
    SetVc(L"NewVersionRawText", kNewerText);
    SetVcQword(L"NewVersionLastNotifiedAt", 1000);
    SetVcDword(L"NewVersionIgnore", 1);

    QLNVersionInfo same;
    same.version = L"1.16.km16.2400";
    same.rawText = L"1.16.km16.2400\nnotes\nlink\nfalse";
    QLNVersionChecker::SaveToRegistry(same);
    EXPECT_EQ(VcString(L"NewVersionRawText"), same.rawText);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 1000u);
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 1u);
    EXPECT_FALSE(log.Contains("resetting notification state"));
    EXPECT_TRUE(log.Contains("Version info saved to registry (version=1.16.km16.2400)"));

    // The stored text no longer parses (lower-case tag), so the cache's
    // version is empty now; restore a parsable one before the flag change.
    SetVc(L"NewVersionRawText", kNewerText);
    QLNVersionInfo forced;
    ASSERT_TRUE(QLNVersionInfo::ParseVersionText(L"1.16.KM16.2400\nnotes\nlink\ntrue", forced));
    forced.rawText = L"1.16.KM16.2400\nnotes\nlink\ntrue";
    QLNVersionChecker::SaveToRegistry(forced);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0u);
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 0u);
    EXPECT_TRUE(log.Contains(
        "Version info changed (version: '1.16.KM16.2400'->'1.16.KM16.2400', force: false->true), resetting "
        "notification state"));

    SetVcQword(L"NewVersionLastNotifiedAt", 2000);
    SetVcDword(L"NewVersionIgnore", 1);
    QLNVersionInfo next;
    ASSERT_TRUE(QLNVersionInfo::ParseVersionText(kOtherText, next));
    next.rawText = kOtherText;
    next.force = true;  // same flag as the cache, other version
    QLNVersionChecker::SaveToRegistry(next);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0u);
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 0u);
    EXPECT_TRUE(log.Contains("(version: '1.16.KM16.2400'->'1.16.KM16.2390', force: true->true)"));
}

TEST(QLNVersionCheckerCache, SaveDropsLegacyValues) {
    SetVc(L"NewVersionRawText", kNewerText);
    SetVc(L"NewVersionLink", L"old link");
    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionInfo::ParseVersionText(kOtherText, info));
    info.rawText = kOtherText;
    QLNVersionChecker::SaveToRegistry(info);
    EXPECT_EQ(VcString(L"NewVersionRawText"), kOtherText);
    EXPECT_FALSE(VcString(L"NewVersionLink").has_value());
}

TEST(QLNVersionCheckerCache, IgnoreIsStoredOnlyForTheCachedVersion) {
    qlntest::LogCapture log;
    SetVc(L"NewVersionRawText", kNewerText);

    EXPECT_FALSE(QLNVersionChecker::SaveIgnoredFor(L"1.16.KM16.2401"));
    EXPECT_FALSE(VcNumber(L"NewVersionIgnore").has_value());
    EXPECT_TRUE(log.Contains("Skip ignore: cached version '1.16.KM16.2400' differs from prompted '1.16.KM16.2401'"));

    EXPECT_TRUE(QLNVersionChecker::SaveIgnoredFor(L"1.16.km16.2400"));
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 1u);

    QLNVersionChecker::SaveIgnoreFlag(0);
    QLNVersionChecker::SaveLastNotifiedAt(0x1'0000'0001ull);  // needs all 64 bits
    EXPECT_EQ(VcNumber(L"NewVersionIgnore"), 0u);
    EXPECT_EQ(VcNumber(L"NewVersionLastNotifiedAt"), 0x1'0000'0001ull);

    const QLNVersionChecker checker;
    EXPECT_EQ(checker.Cached().version, L"1.16.KM16.2400");
    EXPECT_EQ(checker.LastNotifiedAt(), 0x1'0000'0001ull);
    EXPECT_EQ(checker.Ignored(), 0u);
}

// --- Notification policy ------------------------------------------------------

namespace {

std::int64_t g_fakeNow = 0;
std::int64_t FakeNow() { return g_fakeNow; }

constexpr std::int64_t kNow = 1'700'000'000;

class QLNVersionCheckerPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = kNow;
        QLNVersionChecker::SetClock(&FakeNow);
    }
    void TearDown() override { QLNVersionChecker::SetClock(nullptr); }

    // Cache holding the text, last announcement at the given time.
    static void Cache(const std::wstring& text, std::int64_t lastNotifiedAt, DWORD ignore = 0) {
        SetVc(L"NewVersionRawText", text);
        SetVcQword(L"NewVersionLastNotifiedAt", static_cast<std::uint64_t>(lastNotifiedAt));
        SetVcDword(L"NewVersionIgnore", ignore);
    }

    qlntest::LogCapture log;
};

}  // namespace

TEST_F(QLNVersionCheckerPolicy, IntervalMustBeStrictlyExceeded) {
    SetKm(L"QlnUpgradeMode", L"immediate_manual");
    SetKm(L"QLNUpgradeImmediateManualInterval", L"3600");
    Cache(kNewerText, kNow - 3600);

    const QLNVersionChecker checker;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("current=1.16.KM16.2381, server=1.16.KM16.2400, force=false, ignored=0, lastNotifiedAt=" +
                             std::to_string(kNow - 3600)));
    EXPECT_TRUE(log.Contains("mode=2, interval=3600, currentTime=" + std::to_string(kNow) +
                             ", timeSinceLastNotify=3600, elapsed=false"));
    const auto decision = log.Matching("elapsed=false, valid=true, newer=true, result=false");
    ASSERT_EQ(decision.size(), 1u);
    EXPECT_NE(decision[0].find("[info]"), std::string::npos) << decision[0];

    g_fakeNow = kNow + 1;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("timeSinceLastNotify=3601, elapsed=true"));
    EXPECT_TRUE(log.Contains("elapsed=true, valid=true, newer=true, result=true"));
}

TEST_F(QLNVersionCheckerPolicy, ClockTurnedBackWaitsUntilItPassesTheLastAnnouncement) {
    SetKm(L"QLNUpgradeImmediateManualInterval", L"3600");
    Cache(kNewerText, kNow + 100);

    const QLNVersionChecker checker;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("timeSinceLastNotify=-100, elapsed=false"));

    g_fakeNow = kNow + 100 + 3600;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    g_fakeNow = kNow + 100 + 3601;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
}

TEST_F(QLNVersionCheckerPolicy, DelayModesUseHoursTimes3600) {
    SetKm(L"QLNUpgradeImmediateManualInterval", L"60");  // must not be used
    SetKm(L"SilentUpgradeByReplace", L"true");           // keeps the silent mode
    SetKm(L"QlnUpgradeMode", L"delay_silent");
    Cache(kNewerText, kNow - 86400);

    const QLNVersionChecker checker;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("Delay mode: using interval 24 hours (86400 seconds)"));
    EXPECT_TRUE(log.Contains("mode=1, interval=86400,"));
    g_fakeNow = kNow + 1;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());

    SetKm(L"QlnUpgradeMode", L"delay_manual");
    SetKm(L"QlnUpgradeScheduledTime", L"2");
    g_fakeNow = kNow - 86400 + 7200;
    EXPECT_FALSE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("Delay mode: using interval 2 hours (7200 seconds)"));
    EXPECT_TRUE(log.Contains("mode=3, interval=7200,"));
    g_fakeNow += 1;
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
}

TEST_F(QLNVersionCheckerPolicy, SilentAndIgnoreModesUseTheImmediateInterval) {
    SetKm(L"QLNUpgradeImmediateManualInterval", L"60");
    SetKm(L"SilentUpgradeByMsi", L"true");
    Cache(kNewerText, kNow - 61);
    const QLNVersionChecker checker;

    SetKm(L"QlnUpgradeMode", L"immediate_silent");
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("mode=0, interval=60,"));

    SetKm(L"QlnUpgradeMode", L"ignore");
    EXPECT_TRUE(checker.ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("mode=4, interval=60,"));
    EXPECT_FALSE(log.Contains("Delay mode"));
}

TEST_F(QLNVersionCheckerPolicy, IgnoredVersionIsNotAnnouncedUnlessForced) {
    Cache(kNewerText, 0, 1);
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("version ignored, returning false"));

    // Forced: neither the ignore mark nor a fresh announcement holds it back.
    Cache(L"1.16.KM16.2400\nnotes\nlink\ntrue", kNow, 1);
    EXPECT_TRUE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("force mode, valid=true, newer=true, result=true"));
}

TEST_F(QLNVersionCheckerPolicy, ForcedOrNotOnlyNewerValidVersionsAreAnnounced) {
    Cache(L"1.16.KM16.2381\nnotes\nlink\ntrue", 0);  // the running version itself
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("force mode, valid=true, newer=false, result=false"));

    Cache(L"1.16.KM15.9999\nnotes\nlink\nfalse", 0);
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("elapsed=true, valid=true, newer=false, result=false"));

    Cache(L"not a version", 0);  // cached, but unusable
    EXPECT_FALSE(QLNVersionChecker().ShouldNotifyNewVersion());
    EXPECT_TRUE(log.Contains("elapsed=true, valid=false, newer=false, result=false"));
    EXPECT_TRUE(log.Contains("Invalid version string format: ''"));
}

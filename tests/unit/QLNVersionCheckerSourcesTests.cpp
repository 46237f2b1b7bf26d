// Version checker: order of the version sources (configuration scopes, the
// version service on the local test server, the registry cache), the faults
// and bounds of each, and the URL value.

#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using qlntest::kNewerText;
using qlntest::kOtherText;
using qlntest::SetVcString;
using qlntest::VcString;

// A scope's cache file holding a server value for LatestVersionInfo that the
// local override cannot replace; removed at the end of the test.
class ScopeVersionText : public qlntest::ServerConfigFile {
public:
    ScopeVersionText(const std::wstring& scope, const std::wstring& text)
        : qlntest::ServerConfigFile(scope, {{"LatestVersionInfo", qln::WideToUtf8(text)}}) {}
};

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
    std::vector<std::string> targets;
    for (const auto& request : qlntest::FetchRecorded(qln::WideToUtf8(key))) targets.push_back(request.target);
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
    SetVcString(L"URL", ServerBase() + L"/r/" + RecordKey(L"cfg") + L"/status/200");
    qlntest::SetVcQword(L"NewVersionLastNotifiedAt", 1234);

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(info.version, L"1.16.KM16.2400");
    EXPECT_EQ(info.info, L"Release notes");
    EXPECT_EQ(info.link, L"https://dl.example/2400");
    EXPECT_FALSE(info.force);
    EXPECT_EQ(info.rawText, kNewerText);
    EXPECT_EQ(VcString(L"NewVersionRawText"), kNewerText);
    EXPECT_EQ(qlntest::VcNumber(L"NewVersionLastNotifiedAt"), 0u);  // new version: announce again

    EXPECT_TRUE(log.Contains("Latest version info from config LatestVersionInfo:"));
    EXPECT_FALSE(log.Contains("Checking version from"));
    EXPECT_TRUE(RecordedTargets(RecordKey(L"cfg")).empty());
}

TEST(QLNVersionCheckerSources, ShortRepositoryTextFallsBackToGlobalText) {
    qlntest::LogCapture log;
    qlntest::SetKmString(L"DefaultRepoUUID", L"repo-4711");
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
    qlntest::SetKmString(L"DefaultRepoUUID", L"repo-bad");
    ScopeVersionText repo(L"repo-bad", L"1.16.km16.2500\nnotes\nlink\nfalse");
    ScopeVersionText global(KMConfigManager::kGlobalScope, L"v2\nnotes\nlink\ntrue");
    SetVcString(L"NewVersionRawText", kOtherText);

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
        ServerBase() + L"/r/" + key + L"/status/200?body=" + qln::Utf8ToWide(qlntest::UrlEncode(utf8Body)) + L"&x=1";
    SetVcString(L"URL", url);

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
    SetVcString(L"NewVersionRawText", kOtherText);
    SetVcString(L"URL", ServerBase() + L"/status/500?ctype=application/json&body=" +
                      qln::Utf8ToWide(qlntest::UrlEncode(R"({"message":"release index offline"})")) + L"&x=");

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
    SetVcString(L"URL", ServerBase() + L"/r/" + key + L"/status/200");  // 200 with an empty body

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
    SetVcString(L"NewVersionRawText", kOtherText);
    SetVcString(L"URL", ServerBase() + L"/status/200?body=" +
                      qln::Utf8ToWide(qlntest::UrlEncode("<html>maintenance</html>")) + L"&x=");

    QLNVersionInfo info;
    ASSERT_TRUE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(info.version, L"1.16.KM16.2390");
    EXPECT_EQ(VcString(L"NewVersionRawText"), kOtherText);  // a bad answer never replaces the cache
    EXPECT_TRUE(log.Contains("Version response is invalid (< 4 lines), falling back to registry"));
}

TEST(QLNVersionCheckerSources, UnparsableCacheStillCountsAsAvailable) {
    qlntest::LogCapture log;
    SetVcString(L"NewVersionRawText", L"garbage");
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
    const std::wstring newerBody = L"body=" + qln::Utf8ToWide(qlntest::UrlEncode(newer));
    const std::wstring cut = L"&cut=" + std::to_wstring(newer.size() - 2);  // "...\nfal"
    const auto json = [](const char* text) {
        return L"ctype=application/json&body=" + qln::Utf8ToWide(qlntest::UrlEncode(text));
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
                              qln::Utf8ToWide(qlntest::UrlEncode("<html><body>Not Found</body></html>")) + L"&x="},
        {"500 with HTML", L"https://localhost:" + https + L"/status/500?ctype=text/html&body=" +
                              qln::Utf8ToWide(qlntest::UrlEncode("<html><h1>Internal error</h1>\n" + newer + "</html>")) +
                              L"&x="},
        {"500 with a number as message", L"https://localhost:" + https + L"/status/500?" +
                                             json(R"({"message":42,"trace":["a"]})") + L"&x="},
        {"untrusted certificate", L"https://localhost:" + badCa + L"/status/200?" + newerBody + L"&x="},
        {"redirect to plain HTTP", L"https://localhost:" + https + L"/redirect?to=" +
                                       qln::Utf8ToWide(qlntest::UrlEncode(qln::WideToUtf8(plainTarget)))},
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
        SetVcString(L"NewVersionRawText", kOtherText);
        SetVcString(L"URL", c.url);
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
               qln::Utf8ToWide("&head=" + qlntest::UrlEncode(head) + "&tail=" + qlntest::UrlEncode(tail)) + more + L"&x=";
    };
    const auto answer = [](const std::string& body) {
        return ServerBase() + L"/status/200?body=" + qln::Utf8ToWide(qlntest::UrlEncode(body)) + L"&x=";
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
        qlntest::SetKmString(L"DefaultRepoUUID", L"bounds-" + std::to_wstring(i));
        std::optional<ScopeVersionText> config;
        if (!c.config.empty()) config.emplace(L"bounds-" + std::to_wstring(i), c.config);
        SetVcString(L"NewVersionRawText", c.cache);
        SetVcString(L"URL", c.url);
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

    SetVcString(L"URL", L"");
    EXPECT_FALSE(QLNVersionChecker::LoadVersionInfo(info, true));
    EXPECT_EQ(VcString(L"URL"), std::wstring(qln::kVersionServiceAddress));
    EXPECT_EQ(log.Matching("Checking version from " + builtIn + kQuery).size(), 2u);
}

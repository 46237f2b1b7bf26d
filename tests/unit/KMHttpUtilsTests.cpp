// KMHttpUtils::SendRequestEx against the scripted local HTTPS server: TLS
// validation, headers as the server saw them, bodies, error statuses and
// their messages, time-outs, resets, header collection and stream mode.

#include "Utils/KM/KMHttpUtils.h"

#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/StringConv.h"

#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdexcept>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string LowerName(const std::string& line) {
    return qln::ToLowerAscii(std::string_view(line).substr(0, line.find(':')));
}

// The recorded header lines that the client adds itself, in the order
// received. WinHTTP adds Host, Content-Length and Connection on its own.
std::vector<std::string> ClientHeaderLines(const qlntest::RecordedRequest& request) {
    std::vector<std::string> out;
    for (const auto& line : request.headerLines) {
        const std::string name = LowerName(line);
        if (name == "user-agent" || name == "authorization" || name == "private-token" || name == "content-type" ||
            name.rfind("x-", 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

class HttpRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT");
        ASSERT_NE(m_https, 0) << "QLN_TEST_HTTPS_PORT is not set: the HTTP test server did not start";
        m_key = qlntest::UniqueKey();
    }

    // <scheme>://127.0.0.1:<port>/r/<key><rest>: recorded under the test's key.
    std::wstring Url(const std::string& rest, const char* scheme = "https", int port = 0) const {
        return qlntest::Widen(std::string(scheme) + "://127.0.0.1:" + std::to_string(port ? port : m_https) + "/r/" +
                              qlntest::UrlEncode(m_key) + rest);
    }

    std::vector<qlntest::RecordedRequest> Recorded() const { return qlntest::FetchRecorded(m_key); }

    // The message of the runtime error SendRequestEx throws, or "no throw".
    static std::string ThrownMessage(const HttpRequest& request) {
        try {
            (void)KMHttpUtils::SendRequestEx(request);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no throw";
    }

    qlntest::LogCapture m_log;
    int m_https = 0;
    std::string m_key;
};

TEST_F(HttpRequestTest, TrustedTestCaTextBodyAndQueryKeptInPath) {
    qlntest::SetKmString(L"ExtraHttpHeaders", L"{}");
    HttpRequest request;
    request.url = Url("/status/200?body=hello%20world&extra=a%2Fb");

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.body, "hello world");
    EXPECT_THAT(response.headers, IsEmpty());
    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "GET");
    EXPECT_TRUE(recorded[0].tls);
    EXPECT_EQ(recorded[0].query, "body=hello%20world&extra=a%2Fb");
    EXPECT_THAT(ClientHeaderLines(recorded[0]), ElementsAre("User-Agent: DIVID"));
    EXPECT_THAT(recorded[0].body, IsEmpty());
    EXPECT_TRUE(m_log.Contains("SendRequest - Method: GET, URL: " + qln::WideToUtf8(request.url)));
    EXPECT_TRUE(m_log.Contains("SendRequest - Response: hello world"));
    EXPECT_TRUE(m_log.Contains("Added 0 extra HTTP header(s) from config"));
}

TEST_F(HttpRequestTest, DefaultConfigurationHeadersFollowUserAgent) {
    // No local override: the headers of the configuration's default value.
    const auto item = KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).FindItem("ExtraHttpHeaders");
    ASSERT_TRUE(item.has_value());
    std::vector<std::string> expected{"User-Agent: DIVID"};
    const auto defaults = nlohmann::json::parse(item->value);
    for (const auto& [name, value] : defaults.items()) {
        expected.push_back(name + ": " + value.get<std::string>());
    }
    ASSERT_GE(expected.size(), 2u) << "the default is expected to name at least one header";

    HttpRequest request;
    request.url = Url("/status/200?body=ok");
    EXPECT_EQ(KMHttpUtils::SendRequestEx(request).statusCode, 200);

    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(ClientHeaderLines(recorded[0]), expected);
}

TEST_F(HttpRequestTest, HeaderLinesInFixedOrderWithJsonBody) {
    qlntest::SetKmString(L"ExtraHttpHeaders", LR"({"X-Zeta":"last","X-Alpha":"first","X-Number":5})");
    HttpRequest request;
    request.url = Url("/status/201?body=created");
    request.method = HttpMethod::Post;
    request.basicAuth = L"dXNlcjpwdw==";
    request.privateToken = L"tok-123";
    request.jsonBody = R"({"a":1})";

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 201);
    EXPECT_EQ(response.body, "created");
    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].body, R"({"a":1})");
    EXPECT_THAT(ClientHeaderLines(recorded[0]),
                ElementsAre("User-Agent: DIVID", "X-Alpha: first", "X-Zeta: last",
                            "Authorization: Basic dXNlcjpwdw==", "PRIVATE-TOKEN: tok-123",
                            "Content-Type: application/json; charset=UTF-8"));
    EXPECT_TRUE(m_log.Contains("Added extra HTTP header: X-Alpha: first"));
    EXPECT_TRUE(m_log.Contains("Added 2 extra HTTP header(s) from config"));
    EXPECT_FALSE(m_log.Contains("Added extra HTTP header: X-Number"));
    EXPECT_TRUE(m_log.Contains(R"(SendRequest - JsonBody: {"a":1})"));
}

TEST_F(HttpRequestTest, FormBodyWinsOverJsonBody) {
    qlntest::SetKmString(L"ExtraHttpHeaders", L"{}");
    const std::string form =
        "--VIRAR\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nvalue\r\n--VIRAR--\r\n";
    HttpRequest request;
    request.url = Url("/status/200?body=ok");
    request.method = HttpMethod::Put;
    request.formBody = form;
    request.jsonBody = R"({"ignored":true})";

    EXPECT_EQ(KMHttpUtils::SendRequestEx(request).statusCode, 200);

    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "PUT");
    EXPECT_EQ(recorded[0].body, form);
    EXPECT_THAT(ClientHeaderLines(recorded[0]),
                ElementsAre("User-Agent: DIVID", "Content-Type: multipart/form-data; charset=UTF-8; boundary=VIRAR"));
    EXPECT_TRUE(m_log.Contains("SendRequest - FormBody: --VIRAR"));
    EXPECT_THAT(m_log.Matching("SendRequest - JsonBody"), IsEmpty());
}

TEST_F(HttpRequestTest, MethodValuesMapToVerbsAndUnknownIsGet) {
    const std::pair<int, const char*> cases[] = {{0, "GET"}, {1, "POST"}, {2, "PUT"}, {3, "DELETE"}, {7, "GET"}};
    for (const auto& [value, verb] : cases) {
        HttpRequest request;
        request.url = Url("/status/200?body=m");
        request.method = static_cast<HttpMethod>(value);
        EXPECT_EQ(KMHttpUtils::SendRequestEx(request).statusCode, 200) << value;
    }
    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(recorded[i].method, cases[i].second) << cases[i].first;
    EXPECT_EQ(m_log.Matching("SendRequest - Method: GET,").size(), 2u);
}

TEST_F(HttpRequestTest, HttpSchemeStillUsesTlsOnTheUrlPort) {
    HttpRequest request;
    request.url = Url("/status/200?body=secure", "http");

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.body, "secure");
    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_TRUE(recorded[0].tls);
}

TEST_F(HttpRequestTest, ExtraHeadersThatAreNotAnObjectAddNothing) {
    qlntest::SetKmString(L"ExtraHttpHeaders", LR"(["X-Array","value"])");
    HttpRequest request;
    request.url = Url("/status/200?body=a");
    EXPECT_EQ(KMHttpUtils::SendRequestEx(request).statusCode, 200);
    EXPECT_FALSE(m_log.Contains("extra HTTP header"));

    qlntest::SetKmString(L"ExtraHttpHeaders", L"X-Plain: not json");
    EXPECT_EQ(KMHttpUtils::SendRequestEx(request).statusCode, 200);
    EXPECT_TRUE(m_log.Contains("Failed to parse extra_http_headers as JSON: "));

    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 2u);
    for (const auto& r : recorded) EXPECT_THAT(ClientHeaderLines(r), ElementsAre("User-Agent: DIVID"));
}

TEST_F(HttpRequestTest, ExtraHeaderWithLineBreakIsSkipped) {
    qlntest::SetKmString(L"ExtraHttpHeaders", LR"({"X-Good":"1","X-Bad":"a\r\nX-Injected: 1"})");
    HttpRequest request;
    request.url = Url("/status/200?body=a");

    EXPECT_EQ(KMHttpUtils::SendRequestEx(request).statusCode, 200);

    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_THAT(ClientHeaderLines(recorded[0]), ElementsAre("User-Agent: DIVID", "X-Good: 1"));
    EXPECT_TRUE(m_log.Contains("Skipped extra HTTP header with an empty name or a line break: X-Bad"));
    EXPECT_TRUE(m_log.Contains("Added 1 extra HTTP header(s) from config"));
}

TEST_F(HttpRequestTest, ErrorStatusThrowsMessageFromJsonBody) {
    struct Case {
        int status;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {404, R"({"message":"not here","trace":"at Foo.bar"})", "not here\ntrace: at Foo.bar"},
        {500, R"({"message":"boom"})", "boom"},
        {404, R"({"trace":"only a trace"})", "HTTP 404 error"},
        {404, R"({"message":42,"trace":"t"})", "HTTP 404 error"},
        {503, R"(["message","text"])", "HTTP 503 error"},
        {404, "<html><body>Not Found</body></html>", "HTTP 404 error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        HttpRequest request;
        request.url = Url("/status/" + std::to_string(c.status) + "?ctype=application/json&body=" +
                          qlntest::UrlEncode(c.body));
        EXPECT_EQ(ThrownMessage(request), c.expected);
        EXPECT_TRUE(m_log.Contains("SendRequest - HTTP " + std::to_string(c.status) + " error, body: " + c.body));
    }
    EXPECT_TRUE(m_log.Contains("failed to parse error body as JSON, body: <html><body>Not Found</body></html>"));
    EXPECT_EQ(m_log.Matching("failed to parse error body as JSON").size(), 1u);
}

TEST_F(HttpRequestTest, NoContentIsASuccessWithEmptyBody) {
    HttpRequest request;
    request.url = Url("/status/204");

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 204);
    EXPECT_THAT(response.body, IsEmpty());
}

TEST_F(HttpRequestTest, UnknownCaFailsWithEmptyResponse) {
    const int badCa = qlntest::ServerPort(L"QLN_TEST_BADCA_PORT");
    ASSERT_NE(badCa, 0) << "QLN_TEST_BADCA_PORT is not set";
    HttpRequest request;
    request.url = Url("/status/200?body=untrusted", "https", badCa);

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 0);
    EXPECT_THAT(response.body, IsEmpty());
    EXPECT_THAT(Recorded(), IsEmpty());
    EXPECT_TRUE(m_log.Contains("SendRequest - GET request failed, error: "));
}

TEST_F(HttpRequestTest, ConnectionRefusedGivesStatusZero) {
    const int closed = qlntest::ServerPort(L"QLN_TEST_CLOSED_PORT");
    ASSERT_NE(closed, 0) << "QLN_TEST_CLOSED_PORT is not set";
    HttpRequest request;
    request.url = Url("/status/200", "https", closed);
    request.method = HttpMethod::Post;
    request.jsonBody = "{}";

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 0);
    EXPECT_THAT(response.body, IsEmpty());
    EXPECT_TRUE(m_log.Contains("SendRequest - POST request failed, error: "));
}

TEST_F(HttpRequestTest, SilentServerPastReceiveTimeoutGivesStatusZero) {
    HttpRequest request;
    request.url = Url("/stall?ms=5000");
    request.receiveTimeoutMs = 1000;

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 0);
    EXPECT_THAT(response.body, IsEmpty());
    EXPECT_TRUE(m_log.Contains("SendRequest - GET request failed, error: "));
}

TEST_F(HttpRequestTest, BodyCutShortKeepsWhatWasRead) {
    // Receive time-out in the middle of the body.
    HttpRequest stalled;
    stalled.url = Url("/stall?ms=5000&phase=body");
    stalled.receiveTimeoutMs = 1000;
    const HttpResponse partial = KMHttpUtils::SendRequestEx(stalled);
    EXPECT_EQ(partial.statusCode, 200);
    EXPECT_EQ(partial.body, "12345");

    // Connection reset after half of the announced body.
    HttpRequest reset;
    reset.url = Url("/reset?size=200000&after=100000");
    const HttpResponse cut = KMHttpUtils::SendRequestEx(reset);
    EXPECT_EQ(cut.statusCode, 200);
    EXPECT_LE(cut.body.size(), 100000u);
    EXPECT_EQ(cut.body, qlntest::PatternBytes(cut.body.size()));

    EXPECT_EQ(m_log.Matching("GetStdResponse - WinHttp").size(), 2u);
}

TEST_F(HttpRequestTest, CollectHeadersLowerCaseLastDuplicateWinsBlanksRemoved) {
    HttpRequest request;
    request.url = Url("/status/200?body=h&h=" + qlntest::UrlEncode("X-Dup: first") + "&h=" +
                      qlntest::UrlEncode("x-dup: second") + "&h=" + qlntest::UrlEncode("X-Spaced:   \t  padded  value"));
    request.collectHeaders = true;

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.body, "h");
    ASSERT_TRUE(response.headers.count("x-dup"));
    EXPECT_EQ(response.headers.at("x-dup"), "second");
    ASSERT_TRUE(response.headers.count("x-spaced"));
    EXPECT_EQ(response.headers.at("x-spaced"), "padded  value");
    ASSERT_TRUE(response.headers.count("content-length"));
    EXPECT_EQ(response.headers.at("content-length"), "1");
    for (const auto& [name, value] : response.headers) {
        EXPECT_EQ(name, qln::ToLowerAscii(name));
        EXPECT_EQ(name.find(':'), std::string::npos);
        EXPECT_NE(name.rfind("HTTP/", 0), 0u) << "status line stored as a header";
    }
}

TEST_F(HttpRequestTest, StreamModeDeliversChunksAndLeavesBodyEmpty) {
    HttpRequest request;
    request.url = Url("/large?size=300000");
    std::string streamed;
    int chunks = 0;
    request.onChunk = [&](const std::string& chunk) {
        EXPECT_FALSE(chunk.empty());
        streamed += chunk;
        ++chunks;
    };

    const HttpResponse response = KMHttpUtils::SendRequestEx(request);

    EXPECT_EQ(response.statusCode, 200);
    EXPECT_THAT(response.body, IsEmpty());
    EXPECT_GE(chunks, 1);
    EXPECT_EQ(streamed.size(), 300000u);
    EXPECT_TRUE(streamed == qlntest::PatternBytes(300000)) << "streamed bytes differ from the body";
    EXPECT_TRUE(m_log.Contains("SendRequest (Stream) - Method: GET, URL: "));
    EXPECT_TRUE(m_log.Contains("SendRequest (Stream) - Response: "));
    EXPECT_FALSE(m_log.Contains("SendRequest - Response: "));
}

TEST_F(HttpRequestTest, UrlPartsBeyondTheSplitBuffersFailWithStatusZero) {
    // A path with query of 2047 characters fits and reaches the server.
    const std::wstring prefix = Url("/status/200?body=fits&pad=");
    const size_t pathStart = prefix.find(L'/', prefix.find(L"://") + 3);
    HttpRequest fits;
    fits.url = prefix + std::wstring(2047 - (prefix.size() - pathStart), L'p');
    EXPECT_EQ(KMHttpUtils::SendRequestEx(fits).body, "fits");
    EXPECT_EQ(Recorded().size(), 1u);

    HttpRequest longPath;
    longPath.url = fits.url + L"p";
    const HttpResponse pathResponse = KMHttpUtils::SendRequestEx(longPath);
    EXPECT_EQ(pathResponse.statusCode, 0);
    EXPECT_THAT(pathResponse.body, IsEmpty());
    EXPECT_EQ(Recorded().size(), 1u);

    HttpRequest longHost;
    longHost.url = L"https://" + std::wstring(256, L'h') + L"/status/200";
    const HttpResponse hostResponse = KMHttpUtils::SendRequestEx(longHost);
    EXPECT_EQ(hostResponse.statusCode, 0);
    EXPECT_THAT(hostResponse.body, IsEmpty());

    EXPECT_EQ(m_log.Matching("SendRequest - WinHttpCrackUrl failed, error: 122").size(), 2u);
}

}  // namespace

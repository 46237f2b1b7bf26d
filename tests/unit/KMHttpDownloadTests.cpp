// KMHttpUtils::DownloadToFile against the scripted local server: complete
// files, retries with their pauses, the file left behind (or not) after a
// failure, error diagnostics, and TLS chosen by scheme.

#include "Utils/KM/KMHttpUtils.h"

#include "Utils/StringConv.h"

#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT");
        ASSERT_NE(m_https, 0) << "QLN_TEST_HTTPS_PORT is not set: the HTTP test server did not start";
        m_key = qlntest::UniqueKey();
        m_dest = m_dir.path() / L"package.msi";
    }

    std::wstring Url(const std::string& rest, const char* scheme = "https", int port = 0) const {
        return qlntest::Widen(std::string(scheme) + "://127.0.0.1:" + std::to_string(port ? port : m_https) + "/r/" +
                              qlntest::UrlEncode(m_key) + rest);
    }

    bool Download(const std::wstring& url, int32_t attempts = 1, uint32_t receiveTimeoutMs = 60000) const {
        DownloadOptions options;
        options.receiveTimeoutMs = receiveTimeoutMs;
        options.maxAttempts = attempts;
        options.retryDelayMs = 20;
        return KMHttpUtils::DownloadToFile(url, m_dest.wstring(), options);
    }

    bool DestExists() const { return std::filesystem::exists(m_dest); }

    qlntest::LogCapture m_log;
    qlntest::TempDir m_dir;
    std::filesystem::path m_dest;
    int m_https = 0;
    std::string m_key;
};

TEST_F(DownloadTest, LargeBodyIsWrittenCompletelyWithoutExtraHeaders) {
    qlntest::SetKmString(L"ExtraHttpHeaders", LR"({"X-Extra":"1"})");
    const size_t size = 5 * 1024 * 1024 + 123;

    ASSERT_TRUE(Download(Url("/large?size=" + std::to_string(size))));

    EXPECT_EQ(std::filesystem::file_size(m_dest), size);
    EXPECT_TRUE(qlntest::ReadFileBytes(m_dest) == qlntest::PatternBytes(size)) << "file content differs from the body";
    EXPECT_TRUE(m_log.Contains("DownloadToFile completed: " + qln::WideToUtf8(m_dest.wstring())));
    const auto recorded = qlntest::FetchRecorded(m_key);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "GET");
    EXPECT_TRUE(recorded[0].tls);
    EXPECT_THAT(recorded[0].headerLines, ::testing::Contains("User-Agent: VIRAR/1.0"));
    for (const auto& line : recorded[0].headerLines) {
        EXPECT_THAT(line, ::testing::Not(HasSubstr("X-Extra")));
        EXPECT_THAT(line, ::testing::Not(HasSubstr("DIVID")));
    }
}

TEST_F(DownloadTest, ChunkedAndEmptyBodies) {
    ASSERT_TRUE(Download(Url("/large?size=300000&chunked=1")));
    EXPECT_TRUE(qlntest::ReadFileBytes(m_dest) == qlntest::PatternBytes(300000));

    // A chunked answer that also carries a Content-Length (shorter or longer
    // than the body): the chunks delimit the body, the length is ignored.
    for (const char* length : {"1000", "900000"}) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(Download(Url("/large?size=300000&chunked=1&length=" + std::string(length))));
        EXPECT_TRUE(qlntest::ReadFileBytes(m_dest) == qlntest::PatternBytes(300000));
    }

    ASSERT_TRUE(Download(Url("/status/200?body=")));
    ASSERT_TRUE(DestExists());
    EXPECT_EQ(std::filesystem::file_size(m_dest), 0u);
}

TEST_F(DownloadTest, PlainHttpOnAnotherPortThanHttpsGoesWithoutTls) {
    const int http = qlntest::ServerPort(L"QLN_TEST_HTTP_PORT");
    ASSERT_NE(http, 0) << "QLN_TEST_HTTP_PORT is not set";

    ASSERT_TRUE(Download(Url("/status/200?body=plain", "http", http)));

    EXPECT_EQ(qlntest::ReadFileBytes(m_dest), "plain");
    const auto recorded = qlntest::FetchRecorded(m_key);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_FALSE(recorded[0].tls);
}

TEST_F(DownloadTest, ThreeFailingAttemptsPauseRetryAndLeaveNoFile) {
    const std::wstring url = Url("/flaky/" + m_key + "?fail=10&code=500");

    EXPECT_FALSE(Download(url, 3));

    EXPECT_FALSE(DestExists());
    EXPECT_EQ(qlntest::FetchRecorded(m_key).size(), 3u);
    EXPECT_EQ(m_log.Matching("DownloadToFile retry attempt").size(), 2u);
    EXPECT_TRUE(m_log.Contains("DownloadToFile retry attempt 2/3 after 20 ms delay"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile retry attempt 3/3 after 20 ms delay"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile failed after 3 attempts, url: " + qln::WideToUtf8(url)));
    EXPECT_EQ(m_log.Matching("DownloadToFile - HTTP error status code: 500, url: ").size(), 3u);
    EXPECT_EQ(m_log.Matching("DownloadToFile - proxy diag: ").size(), 3u);
    EXPECT_EQ(m_log.Matching("DownloadToFile - response headers:").size(), 3u);
    EXPECT_TRUE(m_log.Contains("DownloadToFile - response body (15 bytes shown): flaky failure 1"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - response body (15 bytes shown): flaky failure 3"));
    EXPECT_FALSE(m_log.Contains("DownloadToFile completed"));
}

TEST_F(DownloadTest, SuccessOnTheSecondAttempt) {
    EXPECT_TRUE(Download(Url("/flaky/" + m_key + "?fail=1&code=503&body=second%20time"), 3));

    EXPECT_EQ(qlntest::ReadFileBytes(m_dest), "second time");
    EXPECT_EQ(qlntest::FetchRecorded(m_key).size(), 2u);
    EXPECT_EQ(m_log.Matching("DownloadToFile retry attempt").size(), 1u);
    EXPECT_TRUE(m_log.Contains("DownloadToFile retry attempt 2/3 after 20 ms delay"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile completed: "));
}

TEST_F(DownloadTest, ZeroAttemptsSendNothing) {
    qlntest::WriteFileBytes(m_dest, "untouched");

    EXPECT_FALSE(Download(Url("/status/200?body=x"), 0));

    EXPECT_THAT(qlntest::FetchRecorded(m_key), IsEmpty());
    EXPECT_TRUE(m_log.Contains("DownloadToFile failed after 0 attempts, url: "));
    EXPECT_EQ(qlntest::ReadFileBytes(m_dest), "untouched");
}

TEST_F(DownloadTest, ExistingFileIsDeletedWhenTheAttemptFails) {
    qlntest::WriteFileBytes(m_dest, "previous download");

    EXPECT_FALSE(Download(Url("/status/404?body=gone")));

    EXPECT_FALSE(DestExists());
    EXPECT_TRUE(m_log.Contains("DownloadToFile - response body (4 bytes shown): gone"));
}

TEST_F(DownloadTest, ErrorBodyShownUpTo4096Bytes) {
    EXPECT_FALSE(Download(Url("/status/500?fill=10000")));

    const auto lines = m_log.Matching("DownloadToFile - response body (4096 bytes shown): ");
    ASSERT_EQ(lines.size(), 1u);
    std::string expected;
    while (expected.size() < 4096) expected += "0123456789";
    expected.resize(4096);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4097), " " + expected);
}

TEST_F(DownloadTest, BodyCutShortFailsAndLeavesNoFile) {
    // Orderly end of the connection before the announced length.
    EXPECT_FALSE(Download(Url("/truncate?size=200000&after=100000")));
    EXPECT_FALSE(DestExists());
    EXPECT_TRUE(m_log.Contains("DownloadToFile - incomplete body: 100000 of 200000 bytes received"));

    // Connection reset in the middle of the body.
    EXPECT_FALSE(Download(Url("/reset?size=200000&after=100000")));
    EXPECT_FALSE(DestExists());

    // Receive time-out in the middle of the body.
    EXPECT_FALSE(Download(Url("/stall?ms=5000&phase=body"), 1, 1000));
    EXPECT_FALSE(DestExists());

    EXPECT_EQ(m_log.Matching("DownloadToFile failed after 1 attempts").size(), 3u);
}

TEST_F(DownloadTest, FailuresBeforeAnyBody) {
    // Silent server past the receive time-out.
    EXPECT_FALSE(Download(Url("/stall?ms=5000"), 1, 1000));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - WinHttpReceiveResponse failed, error: "));

    // Certificate of no trusted CA.
    const int badCa = qlntest::ServerPort(L"QLN_TEST_BADCA_PORT");
    ASSERT_NE(badCa, 0);
    EXPECT_FALSE(Download(Url("/status/200?body=x", "https", badCa)));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - WinHttpSendRequest failed, error: "));

    // Host name longer than the split buffer.
    EXPECT_FALSE(Download(L"https://" + std::wstring(300, L'h') + L"/file.msi"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - WinHttpCrackUrl failed, error: 122"));

    // Destination folder missing.
    m_dest = m_dir.path() / L"missing" / L"package.msi";
    EXPECT_FALSE(Download(Url("/status/200?body=x")));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - Failed to create local file: "));

    EXPECT_FALSE(DestExists());
}

// The faults not covered above, each with a stale package at the
// destination: every one fails all attempts and leaves no file, and none is
// reported as completed.
TEST_F(DownloadTest, EveryOtherNetworkFaultFailsAndLeavesNoPackage) {
    const int http = qlntest::ServerPort(L"QLN_TEST_HTTP_PORT");
    const int closed = qlntest::ServerPort(L"QLN_TEST_CLOSED_PORT");
    ASSERT_NE(http, 0);
    ASSERT_NE(closed, 0);
    const auto error = [](int status, const char* ctype, const char* body) {
        return "/status/" + std::to_string(status) + "?ctype=" + qlntest::UrlEncode(ctype) +
               "&body=" + qlntest::UrlEncode(body);
    };
    const std::string plainPackage =
        qln::WideToUtf8(Url("/large?size=300000", "http", http));
    struct Case {
        const char* fault;
        std::wstring url;
    };
    const Case cases[] = {
        {"connection refused", Url("/large?size=300000", "https", closed)},
        {"404 with JSON", Url(error(404, "application/json", R"({"message":"no such package"})"))},
        {"404 with HTML", Url(error(404, "text/html", "<html><body>Not Found</body></html>"))},
        {"500 with JSON", Url(error(500, "application/json", R"({"message":"storage offline","trace":"x"})"))},
        {"500 with HTML", Url(error(500, "text/html", "<html><h1>Internal Server Error</h1></html>"))},
        {"redirect to plain HTTP", Url("/redirect?to=" + qlntest::UrlEncode(plainPackage))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        qlntest::WriteFileBytes(m_dest, "stale package");
        const size_t failuresBefore = m_log.Matching("DownloadToFile failed after 2 attempts").size();

        EXPECT_FALSE(Download(c.url, 2));

        EXPECT_FALSE(DestExists());
        EXPECT_EQ(m_log.Matching("DownloadToFile failed after 2 attempts").size(), failuresBefore + 1);
    }
    EXPECT_FALSE(m_log.Contains("DownloadToFile completed"));
}

}  // namespace

// The HTTP client behind tinyproxy forward proxies of the harness, with the user's settings
// written as Windows keeps them. The proxy's own log shows whether a request went through it.

#include "Utils/KM/KMHttpProxy.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/StringConv.h"

#include "support/HttpTestServer.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// DefaultConnectionSettings: version, counter, flags (1 direct, 2 proxy,
// 4 script, 8 detect), then proxy, bypass list and script, each length-prefixed.
void SetUserSettings(DWORD flags, const std::string& proxy, const std::string& bypass, const std::string& script) {
    std::string record;
    const auto put = [&](DWORD v) { record.append(reinterpret_cast<const char*>(&v), sizeof(v)); };
    put(0x46), put(1), put(flags);
    for (const std::string* text : {&proxy, &bypass, &script}) put(static_cast<DWORD>(text->size())), record += *text;
    record.append(32, '\0');
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", REG_BINARY,
                                record.data(), static_cast<DWORD>(record.size())), ERROR_SUCCESS);
}

void SetMachineProxy(const std::string& proxy, const std::string& bypass = "") {
    std::wstring server = qlntest::Widen(proxy), list = qlntest::Widen(bypass);
    WINHTTP_PROXY_INFO info{proxy.empty() ? DWORD{1} : DWORD{3}, proxy.empty() ? nullptr : server.data(),
                            bypass.empty() ? nullptr : list.data()};
    ASSERT_TRUE(::WinHttpSetDefaultProxyConfiguration(&info)) << ::GetLastError();
}

// Requests that the proxy announced by logVariable logged and that contain text.
size_t ProxyLogged(const wchar_t* logVariable, const std::string& text) {
    const std::string log = qlntest::ReadFileBytes(qlntest::Env(logVariable));
    size_t count = 0, at = 0;
    while ((at = log.find(text, at) + 1) != 0) ++count;
    return count;
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override { for (int* port : {&m_https, &m_http, &m_closed, &m_proxy, &m_auth}) ASSERT_NE(*port, 0); }
    void TearDown() override {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings");
        SetMachineProxy("");
    }
    static std::string At(int port) { return "127.0.0.1:" + std::to_string(port); }
    std::wstring Url(const std::string& host, int port, const std::string& scheme = "https") const {
        return qlntest::Widen(scheme + "://" + host + ":" + std::to_string(port) + "/r/" + m_key + "/status/200?body=ok");
    }
    bool Download(const std::wstring& url) const {
        return KMHttpUtils::DownloadToFile(url, (m_dir.path() / L"f").wstring(), {60000, 1, 0});
    }
    // A script that sends localhost through the open proxy (or the one at proxyPort) and all else direct.
    std::string PacUrl(const std::string& key, int proxyPort = 0) const {
        return "http://" + At(m_http) + "/r/" + key + "/status/200?body=" +
               qlntest::UrlEncode("function FindProxyForURL(url, host) { return host == \"localhost\" ? \"PROXY " +
                                  At(proxyPort ? proxyPort : m_proxy) + "\" : \"DIRECT\"; }");
    }

    int m_https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT"), m_http = qlntest::ServerPort(L"QLN_TEST_HTTP_PORT");
    int m_closed = qlntest::ServerPort(L"QLN_TEST_CLOSED_PORT"), m_proxy = qlntest::ServerPort(L"QLN_TEST_PROXY_PORT");
    int m_auth = qlntest::ServerPort(L"QLN_TEST_PROXY_AUTH_PORT");
    std::string m_key = qlntest::UniqueKey();
    qlntest::LogCapture m_log;
    qlntest::TempDir m_dir;
};

TEST_F(ProxyTest, DecisionChoosesTheProxyOrTheDirectWayOncePerHostAndCheck) {
    const std::string proxy = At(m_proxy), pac = PacUrl(qlntest::UniqueKey());
    struct Case { DWORD flags; std::string proxy, bypass, script, host, decision, machine = {}, machineBypass = {}; };
    const Case cases[] = {
        {2, proxy, "", "", "localhost", "proxy " + proxy + " (user)"},
        {2, "http=" + At(m_closed) + ";https=" + proxy, "", "", "localhost", "proxy " + proxy + " (user)"},
        {2, proxy, "*.example.com <local>", "", "localhost", "bypass"},
        {2, proxy, "*.0.0.1", "", "127.0.0.1", "bypass"},
        {4, "", "", pac, "localhost", "proxy " + proxy + " (auto-config " + pac + ")"},
        {4, "", "", pac, "127.0.0.1", "bypass"},
        {6, proxy, "", "http://" + At(m_closed) + "/none.pac", "localhost", "proxy " + proxy + " (user)"},
        {8, "", "", "", "localhost", "proxy " + proxy + " (detected auto-config " + pac + ")"},
        {1, "", "", "", "localhost", "direct"},
        {2, At(m_closed), "", "", "localhost", "proxy " + proxy + " (machine)", proxy},
        {2, At(m_closed), "", "", "localhost", "bypass", proxy, "*.example.com;localhost"},
        {2, At(m_closed), "", "", "localhost", "proxy " + At(m_closed) + " (user)"},  // down: the one to fail
    };
    static std::wstring detected;
    detected = qlntest::Widen(pac);
    qlntest::ScopedSeam detection(qln::seams::g_detectAutoProxyConfigUrl,
                                  [](std::wstring& url) { return url = detected, true; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.decision + " for " + c.host);
        SetUserSettings(c.flags, c.proxy, c.bypass, c.script);
        SetMachineProxy(c.machine, c.machineBypass);
        const std::string connect = "CONNECT " + c.host + ":" + std::to_string(m_https);
        const std::string line = "HTTP proxy for " + c.host + ": " + c.decision;
        const size_t before = ProxyLogged(L"QLN_TEST_PROXY_LOG", connect), lines = m_log.Matching(line).size();
        EXPECT_EQ(Download(Url(c.host, m_https)), &c != std::end(cases) - 1);
        EXPECT_EQ(m_log.Matching(line).size() - lines, 1u);
        EXPECT_EQ(ProxyLogged(L"QLN_TEST_PROXY_LOG", connect) - before, c.decision.rfind("proxy " + proxy, 0) == 0 ? 1u : 0u);
    }
    EXPECT_EQ(m_log.Matching("none.pac failed, error: ").size(), 1u);
    EXPECT_EQ(qlntest::FetchRecorded(m_key).size(), std::size(cases) - 1);
    EXPECT_TRUE(m_log.Contains("DownloadToFile - the request went through proxy " + At(m_closed) + " (user)"));
    EXPECT_EQ(KMHttpProxy::ProxyForScheme(L"ftp=a:1; http://p.corp/ ;https=x:99999", true), L"p.corp:80");
    EXPECT_EQ(KMHttpProxy::ProxyForScheme(L"=;https=;http=h:8", true), L"");
    EXPECT_TRUE(KMHttpProxy::BypassListMatches(L";;HTTPS://*.Corp.Example,svc:8443", L"build.corp.example", 443));
    EXPECT_FALSE(KMHttpProxy::BypassListMatches(L"<local> svc:8443 *.corp", L"svc.corp.example", 8443));

    // One check: its version request and its download share one run of the script.
    const std::string pacKey = qlntest::UniqueKey(), connect = "CONNECT localhost:" + std::to_string(m_https);
    SetUserSettings(4, "", "", PacUrl(pacKey));
    const size_t before = ProxyLogged(L"QLN_TEST_PROXY_LOG", connect);
    {
        KMProxyScope check;
        EXPECT_EQ(KMHttpUtils::SendRequestEx(HttpRequest{Url("localhost", m_https)}).body, "ok");
        EXPECT_TRUE(Download(Url("localhost", m_https)));
    }
    EXPECT_EQ(m_log.Matching("HTTP proxy for localhost: proxy " + proxy + " (auto-config " + PacUrl(pacKey)).size(), 1u);
    EXPECT_EQ(ProxyLogged(L"QLN_TEST_PROXY_LOG", connect) - before, 2u);
}

// Wine cannot sign in with the user's credentials and reports a 407 to a TLS tunnel as a
// TLS failure: plain HTTP to a proxy that wants a password, and the scheme choice alone.
TEST_F(ProxyTest, ProxySignInIsRetriedOnceThenTheRequestFails) {
    SetUserSettings(2, At(m_auth), "", "");
    EXPECT_FALSE(Download(Url("localhost", m_http, "http")));
    EXPECT_EQ(ProxyLogged(L"QLN_TEST_PROXY_AUTH_LOG", "GET " + qln::WideToUtf8(Url("localhost", m_http, "http"))), 2u);
    EXPECT_TRUE(m_log.Contains("asks for sign-in (407), retrying once with the logged-on user's credentials"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - proxy " + At(m_auth) + " refused the sign-in"));
    EXPECT_TRUE(m_log.Contains("DownloadToFile - proxy diag: accessType=3, proxy=[" + At(m_auth) + "]"));
    EXPECT_TRUE(qlntest::FetchRecorded(m_key).empty());
    EXPECT_EQ(KMHttpProxy::ChooseSignInScheme(WINHTTP_AUTH_SCHEME_NTLM | WINHTTP_AUTH_SCHEME_NEGOTIATE), 0x10u);
    EXPECT_EQ(KMHttpProxy::ChooseSignInScheme(WINHTTP_AUTH_SCHEME_NTLM | WINHTTP_AUTH_SCHEME_BASIC), 0x2u);
    EXPECT_EQ(KMHttpProxy::ChooseSignInScheme(WINHTTP_AUTH_SCHEME_BASIC), 0u);
}

// The sign-in goes to a proxy that a script at the user's own address names, never to one that
// detection found (anyone on the local network can answer it), whose 407 is logged and final.
TEST_F(ProxyTest, SignInGoesOnlyToAProxyThatTheSettingsName) {
    static std::string pac;
    pac = PacUrl(qlntest::UniqueKey(), m_auth);
    qlntest::ScopedSeam detection(qln::seams::g_detectAutoProxyConfigUrl,
                                  [](std::wstring& url) { return url = qlntest::Widen(pac), true; });
    const std::string get = "GET " + qln::WideToUtf8(Url("localhost", m_http, "http"));
    for (const auto& [flags, sent] : {std::pair{8u, 1u}, std::pair{4u, 2u}}) {
        SetUserSettings(flags, "", "", pac);
        const size_t before = ProxyLogged(L"QLN_TEST_PROXY_AUTH_LOG", get);
        EXPECT_FALSE(Download(Url("localhost", m_http, "http")));
        EXPECT_EQ(ProxyLogged(L"QLN_TEST_PROXY_AUTH_LOG", get) - before, sent) << flags;
    }
    EXPECT_EQ(m_log.Matching("proxy " + At(m_auth) + " found by automatic detection asks for sign-in (407)").size(), 1u);
}

}  // namespace

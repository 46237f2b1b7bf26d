#pragma once
// Which proxy, if any, carries a request of the HTTP client, and the sign-in
// to it.
//
// The machine-wide WinHTTP setting comes first. Where it is direct, the
// user's Internet settings decide: automatic detection or an
// auto-configuration script (run for the URL with WinHttpGetProxyForUrl),
// else the fixed proxy with its bypass list, else a direct connection. A
// script that cannot be fetched or run falls back to the fixed proxy or to a
// direct connection, with a warning.
//
// A decision is logged at info when it is made. While a KMProxyScope lives on
// the calling thread each host is decided once and the decision is reused by
// every later request to it; an update check holds one scope for its version
// request and its package download.
//
// Any thread may call; decisions are kept per thread.

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

struct ProxyDecision {
    enum class Source {
        Direct,      // nothing names a proxy for this request
        Bypass,      // a proxy is set, but the bypass list or the script sends this host direct
        Machine,     // the machine-wide WinHTTP setting
        User,        // the user's fixed proxy
        AutoConfig,  // the auto-configuration script that the user's settings name
        Detected,    // the auto-configuration script that automatic detection found
    };
    Source source = Source::Direct;
    std::wstring server;         // "host:port" of the proxy; empty when the request goes direct
    std::wstring autoConfigUrl;  // the script that chose the proxy (AutoConfig and Detected)

    [[nodiscard]] bool UsesProxy() const noexcept { return !server.empty(); }
    // "direct", "bypass", "proxy <host:port> (machine)", "proxy <host:port> (user)",
    // "proxy <host:port> (auto-config <url>)" or "proxy <host:port> (detected auto-config <url>)".
    [[nodiscard]] std::string Describe() const;
};

// The destination of one request, as far as the proxy decision needs it.
struct ProxyTarget {
    std::wstring url;   // handed to an auto-configuration script
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;  // TLS: the "https" entry of a per-scheme proxy list applies
};

class KMHttpProxy {
public:
    // The decision for target, reused from the thread's KMProxyScope when
    // that host was decided there already. An auto-configuration script is
    // fetched and run with timeoutMs for each of its network steps.
    [[nodiscard]] static ProxyDecision Decide(const ProxyTarget& target, const wchar_t* agent, DWORD timeoutMs);

    // A synchronous WinHTTP root handle that sends through the decided proxy,
    // or directly; null with the system error code when it cannot be opened.
    [[nodiscard]] static HINTERNET OpenSession(const wchar_t* agent, const ProxyDecision& decision) noexcept;

    // Called after each response of request has been received. True once,
    // when the decided proxy first asks for sign-in (407): the request is then
    // set up to send the logged-on user's credentials (Negotiate or NTLM) and
    // must be sent again. Nothing prompts for a password or stores one, and
    // the system's automatic sign-in policy is kept. Only a proxy that the
    // machine setting, the user's fixed proxy or a script at an address of
    // the user's settings names gets the sign-in: anyone on the local network
    // can answer automatic detection, so a detected proxy's 407 is logged and
    // left to the caller as an error status, as is a second 407.
    [[nodiscard]] static bool RetryWithSignIn(HINTERNET request, const ProxyDecision& decision, bool& signInTried,
                                              const char* what) noexcept;

    // The proxy that a proxy list ("host:port", "http=host:port;https=host:port",
    // optionally "http://" before a server) names for the scheme, as
    // "host:port" (port 80 when none is given); empty when none applies or the
    // entries are malformed.
    [[nodiscard]] static std::wstring ProxyForScheme(std::wstring_view list, bool secure);
    // True when host (or "host:port") matches an entry of a bypass list:
    // entries separated by ';', ',' or blanks, '*' as wildcard, case ignored,
    // "<local>" for every host name without a dot.
    [[nodiscard]] static bool BypassListMatches(std::wstring_view list, std::wstring_view host, INTERNET_PORT port);
    // The scheme that can carry the logged-on user's credentials among the
    // WINHTTP_AUTH_SCHEME_* bits a proxy offers: Negotiate before NTLM; 0 when
    // it offers neither (Basic needs a password, which is never asked for).
    [[nodiscard]] static DWORD ChooseSignInScheme(DWORD supportedSchemes) noexcept;
};

// Keeps the proxy decisions of the calling thread while it lives. Scopes nest:
// an inner one shares the decisions of the outermost.
class KMProxyScope {
public:
    KMProxyScope();
    ~KMProxyScope();
    KMProxyScope(const KMProxyScope&) = delete;
    KMProxyScope& operator=(const KMProxyScope&) = delete;

private:
    std::unique_ptr<std::map<std::wstring, ProxyDecision>> m_decisions;  // only in the outermost scope
};

namespace qln::seams {

// Replaces WinHttpDetectAutoProxyConfigUrl: returns true and the script's
// address when a network announces one. Wine never finds one, so tests
// announce their own. Null in the product.
using DetectAutoProxyConfigUrlFn = bool (*)(std::wstring& url);
inline DetectAutoProxyConfigUrlFn g_detectAutoProxyConfigUrl = nullptr;

}  // namespace qln::seams

#include "Utils/KM/KMHttpProxy.h"

#include "Utils/KM/KMLog.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <algorithm>
#include <climits>
#include <optional>

namespace {

thread_local std::map<std::wstring, ProxyDecision>* t_decisions = nullptr;

constexpr std::wstring_view kListSeparators = L"; \t\r\n";
constexpr std::wstring_view kBypassSeparators = L";, \t\r\n";

bool HasText(const wchar_t* text) noexcept {
    return text != nullptr && text[0] != L'\0';
}

// The strings WinHTTP hands out with a proxy configuration belong to the
// caller and are released with GlobalFree.
// Owners of what WinHTTP allocated: a copy would free it twice.
struct OwnedProxyInfo {
    WINHTTP_PROXY_INFO info{};
    OwnedProxyInfo() = default;
    OwnedProxyInfo(const OwnedProxyInfo&) = delete;
    OwnedProxyInfo& operator=(const OwnedProxyInfo&) = delete;
    ~OwnedProxyInfo() {
        qln::UniqueGlobalMem proxy(info.lpszProxy);
        qln::UniqueGlobalMem bypass(info.lpszProxyBypass);
    }
};

struct OwnedUserConfig {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    OwnedUserConfig() = default;
    OwnedUserConfig(const OwnedUserConfig&) = delete;
    OwnedUserConfig& operator=(const OwnedUserConfig&) = delete;
    ~OwnedUserConfig() {
        qln::UniqueGlobalMem script(config.lpszAutoConfigUrl);
        qln::UniqueGlobalMem proxy(config.lpszProxy);
        qln::UniqueGlobalMem bypass(config.lpszProxyBypass);
    }
};

// Calls fn with each non-empty entry of list.
template <typename Fn>
void ForEachEntry(std::wstring_view list, std::wstring_view separators, Fn&& fn) {
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(separators, start);
        if (end == std::wstring_view::npos) end = list.size();
        if (end > start && fn(list.substr(start, end - start))) return;
        start = end + 1;
    }
}

std::wstring_view WithoutScheme(std::wstring_view text) {
    const size_t scheme = text.find(L"://");
    return scheme == std::wstring_view::npos ? text : text.substr(scheme + 3);
}

// "host:port" from a server entry ("host", "host:port", "http://host:port/"),
// or empty when the entry is malformed.
std::wstring NormalizeServer(std::wstring_view entry) {
    entry = WithoutScheme(entry);
    while (!entry.empty() && entry.back() == L'/') entry.remove_suffix(1);
    // A port follows the last colon, unless that colon is inside an IPv6 literal.
    const size_t colon = entry.rfind(L':');
    const size_t bracket = entry.rfind(L']');
    const bool hasPort = colon != std::wstring_view::npos && (bracket == std::wstring_view::npos || colon > bracket);
    const std::wstring_view host = hasPort ? entry.substr(0, colon) : entry;
    const std::wstring_view port = hasPort ? entry.substr(colon + 1) : std::wstring_view(L"80");
    if (host.empty() || host.find_first_of(L"/@") != std::wstring_view::npos || port.empty() || port.size() > 5) {
        return {};
    }
    unsigned long number = 0;
    for (const wchar_t c : port) {
        if (c < L'0' || c > L'9') return {};
        number = number * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (number == 0 || number > 65535) return {};
    return std::wstring(host) + L":" + std::to_wstring(number);
}

// '*' matches any run of characters; both texts are lower case.
bool WildcardMatches(std::wstring_view pattern, std::wstring_view text) {
    size_t p = 0, t = 0, star = std::wstring_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

ProxyDecision ProxyFrom(ProxyDecision::Source source, std::wstring server, std::wstring script = {}) {
    ProxyDecision decision;
    decision.source = source;
    decision.server = std::move(server);
    decision.autoConfigUrl = std::move(script);
    return decision;
}

// A fixed proxy list with its bypass list, machine-wide or the user's.
ProxyDecision FromFixedSetting(ProxyDecision::Source source, const wchar_t* list, const wchar_t* bypass,
                               const ProxyTarget& target) {
    if (HasText(bypass) && KMHttpProxy::BypassListMatches(bypass, target.host, target.port)) {
        return ProxyFrom(ProxyDecision::Source::Bypass, {});
    }
    std::wstring server = KMHttpProxy::ProxyForScheme(list, target.secure);
    if (server.empty()) {
        KM_LOG_WARN("Proxy setting [{}] names no usable proxy for {}, going direct", qln::WideToUtf8(list),
                    target.secure ? "https" : "http");
        return {};
    }
    return ProxyFrom(source, std::move(server));
}

// The address of the script that the network announces, or empty.
std::wstring DetectScriptUrl() {
    std::wstring url;
    if (qln::seams::g_detectAutoProxyConfigUrl) {
        if (!qln::seams::g_detectAutoProxyConfigUrl(url)) url.clear();
    } else {
        LPWSTR detected = nullptr;
        if (::WinHttpDetectAutoProxyConfigUrl(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A,
                                              &detected)) {
            qln::UniqueGlobalMem owned(detected);
            if (HasText(detected)) url = detected;
        } else {
            // Most networks announce nothing; that is no fault.
            KM_LOG_DEBUG("Proxy auto-detection found no configuration, error: {}", ::GetLastError());
        }
    }
    return url;
}

// What the script at scriptUrl chooses for the target; none, with the system
// error code, when it cannot be fetched or run or names nothing usable.
std::optional<ProxyDecision> RunScript(const std::wstring& scriptUrl, bool detected, const ProxyTarget& target,
                                       const wchar_t* agent, DWORD timeoutMs, DWORD& error) {
    qln::UniqueInternet session(
        ::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        error = ::GetLastError();
        return std::nullopt;
    }
    const int timeout = static_cast<int>(std::min<DWORD>(timeoutMs, INT_MAX));
    (void)::WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout);

    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
    // The server of a script that the user's settings name may ask for the
    // user's sign-in as well; that of a detected one may be anybody's.
    options.fAutoLogonIfChallenged = detected ? FALSE : TRUE;
    OwnedProxyInfo chosen;
    if (!::WinHttpGetProxyForUrl(session.get(), target.url.c_str(), &options, &chosen.info)) {
        error = ::GetLastError();
        return std::nullopt;
    }
    if (chosen.info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !HasText(chosen.info.lpszProxy)) {
        return ProxyFrom(ProxyDecision::Source::Bypass, {});  // the script said DIRECT
    }
    // The script's list is in order of preference; its first server is taken.
    std::wstring server = KMHttpProxy::ProxyForScheme(chosen.info.lpszProxy, target.secure);
    if (server.empty()) {
        error = ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT;
        return std::nullopt;
    }
    return ProxyFrom(detected ? ProxyDecision::Source::Detected : ProxyDecision::Source::AutoConfig, std::move(server),
                     scriptUrl);
}

ProxyDecision MakeDecision(const ProxyTarget& target, const wchar_t* agent, DWORD timeoutMs) {
    OwnedProxyInfo machine;
    if (!::WinHttpGetDefaultProxyConfiguration(&machine.info)) {
        KM_LOG_WARN("WinHttpGetDefaultProxyConfiguration failed, error: {}", ::GetLastError());
    } else if (machine.info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && HasText(machine.info.lpszProxy)) {
        return FromFixedSetting(ProxyDecision::Source::Machine, machine.info.lpszProxy, machine.info.lpszProxyBypass,
                                target);
    }

    OwnedUserConfig user;
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&user.config)) {
        KM_LOG_WARN("WinHttpGetIEProxyConfigForCurrentUser failed, error: {}; going direct", ::GetLastError());
        return {};
    }
    std::wstring script = user.config.fAutoDetect ? DetectScriptUrl() : std::wstring();
    const bool detected = !script.empty();
    if (!detected && HasText(user.config.lpszAutoConfigUrl)) script = user.config.lpszAutoConfigUrl;
    const bool hasFixed = HasText(user.config.lpszProxy);
    if (!script.empty()) {
        DWORD error = 0;
        if (auto decision = RunScript(script, detected, target, agent, timeoutMs, error)) return *decision;
        KM_LOG_WARN("Proxy auto-configuration {} failed, error: {}; falling back to {}", qln::WideToUtf8(script),
                    error, hasFixed ? "the fixed proxy" : "a direct connection");
    }
    if (hasFixed) {
        return FromFixedSetting(ProxyDecision::Source::User, user.config.lpszProxy, user.config.lpszProxyBypass,
                                target);
    }
    return {};
}

const char* SchemeName(DWORD scheme) noexcept {
    switch (scheme) {
        case WINHTTP_AUTH_SCHEME_NEGOTIATE: return "Negotiate";
        case WINHTTP_AUTH_SCHEME_NTLM: return "NTLM";
        default: return "no integrated scheme offered";
    }
}

}  // namespace

std::string ProxyDecision::Describe() const {
    const std::string proxy = "proxy " + qln::WideToUtf8(server);
    switch (source) {
        case Source::Bypass: return "bypass";
        case Source::Machine: return proxy + " (machine)";
        case Source::User: return proxy + " (user)";
        case Source::AutoConfig: return proxy + " (auto-config " + qln::WideToUtf8(autoConfigUrl) + ")";
        case Source::Detected: return proxy + " (detected auto-config " + qln::WideToUtf8(autoConfigUrl) + ")";
        case Source::Direct: break;
    }
    return "direct";
}

ProxyDecision KMHttpProxy::Decide(const ProxyTarget& target, const wchar_t* agent, DWORD timeoutMs) {
    const std::wstring key = (target.secure ? L"https://" : L"http://") + qln::ToLowerAscii(target.host) + L":" +
                             std::to_wstring(target.port);
    if (t_decisions) {
        if (const auto known = t_decisions->find(key); known != t_decisions->end()) return known->second;
    }
    ProxyDecision decision = MakeDecision(target, agent, timeoutMs);
    KM_LOG_INFO("HTTP proxy for {}: {}", qln::WideToUtf8(target.host), decision.Describe());
    if (t_decisions) t_decisions->emplace(key, decision);
    return decision;
}

HINTERNET KMHttpProxy::OpenSession(const wchar_t* agent, const ProxyDecision& decision) noexcept {
    // The bypass list has been applied by the decision already.
    if (!decision.UsesProxy()) {
        return ::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    return ::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, decision.server.c_str(), WINHTTP_NO_PROXY_BYPASS, 0);
}

bool KMHttpProxy::RetryWithSignIn(HINTERNET request, const ProxyDecision& decision, bool& signInTried,
                                  const char* what) noexcept {
    if (!decision.UsesProxy()) return false;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
        status != HTTP_STATUS_PROXY_AUTH_REQ) {
        return false;
    }
    const std::string server = qln::WideToUtf8(decision.server);
    if (decision.source == ProxyDecision::Source::Detected) {
        KM_LOG_WARN("{} - proxy {} found by automatic detection asks for sign-in (407); the logged-on user's "
                    "credentials go only to a proxy that the machine or user settings name",
                    what, server);
        return false;
    }
    if (signInTried) {
        KM_LOG_ERROR("{} - proxy {} refused the sign-in with the logged-on user's credentials (407)", what, server);
        return false;
    }
    signInTried = true;

    DWORD supported = 0, preferred = 0, target = 0;
    const DWORD scheme =
        ::WinHttpQueryAuthSchemes(request, &supported, &preferred, &target) ? ChooseSignInScheme(supported) : 0;
    // No user name and password: the logged-on user's own credentials.
    if (scheme != 0 &&
        !::WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr)) {
        KM_LOG_WARN("{} - WinHttpSetCredentials failed, error: {}", what, ::GetLastError());
    }
    KM_LOG_INFO("{} - proxy {} asks for sign-in (407), retrying once with the logged-on user's credentials ({})", what,
                server, SchemeName(scheme));
    return true;
}

std::wstring KMHttpProxy::ProxyForScheme(std::wstring_view list, bool secure) {
    const std::wstring_view scheme = secure ? L"https" : L"http";
    std::wstring general;
    std::wstring specific;
    ForEachEntry(list, kListSeparators, [&](std::wstring_view entry) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring_view::npos) {
            if (general.empty()) general = NormalizeServer(entry);
        } else if (qln::EqualsNoCase(entry.substr(0, equals), scheme)) {
            specific = NormalizeServer(entry.substr(equals + 1));
            return !specific.empty();
        }
        return false;
    });
    return specific.empty() ? general : specific;
}

bool KMHttpProxy::BypassListMatches(std::wstring_view list, std::wstring_view host, INTERNET_PORT port) {
    const std::wstring name = qln::ToLowerAscii(host);
    const std::wstring nameWithPort = name + L":" + std::to_wstring(port);
    bool matched = false;
    ForEachEntry(list, kBypassSeparators, [&](std::wstring_view entry) {
        const std::wstring pattern = qln::ToLowerAscii(WithoutScheme(entry));
        matched = pattern == L"<local>" ? name.find(L'.') == std::wstring::npos && name.find(L':') == std::wstring::npos
                                        : WildcardMatches(pattern, name) || WildcardMatches(pattern, nameWithPort);
        return matched;
    });
    return matched;
}

DWORD KMHttpProxy::ChooseSignInScheme(DWORD supportedSchemes) noexcept {
    if (supportedSchemes & WINHTTP_AUTH_SCHEME_NEGOTIATE) return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    if (supportedSchemes & WINHTTP_AUTH_SCHEME_NTLM) return WINHTTP_AUTH_SCHEME_NTLM;
    return 0;
}

KMProxyScope::KMProxyScope() {
    if (t_decisions == nullptr) {
        m_decisions = std::make_unique<std::map<std::wstring, ProxyDecision>>();
        t_decisions = m_decisions.get();
    }
}

KMProxyScope::~KMProxyScope() {
    if (m_decisions) t_decisions = nullptr;
}

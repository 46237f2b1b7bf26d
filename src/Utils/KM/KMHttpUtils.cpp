#include "Utils/KM/KMHttpUtils.h"

#include "Utils/KM/KMHttpProxy.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

constexpr wchar_t kAgentName[] = L"VIRAR/1.0";
constexpr wchar_t kUserAgentValue[] = L"DIVID";
constexpr wchar_t kFormBoundary[] = L"VIRAR";
constexpr DWORD kHostBufferChars = 256;
constexpr DWORD kPathBufferChars = 2048;
constexpr DWORD kDownloadBlockBytes = 64 * 1024;
constexpr size_t kErrorBodyLogBytes = 4096;
constexpr int kDownloadFixedTimeoutMs = 60000;

struct UrlParts {
    std::wstring host;
    std::wstring pathAndQuery;
    INTERNET_PORT port = 0;
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTPS;
};

// Splits url into host, port and path-with-query using fixed buffers; a host
// or path that does not fit fails the split (ERROR_INSUFFICIENT_BUFFER)
// rather than being cut. Returns 0 or the system error code.
DWORD CrackUrl(const std::wstring& url, UrlParts& out) {
    if (url.empty() || url.size() > static_cast<size_t>(MAXDWORD)) return ERROR_INVALID_PARAMETER;
    wchar_t host[kHostBufferChars] = {};
    wchar_t path[kPathBufferChars] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostBufferChars;
    // Without an extra-info buffer the query stays part of the path.
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathBufferChars;
    if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        const DWORD error = ::GetLastError();
        return error != 0 ? error : ERROR_INVALID_PARAMETER;
    }
    // The lengths come back without the terminator; anything that filled the
    // buffer to the last character could not have been terminated.
    if (parts.dwHostNameLength >= kHostBufferChars || parts.dwUrlPathLength >= kPathBufferChars) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    out.host.assign(host, parts.dwHostNameLength);
    out.pathAndQuery.assign(path, parts.dwUrlPathLength);
    out.port = parts.nPort;
    out.scheme = parts.nScheme;
    return 0;
}

const wchar_t* VerbOf(HttpMethod method) noexcept {
    switch (method) {
        case HttpMethod::Post: return L"POST";
        case HttpMethod::Put: return L"PUT";
        case HttpMethod::Delete: return L"DELETE";
        case HttpMethod::Get: break;
    }
    return L"GET";
}

std::wstring BytesToWide(const std::string& bytes) {
    return qln::IsValidUtf8(bytes) ? qln::Utf8ToWide(bytes) : qln::AnsiToWide(bytes);
}

// A line break or NUL inside a configured header would let the configuration
// smuggle further header lines (or cut the header block) into every request.
bool IsSafeHeaderText(const std::string& text) noexcept {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// Set once at start by the program (the configuration lies a floor above).
std::atomic<KMHttpUtils::ExtraHeadersSource> s_extraHeadersSource{nullptr};

std::string ReadExtraHeadersSetting() {
    const auto source = s_extraHeadersSource.load();
    if (!source) return {};
    try {
        return source();
    } catch (const std::exception& e) {
        KM_LOG_ERROR("Failed to read extra_http_headers from config: {}", std::string(e.what()));
        return {};
    }
}

// Appends one "Name: value" line per string member of the configured JSON
// object. A malformed value never stops the request.
void AppendExtraHeaders(std::wstring& headers) {
    const std::string setting = ReadExtraHeadersSetting();
    if (setting.empty()) return;

    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(setting);
    } catch (const nlohmann::json::exception& e) {
        KM_LOG_ERROR("Failed to parse extra_http_headers as JSON: {}", std::string(e.what()));
        return;
    }
    if (!parsed.is_object()) return;

    int added = 0;
    for (const auto& [name, value] : parsed.items()) {
        if (!value.is_string()) continue;
        const std::string& text = value.get_ref<const std::string&>();
        if (name.empty() || !IsSafeHeaderText(name) || !IsSafeHeaderText(text)) {
            KM_LOG_WARN("Skipped extra HTTP header with an empty name or a line break: {}", name);
            continue;
        }
        headers += BytesToWide(name);
        headers += L": ";
        headers += BytesToWide(text);
        headers += L"\r\n";
        KM_LOG_DEBUG("Added extra HTTP header: {}: {}", name, text);
        ++added;
    }
    KM_LOG_DEBUG("Added {} extra HTTP header(s) from config", added);
}

// The JSON error body's "message" (with "\ntrace: " and "trace" when both are
// strings), or "HTTP <code> error".
std::string BuildErrorText(int32_t status, const std::string& body) {
    std::string text;
    try {
        const auto parsed = nlohmann::json::parse(body);
        if (parsed.is_object()) {
            const auto message = parsed.find("message");
            if (message != parsed.end() && message->is_string()) text = message->get<std::string>();
            const auto trace = parsed.find("trace");
            if (trace != parsed.end() && trace->is_string() && !text.empty()) {
                text += "\ntrace: ";
                text += trace->get<std::string>();
            }
        }
    } catch (const nlohmann::json::exception&) {
        KM_LOG_WARN("failed to parse error body as JSON, body: {}", qln::ServerBytesForLog(body));
    }
    if (text.empty()) text = "HTTP " + std::to_string(status) + " error";
    return text;
}

// WinHTTP widens the raw header bytes one to one; the low byte of each code
// unit is the byte the server sent.
std::string LowBytes(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) out.push_back(static_cast<char>(c & 0xFF));
    return out;
}

// The raw CR LF separated response headers, or empty when there are none or
// the query fails.
std::wstring QueryRawHeaders(HINTERNET request) {
    DWORD size = 0;
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                          WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (size == 0) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, text.data(),
                               &bytes, WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    text.resize(std::min<size_t>(bytes / sizeof(wchar_t), text.size()));
    const auto nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}

void CollectHeaders(HINTERNET request, std::map<std::string, std::string>& headers) {
    const std::wstring raw = QueryRawHeaders(request);
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find(L"\r\n", start);
        if (end == std::wstring::npos) end = raw.size();
        const std::wstring_view line(raw.data() + start, end - start);
        start = end + 2;
        const size_t colon = line.find(L':');
        if (line.empty() || colon == std::wstring_view::npos) continue;
        std::wstring_view value = line.substr(colon + 1);
        const size_t first = value.find_first_not_of(L" \t");
        value = first == std::wstring_view::npos ? std::wstring_view() : value.substr(first);
        headers[qln::ToLowerAscii(LowBytes(line.substr(0, colon)))] = LowBytes(value);
    }
}

// The four time-outs in milliseconds. The receive time-out also bounds the
// wait for the response headers: some WinHTTP implementations apply it only
// to body reads and would otherwise wait without end for a silent server.
bool SetTimeouts(HINTERNET request, int resolveMs, int connectMs, int sendMs, int receiveMs) noexcept {
    if (!::WinHttpSetTimeouts(request, resolveMs, connectMs, sendMs, receiveMs)) return false;
    DWORD responseMs = static_cast<DWORD>(receiveMs);
    return ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof(responseMs)) !=
           FALSE;
}

// The announced body length, or none when the answer has no usable
// Content-Length (chunked or close-delimited bodies).
std::optional<uint64_t> QueryContentLength(HINTERNET request) {
    // With any Transfer-Encoding the transfer coding delimits the body and a
    // Content-Length beside it means nothing (some servers and proxies send
    // both); comparing against it would fail every complete download.
    DWORD encodingSize = 0;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                               WINHTTP_NO_OUTPUT_BUFFER, &encodingSize, WINHTTP_NO_HEADER_INDEX) &&
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return std::nullopt;
    }
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    uint64_t value = 0;
    bool digits = false;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p == L' ' || *p == L'\t') continue;
        if (*p < L'0' || *p > L'9' || value > (UINT64_MAX - 9) / 10) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(*p - L'0');
        digits = true;
    }
    return digits ? std::optional<uint64_t>(value) : std::nullopt;
}

// Zero-filled buffer of count + 1 bytes, or null when memory is short. Where
// size_t is 32 bits wide, count + 1 could wrap to an empty buffer that the
// following read of count bytes would overrun.
std::unique_ptr<char[]> AllocateBlock(DWORD count) noexcept {
    if constexpr (sizeof(size_t) <= sizeof(DWORD)) {
        if (count == MAXDWORD) return nullptr;
    }
    return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(count) + 1]());
}

// A request that went through a proxy and got no answer names the proxy: it
// may be the proxy, not the server, that cannot be reached.
void LogProxyOfFailure(const char* what, const ProxyDecision& proxy) {
    if (proxy.UsesProxy()) KM_LOG_ERROR("{} - the request went through {}", what, proxy.Describe());
}

}  // namespace

void KMHttpUtils::SetExtraHeadersSource(ExtraHeadersSource source) noexcept {
    s_extraHeadersSource.store(source);
}

namespace {

enum class BodyEnd { Whole, Failed, OverLimit };

// Reads the rest of the body into body, but no further than limit bytes in
// all (0: no limit). What was read before a failure stays in body.
BodyEnd ReadRestOfBody(HINTERNET request, std::string& body, size_t limit) noexcept {
    DWORD available = 0;
    try {
        if (!::WinHttpQueryDataAvailable(request, &available)) {
            KM_LOG_ERROR("GetStdResponse - WinHttpQueryDataAvailable failed, error: {}", ::GetLastError());
            return BodyEnd::Failed;
        }
        while (available > 0) {
            // What is available has arrived: more of it than still fits proves
            // the body too long, and only what fits is read.
            const size_t room = limit == 0 ? SIZE_MAX : limit - body.size();
            const bool over = available > room;
            const DWORD want = over ? static_cast<DWORD>(room) : available;
            auto block = AllocateBlock(want);
            if (!block) {
                KM_LOG_ERROR("GetStdResponse - Memory allocation failed for {} bytes", want);
                return BodyEnd::Failed;
            }
            DWORD read = 0;
            if (want > 0 && !::WinHttpReadData(request, block.get(), want, &read)) {
                KM_LOG_ERROR("GetStdResponse - WinHttpReadData failed, error: {}", ::GetLastError());
                return BodyEnd::Failed;
            }
            body.append(block.get(), read);
            if (over) return BodyEnd::OverLimit;
            if (!::WinHttpQueryDataAvailable(request, &available)) {
                KM_LOG_ERROR("GetStdResponse - WinHttpQueryDataAvailable failed, error: {}", ::GetLastError());
                return BodyEnd::Failed;
            }
        }
    } catch (const std::bad_alloc&) {
        // Growing the body failed; what was read before stays.
        KM_LOG_ERROR("GetStdResponse - Memory allocation failed for {} bytes", available);
        return BodyEnd::Failed;
    }
    return BodyEnd::Whole;
}

// Hands the rest of the body to onChunk block by block, no further than limit
// bytes in all (0: no limit); received counts what was handed over.
BodyEnd StreamBody(HINTERNET request, const std::function<void(const std::string&)>& onChunk, size_t limit,
                   uint64_t& received) {
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request, &available)) {
            KM_LOG_ERROR("SendRequest (Stream) - WinHttpQueryDataAvailable failed, error: {}", ::GetLastError());
            return BodyEnd::Failed;
        }
        if (available == 0) return BodyEnd::Whole;
        if (limit != 0 && available > limit - received) return BodyEnd::OverLimit;
        auto block = AllocateBlock(available);
        if (!block) {
            KM_LOG_ERROR("SendRequest (Stream) - Memory allocation failed");
            return BodyEnd::Failed;
        }
        DWORD read = 0;
        if (!::WinHttpReadData(request, block.get(), available, &read)) {
            KM_LOG_ERROR("SendRequest (Stream) - WinHttpReadData failed, error: {}", ::GetLastError());
            return BodyEnd::Failed;
        }
        if (read > 0) {
            const std::string chunk(block.get(), read);
            KM_LOG_DEBUG("SendRequest (Stream) - Chunk: {}", qln::ServerBytesForLog(chunk));
            onChunk(chunk);
            received += read;
        }
    }
}

// Whether a body of received bytes is all the server announced. A connection
// that ends early in an orderly way looks like the end of the body to
// WinHTTP; only the announced length tells a cut-off body apart.
bool MatchesAnnouncedLength(HINTERNET request, uint64_t received, const char* what) {
    const std::optional<uint64_t> expected = QueryContentLength(request);
    if (expected && *expected != received) {
        KM_LOG_ERROR("{} - incomplete body: {} of {} bytes received", what, received, *expected);
        return false;
    }
    return true;
}

}  // namespace

std::string KMHttpUtils::GetStdResponse(HINTERNET request, size_t maxBytes) noexcept {
    if (request == nullptr) {
        KM_LOG_ERROR("GetStdResponse - Invalid request handle");
        return {};
    }
    std::string body;
    (void)ReadRestOfBody(request, body, maxBytes);
    KM_LOG_TRACE("{}", qln::ServerBytesForLog(body));
    return body;
}

HttpResponse KMHttpUtils::SendRequestEx(const HttpRequest& request) {
    const bool stream = static_cast<bool>(request.onChunk);
    const std::string streamWord = stream ? " (Stream)" : "";
    const wchar_t* verb = VerbOf(request.method);
    const std::string verbText = qln::WideToUtf8(verb);

    KM_LOG_INFO("SendRequest{} - Method: {}, URL: {}", streamWord, verbText, qln::WideToUtf8(request.url));
    if (!request.formBody.empty()) {
        KM_LOG_DEBUG("SendRequest - FormBody: {}", request.formBody);
    } else if (!request.jsonBody.empty()) {
        KM_LOG_DEBUG("SendRequest - JsonBody: {}", request.jsonBody);
    }

    HttpResponse response;
    if (!KMSystemLibrary::Require(L"winhttp.dll")) return response;

    UrlParts url;
    if (const DWORD error = CrackUrl(request.url, url); error != 0) {
        KM_LOG_ERROR("SendRequest{} - WinHttpCrackUrl failed, error: {}", streamWord, error);
        return response;
    }

    const ProxyDecision proxy = KMHttpProxy::Decide({request.url, url.host, url.port, true}, kAgentName,
                                                    static_cast<DWORD>(std::max(request.connectTimeoutMs, 0)));
    // Declared root first so that they close request, connection, root.
    qln::UniqueInternet session(KMHttpProxy::OpenSession(kAgentName, proxy));
    if (!session) {
        KM_LOG_ERROR("SendRequest{} - WinHttpOpen failed, error: {}", streamWord, ::GetLastError());
        return response;
    }
    qln::UniqueInternet connection(::WinHttpConnect(session.get(), url.host.c_str(), url.port, 0));
    if (!connection) {
        KM_LOG_ERROR("SendRequest{} - WinHttpConnect failed, error: {}", streamWord, ::GetLastError());
        return response;
    }
    // TLS whatever the scheme says: credentials and tokens never travel in clear.
    qln::UniqueInternet handle(::WinHttpOpenRequest(connection.get(), verb, url.pathAndQuery.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    WINHTTP_FLAG_SECURE));
    if (!handle) {
        KM_LOG_ERROR("SendRequest{} - WinHttpOpenRequest failed, error: {}", streamWord, ::GetLastError());
        return response;
    }

    if (!SetTimeouts(handle.get(), request.resolveTimeoutMs, request.connectTimeoutMs, request.sendTimeoutMs,
                     request.receiveTimeoutMs)) {
        KM_LOG_WARN("SendRequest{} - WinHttpSetTimeouts failed, error: {}", streamWord, ::GetLastError());
    }

    std::wstring headers = fmt::format(L"User-Agent: {}\r\n", kUserAgentValue);
    AppendExtraHeaders(headers);
    if (!request.basicAuth.empty()) headers += fmt::format(L"Authorization: Basic {}\r\n", request.basicAuth);
    if (!request.privateToken.empty()) headers += fmt::format(L"PRIVATE-TOKEN: {}\r\n", request.privateToken);
    const std::string* body = nullptr;
    if (!request.formBody.empty()) {
        headers += fmt::format(L"Content-Type: multipart/form-data; charset=UTF-8; boundary={}\r\n", kFormBoundary);
        body = &request.formBody;
    } else if (!request.jsonBody.empty()) {
        headers += L"Content-Type: application/json; charset=UTF-8\r\n";
        body = &request.jsonBody;
    }
    const DWORD bodyLength = body ? static_cast<DWORD>(std::min<size_t>(body->size(), MAXDWORD)) : 0;
    void* bodyData = body ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA;

    bool signInTried = false;
    do {
        if (!::WinHttpSendRequest(handle.get(), headers.c_str(), static_cast<DWORD>(headers.size()), bodyData,
                                  bodyLength, bodyLength, 0) ||
            !::WinHttpReceiveResponse(handle.get(), nullptr)) {
            KM_LOG_ERROR("SendRequest{} - {} request failed, error: {}", streamWord, verbText, ::GetLastError());
            LogProxyOfFailure(("SendRequest" + streamWord).c_str(), proxy);
            return response;
        }
    } while (KMHttpProxy::RetryWithSignIn(handle.get(), proxy, signInTried, ("SendRequest" + streamWord).c_str()));

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (::WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        response.statusCode = static_cast<int32_t>(status);
        if (status < 200 || status > 299) {
            const std::string errorBody = GetStdResponse(handle.get(), request.maxBodyBytes);
            KM_LOG_ERROR("SendRequest{} - HTTP {} error, body: {}", streamWord, status,
                         qln::ServerBytesForLog(errorBody));
            handle.reset();
            connection.reset();
            session.reset();
            throw std::runtime_error(BuildErrorText(response.statusCode, errorBody));
        }
    }

    if (request.collectHeaders) CollectHeaders(handle.get(), response.headers);

    // A body announced as too long is refused before any of it is read.
    const size_t limit = request.maxBodyBytes;
    const std::optional<uint64_t> announced = QueryContentLength(handle.get());
    BodyEnd end = BodyEnd::OverLimit;
    uint64_t received = 0;
    if (limit == 0 || !announced || *announced <= limit) {
        if (stream) {
            end = StreamBody(handle.get(), request.onChunk, limit, received);
        } else {
            end = ReadRestOfBody(handle.get(), response.body, limit);
            received = response.body.size();
            KM_LOG_TRACE("{}", qln::ServerBytesForLog(response.body));
        }
    }
    if (end == BodyEnd::OverLimit) {
        KM_LOG_WARN("SendRequest{} - response body of {} bytes is over the limit of {} bytes, refused", streamWord,
                    announced ? std::to_string(*announced) : "more than " + std::to_string(limit), limit);
        std::string().swap(response.body);
        response.overLimit = true;
    } else {
        response.complete = end == BodyEnd::Whole &&
                            MatchesAnnouncedLength(handle.get(), received, ("SendRequest" + streamWord).c_str());
    }
    KM_LOG_DEBUG("SendRequest{} - Response: {}", streamWord, qln::ServerBytesForLog(response.body));
    return response;
}

bool KMHttpUtils::DownloadToFile(const std::wstring& url, const std::wstring& destination,
                                 const DownloadOptions& options) {
    // Every attempt goes the way the first one was sent.
    KMProxyScope proxyScope;
    for (int32_t attempt = 1; attempt <= options.maxAttempts; ++attempt) {
        if (attempt > 1) {
            KM_LOG_INFO("DownloadToFile retry attempt {}/{} after {} ms delay", attempt, options.maxAttempts,
                        options.retryDelayMs);
            ::Sleep(options.retryDelayMs);
        }
        bool done = false;
        try {
            done = DownloadToFileInternal(url, destination, options.receiveTimeoutMs);
        } catch (const std::exception& e) {
            // Memory ran out during the attempt. Its handles are closed by
            // now, so it fails like any other: the partial file goes below and
            // the remaining attempts still run.
            KM_LOG_ERROR("DownloadToFile - attempt failed: {}", e.what());
        }
        if (done) {
            KM_LOG_INFO("DownloadToFile completed: {}", qln::WideToUtf8(destination));
            return true;
        }
        // Whatever is there now is not the body of a successful attempt.
        if (!::DeleteFileW(destination.c_str())) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                KM_LOG_ERROR("DownloadToFile - Failed to delete {}, error: {}", qln::WideToUtf8(destination), error);
            }
        }
    }
    KM_LOG_ERROR("DownloadToFile failed after {} attempts, url: {}", options.maxAttempts, qln::WideToUtf8(url));
    return false;
}

bool KMHttpUtils::DownloadToFileInternal(const std::wstring& url, const std::wstring& destination,
                                         uint32_t receiveTimeoutMs) {
    const std::string urlText = qln::WideToUtf8(url);
    if (!KMSystemLibrary::Require(L"winhttp.dll")) return false;

    UrlParts parts;
    if (const DWORD error = CrackUrl(url, parts); error != 0) {
        KM_LOG_ERROR("DownloadToFile - WinHttpCrackUrl failed, error: {}", error);
        return false;
    }

    const bool secure = parts.scheme == INTERNET_SCHEME_HTTPS || parts.port == INTERNET_DEFAULT_HTTPS_PORT;
    const ProxyDecision proxy = KMHttpProxy::Decide({url, parts.host, parts.port, secure}, kAgentName,
                                                    static_cast<DWORD>(kDownloadFixedTimeoutMs));
    // Declaration order gives the clean-up order: file, request, connection, root.
    qln::UniqueInternet session(KMHttpProxy::OpenSession(kAgentName, proxy));
    if (!session) {
        KM_LOG_ERROR("DownloadToFile - WinHttpOpen failed, error: {}", ::GetLastError());
        return false;
    }
    qln::UniqueInternet connection(::WinHttpConnect(session.get(), parts.host.c_str(), parts.port, 0));
    if (!connection) {
        KM_LOG_ERROR("DownloadToFile - WinHttpConnect failed, error: {}", ::GetLastError());
        return false;
    }
    qln::UniqueInternet request(::WinHttpOpenRequest(connection.get(), L"GET", parts.pathAndQuery.c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        KM_LOG_ERROR("DownloadToFile - WinHttpOpenRequest failed, error: {}", ::GetLastError());
        return false;
    }
    qln::UniqueFileHandle file;

    const int receiveTimeout = static_cast<int>(std::min<uint32_t>(receiveTimeoutMs, INT_MAX));
    if (!SetTimeouts(request.get(), kDownloadFixedTimeoutMs, kDownloadFixedTimeoutMs, kDownloadFixedTimeoutMs,
                     receiveTimeout)) {
        KM_LOG_WARN("DownloadToFile - WinHttpSetTimeouts failed, error: {}", ::GetLastError());
    }

    bool signInTried = false;
    do {
        if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            KM_LOG_ERROR("DownloadToFile - WinHttpSendRequest failed, error: {}", ::GetLastError());
            LogProxyOfFailure("DownloadToFile", proxy);
            return false;
        }
        if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
            KM_LOG_ERROR("DownloadToFile - WinHttpReceiveResponse failed, error: {}", ::GetLastError());
            LogProxyOfFailure("DownloadToFile", proxy);
            return false;
        }
    } while (KMHttpProxy::RetryWithSignIn(request.get(), proxy, signInTried, "DownloadToFile"));

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
    }
    if (status < 200 || status > 299) {
        KM_LOG_ERROR("DownloadToFile - HTTP error status code: {}, url: {}", status, urlText);

        // What this attempt was sent through, as decided and handed to
        // WinHttpOpen: not every WinHTTP answers a query of a request's proxy.
        // The bypass list has been applied by the decision already.
        KM_LOG_ERROR("DownloadToFile - proxy diag: accessType={}, proxy=[{}], bypass=[{}]",
                     proxy.UsesProxy() ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                     proxy.UsesProxy() ? qln::WideToUtf8(proxy.server) : std::string("(direct/none)"), "(none)");
        KM_LOG_ERROR("DownloadToFile - proxy decision: {}", proxy.Describe());

        const std::wstring rawHeaders = QueryRawHeaders(request.get());
        if (!rawHeaders.empty()) {
            KM_LOG_ERROR("DownloadToFile - response headers:\n{}", qln::WideToUtf8(rawHeaders));
        }

        // Only the start of the body: enough to recognise an error page.
        std::string shown;
        char block[kErrorBodyLogBytes];
        while (shown.size() < kErrorBodyLogBytes) {
            DWORD available = 0;
            if (!::WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
            const DWORD want = std::min<DWORD>(available, static_cast<DWORD>(kErrorBodyLogBytes - shown.size()));
            DWORD read = 0;
            if (!::WinHttpReadData(request.get(), block, want, &read) || read == 0) break;
            shown.append(block, read);
        }
        KM_LOG_ERROR("DownloadToFile - response body ({} bytes shown): {}", shown.size(),
                     qln::WideToUtf8(qln::AnsiToWide(shown)));
        return false;
    }

    file.reset(::CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        KM_LOG_ERROR("DownloadToFile - Failed to create local file: {}, error: {}", qln::WideToUtf8(destination),
                     error);
        return false;
    }

    uint64_t received = 0;

    // One fixed block: the body goes to disk as it arrives, never whole into
    // memory. Whole blocks are asked for rather than what WinHTTP holds
    // decoded at the moment (one TLS record, 16 KiB): a quarter of the calls,
    // which under Wine is half as much throughput again. A read of 0 bytes is
    // the end of the body.
    std::vector<char> block(kDownloadBlockBytes);
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), block.data(), kDownloadBlockBytes, &read)) {
            KM_LOG_ERROR("DownloadToFile - WinHttpReadData failed, error: {}", ::GetLastError());
            return false;
        }
        if (read == 0) return MatchesAnnouncedLength(request.get(), received, "DownloadToFile");
        DWORD written = 0;
        if (!::WriteFile(file.get(), block.data(), read, &written, nullptr) || written != read) {
            const DWORD error = ::GetLastError();
            KM_LOG_ERROR("DownloadToFile - WriteFile failed, error: {}",
                         written != read && error == 0 ? DWORD{ERROR_WRITE_FAULT} : error);
            return false;
        }
        received += read;
    }
}

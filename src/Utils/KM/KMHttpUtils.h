#pragma once
// HTTP client over WinHTTP: single requests with headers and bodies, and
// downloads of a URL into a file with retries. Stateless: every call opens and
// closes its own WinHTTP handles, so any thread may call at any time; each
// call blocks its thread until the transfer ends or a time-out fires.

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

// Any other value is sent as GET.
enum class HttpMethod : int32_t {
    Get = 0,
    Post = 1,
    Put = 2,
    Delete = 3,
};

struct HttpRequest {
    std::wstring url;                   // scheme, host, optional port, path and query
    HttpMethod method = HttpMethod::Get;
    std::wstring basicAuth;             // already encoded; sent after "Basic "
    std::wstring privateToken;          // value of a PRIVATE-TOKEN header
    std::string formBody;               // complete multipart body, boundary "VIRAR"; wins over jsonBody
    std::string jsonBody;               // UTF-8 JSON body
    int32_t resolveTimeoutMs = 60000;
    int32_t connectTimeoutMs = 60000;
    int32_t sendTimeoutMs = 60000;
    int32_t receiveTimeoutMs = 60000;
    // When set, each received block of the body goes here and the response
    // body stays empty.
    std::function<void(const std::string&)> onChunk;
    bool collectHeaders = false;
    // When not 0, the most body bytes the caller takes. A longer body is
    // refused as soon as it shows (by its announced length, else once that
    // many bytes have arrived): reading stops, the body is not kept and
    // overLimit is set. Blocks within the limit may have gone to onChunk. An
    // error body is read only as far as the limit, for its message.
    size_t maxBodyBytes = 0;
};

struct HttpResponse {
    std::string body;                           // empty in stream mode and after every failure
    std::map<std::string, std::string> headers;  // lower-case names; only with collectHeaders
    int32_t statusCode = 0;                     // 0 when no status arrived
    // True when the body arrived whole: every read succeeded and, where the
    // server announced a Content-Length, that many bytes came. A failed or
    // cut-off read leaves what arrived in body (or handed to onChunk) and
    // this false, so that a caller need not act on half an answer.
    bool complete = false;
    // The body passed the request's maxBodyBytes and was refused (logged
    // with its size); body is empty and complete false.
    bool overLimit = false;
};

struct DownloadOptions {
    uint32_t receiveTimeoutMs = 300000;
    int32_t maxAttempts = 3;        // 0 or less: no attempt at all
    uint32_t retryDelayMs = 3000;   // the same pause before every retry
};

class KMHttpUtils {
public:
    // Where every request's extra header lines come from: the JSON object text
    // of the configuration's "ExtraHttpHeaders" (empty: none). The program
    // names it once at start, before any request; without it none are sent.
    using ExtraHeadersSource = std::string (*)();
    static void SetExtraHeadersSource(ExtraHeadersSource source) noexcept;

    // One request. Always over TLS, whatever the URL's scheme, on the URL's
    // port. Throws std::runtime_error when the server answers with a status
    // outside 200..299 (text from the JSON error body's "message" and
    // "trace", or "HTTP <code> error"); every other failure returns an empty
    // response with status 0.
    static HttpResponse SendRequestEx(const HttpRequest& request);

    // The whole body of a request whose response has been received, or its
    // first maxBytes bytes when that is not 0 (the rest stays unread). Never
    // throws; returns what was read so far when a read fails.
    static std::string GetStdResponse(HINTERNET request, size_t maxBytes = 0) noexcept;

    // GET of url into destination, up to maxAttempts attempts with a fixed
    // pause between them. True when the file holds the complete body. After
    // every failed attempt the destination is deleted, even a file that the
    // attempt did not create; with maxAttempts <= 0 nothing is sent and an
    // existing file stays. An attempt that runs out of memory counts as failed.
    static bool DownloadToFile(const std::wstring& url, const std::wstring& destination,
                               const DownloadOptions& options);

private:
    // One attempt; the body is streamed to disk in blocks of at most 64 KiB.
    static bool DownloadToFileInternal(const std::wstring& url, const std::wstring& destination,
                                       uint32_t receiveTimeoutMs);
};

#pragma once
// Access to the scripted HTTP(S) test server (tests/server/test_server.py),
// which the harness starts and announces through environment variables.
// Requests sent to a path starting with "/r/<key>" are recorded by the server
// and can be read back with FetchRecorded, independently of the client under
// test (the record is fetched over plain HTTP with WinHTTP directly).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qlntest {

// A port announced by the harness ("QLN_TEST_HTTPS_PORT", ...); 0 when the
// variable is missing or malformed.
int ServerPort(const wchar_t* variable);

struct RecordedRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string path;
    std::string query;
    std::vector<std::string> headerLines;  // raw "Name: value" lines, in order
    std::string body;                      // bytes as received
    std::string listener;                  // "https", "http" or "badca"
    bool tls = false;
};

// What the server recorded under key; ADD_FAILURE and empty when the record
// cannot be fetched.
std::vector<RecordedRequest> FetchRecorded(const std::string& key);

// A key that no other test of this run uses.
std::string UniqueKey();

// Percent-encoding for query values.
std::string UrlEncode(std::string_view text);

// The server's generated body: byte i is (i*31 + i/256) mod 256.
std::string PatternBytes(size_t count);

std::wstring Widen(std::string_view ascii);

}  // namespace qlntest

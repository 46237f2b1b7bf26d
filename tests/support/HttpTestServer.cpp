#include "support/HttpTestServer.h"

#include "support/TestSupport.h"

#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>
#include <winhttp.h>

namespace qlntest {

int ServerPort(const wchar_t* variable) {
    const std::wstring text = Env(variable);
    if (text.empty() || text.size() > 5) return 0;
    int port = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return 0;
        port = port * 10 + (c - L'0');
    }
    return port > 0 && port < 65536 ? port : 0;
}

std::wstring Widen(std::string_view ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::vector<RecordedRequest> FetchRecorded(const std::string& key) {
    const int port = ServerPort(L"QLN_TEST_HTTP_PORT");
    if (port == 0) {
        ADD_FAILURE() << "QLN_TEST_HTTP_PORT is not set: the test server did not start";
        return {};
    }
    // Plain WinHTTP over the plain listener: the record must not depend on the
    // client under test.
    qln::UniqueInternet session(::WinHttpOpen(L"qlntest", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                              WINHTTP_NO_PROXY_BYPASS, 0));
    qln::UniqueInternet connection(
        session ? ::WinHttpConnect(session.get(), L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0) : nullptr);
    const std::wstring path = L"/_record/" + Widen(UrlEncode(key));
    qln::UniqueInternet request(connection ? ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                           : nullptr);
    if (!request || !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                          0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        ADD_FAILURE() << "cannot fetch the record " << key << ", error " << ::GetLastError();
        return {};
    }
    std::string text;
    for (;;) {
        char block[8192];
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), block, sizeof(block), &read) || read == 0) break;
        text.append(block, read);
    }

    std::vector<RecordedRequest> out;
    try {
        const auto json = nlohmann::json::parse(text);
        for (const auto& item : json.at("requests")) {
            RecordedRequest r;
            r.method = item.at("method").get<std::string>();
            r.target = item.at("target").get<std::string>();
            r.path = item.at("path").get<std::string>();
            r.query = item.at("query").get<std::string>();
            r.headerLines = item.at("headers").get<std::vector<std::string>>();
            const auto hex = item.at("bodyHex").get<std::string>();
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                r.body.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
            r.listener = item.at("listener").get<std::string>();
            r.tls = item.at("tls").get<bool>();
            out.push_back(std::move(r));
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << "malformed record for " << key << ": " << e.what() << "\n" << text;
        return {};
    }
    return out;
}

std::string UniqueKey() {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string key = info ? std::string(info->test_suite_name()) + "." + info->name() : "key";
    return key + "." + std::to_string(::GetCurrentProcessId()) + "." + std::to_string(::GetTickCount64()) + "." +
           std::to_string(++counter);
}

std::string UrlEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0F]);
        }
    }
    return out;
}

std::string PatternBytes(size_t count) {
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(((i * 31) + (i >> 8)) & 0xFF);
    return out;
}

}  // namespace qlntest

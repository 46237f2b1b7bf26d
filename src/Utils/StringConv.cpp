#include "Utils/StringConv.h"

#include <windows.h>

#include <climits>

namespace qln {

namespace {

std::wstring MultiByteToWide(UINT codePage, DWORD flags, std::string_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
    const int len = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(codePage, flags, text.data(), len, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(codePage, flags, text.data(), len, out.data(), needed);
    return out;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
    return MultiByteToWide(CP_UTF8, 0, text);
}

std::wstring AnsiToWide(std::string_view text) {
    return MultiByteToWide(CP_ACP, 0, text);
}

bool IsValidUtf8(std::string_view text) noexcept {
    if (text.empty()) return true;
    if (text.size() > static_cast<size_t>(INT_MAX)) return false;
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0) > 0;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
    const int len = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), len, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), len, out.data(), needed, nullptr, nullptr);
    return out;
}

std::wstring ToLowerAscii(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return out;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    if (a.size() > static_cast<size_t>(INT_MAX)) return false;
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool HasQuoteOrControl(std::wstring_view text) noexcept {
    for (const wchar_t c : text) {
        if (c == L'"' || c < 32 || c == 127) return true;
    }
    return false;
}

std::wstring ForLogLine(std::wstring_view text, std::wstring_view also) {
    std::wstring out(text);
    for (auto& c : out) {
        if (c < L' ' || c == 0x7F || c == 0x2028 || c == 0x2029 || also.find(c) != std::wstring_view::npos) c = L'?';
    }
    return out;
}

}  // namespace qln

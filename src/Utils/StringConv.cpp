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

namespace {

// What ends or bends a line in a log viewer, a terminal or an editor.
constexpr bool BreaksLine(char32_t c) noexcept {
    return c < U' ' || c == 0x7F || c == 0x2028 || c == 0x2029;
}

}  // namespace

std::wstring ForLogLine(std::wstring_view text, std::wstring_view also) {
    std::wstring out(text);
    for (auto& c : out) {
        if (BreaksLine(c) || also.find(c) != std::wstring_view::npos) c = L'?';
    }
    return out;
}

std::string ForLogLine(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        // U+2028 and U+2029 are E2 80 A8 and E2 80 A9.
        if (byte == 0xE2 && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
            BreaksLine(0x2000 + (static_cast<unsigned char>(utf8[i + 2]) - 0x80))) {
            out.push_back('?');
            i += 2;
            continue;
        }
        out.push_back(BreaksLine(byte) ? '?' : utf8[i]);
    }
    return out;
}

std::wstring_view CutAtCharBoundary(std::wstring_view text, std::size_t maxUnits) noexcept {
    if (text.size() <= maxUnits) return text;
    // A high surrogate as the last unit kept would lose its partner.
    if (maxUnits > 0 && text[maxUnits - 1] >= 0xD800 && text[maxUnits - 1] <= 0xDBFF) --maxUnits;
    return text.substr(0, maxUnits);
}

std::wstring ServerTextForLog(std::wstring_view text) {
    return ForLogLine(CutAtCharBoundary(text, kServerTextLogUnits));
}

std::string ServerBytesForLog(std::string_view bytes) {
    // Cut back to the start of a UTF-8 sequence, so that a cut one is not
    // taken for the code page.
    std::size_t cut = bytes.size() < kServerTextLogUnits ? bytes.size() : kServerTextLogUnits;
    for (int i = 0; i < 3 && cut > 0 && cut < bytes.size() && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80;
         ++i) {
        --cut;
    }
    const std::string_view start = bytes.substr(0, cut);
    return WideToUtf8(ServerTextForLog(IsValidUtf8(start) ? Utf8ToWide(start) : AnsiToWide(start)));
}

}  // namespace qln

#pragma once
// An immutable wide string whose buffer is shared between copies: copying
// costs a reference count, never an allocation. The registry values of the
// CRegBase family keep their texts in it.
//
// The text is always NUL-terminated, so c_str() can go straight to the
// Win32 API. Thread safety is that of std::shared_ptr: distinct objects that
// share a buffer may be used from different threads.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qln {

class RefWString {
public:
    RefWString() noexcept = default;
    // A null pointer gives the empty string.
    RefWString(const wchar_t* text) : RefWString(text ? std::wstring_view(text) : std::wstring_view()) {}
    RefWString(const wchar_t* text, std::size_t length) : RefWString(std::wstring_view(text, text ? length : 0)) {}
    RefWString(std::wstring_view text) {
        if (!text.empty()) m_text = std::make_shared<const std::wstring>(text);
    }
    RefWString(const std::wstring& text) : RefWString(std::wstring_view(text)) {}
    RefWString(std::wstring&& text) {
        if (!text.empty()) m_text = std::make_shared<const std::wstring>(std::move(text));
    }

    [[nodiscard]] const wchar_t* c_str() const noexcept { return m_text ? m_text->c_str() : L""; }
    [[nodiscard]] std::size_t length() const noexcept { return m_text ? m_text->size() : 0; }
    [[nodiscard]] std::size_t size() const noexcept { return length(); }
    [[nodiscard]] bool empty() const noexcept { return length() == 0; }
    [[nodiscard]] std::wstring_view view() const noexcept { return {c_str(), length()}; }
    [[nodiscard]] std::wstring str() const { return std::wstring(view()); }

    // True when both share one buffer (or both are empty).
    [[nodiscard]] bool SharesBufferWith(const RefWString& other) const noexcept { return m_text == other.m_text; }

    friend bool operator==(const RefWString& a, const RefWString& b) noexcept { return a.view() == b.view(); }

private:
    std::shared_ptr<const std::wstring> m_text;
};

}  // namespace qln

#include "Utils/Registry.h"

#include <cstring>
#include <vector>

#include "Utils/UniqueHandle.h"

namespace {

// Access rights of a read: KEY_QUERY_VALUE | READ_CONTROL.
constexpr REGSAM kReadAccess = KEY_QUERY_VALUE | READ_CONTROL;
constexpr DWORD kNoTimeout = 0xFFFFFFFF;

std::wstring_view TrimLeading(std::wstring_view text, wchar_t c) noexcept {
    while (!text.empty() && text.front() == c) text.remove_prefix(1);
    return text;
}

std::wstring_view TrimTrailing(std::wstring_view text, wchar_t c) noexcept {
    while (!text.empty() && text.back() == c) text.remove_suffix(1);
    return text;
}

struct SplitPath {
    std::wstring_view keyPath;
    std::wstring_view valueName;
};

SplitPath SplitTrimmed(std::wstring_view fullPath) noexcept {
    fullPath = TrimLeading(fullPath, L'\\');
    const auto slash = fullPath.rfind(L'\\');
    if (slash == std::wstring_view::npos) return {{}, fullPath};
    return {TrimTrailing(fullPath.substr(0, slash), L'\\'),
            TrimTrailing(TrimLeading(fullPath.substr(slash), L'\\'), L'\\')};
}

SplitPath SplitPlain(std::wstring_view fullPath) noexcept {
    const auto slash = fullPath.rfind(L'\\');
    if (slash == std::wstring_view::npos) return {{}, fullPath};
    return {fullPath.substr(0, slash), fullPath.substr(slash + 1)};
}

// Reads a fixed-size number. The buffer starts zeroed so that shorter data of
// another type (a one-character text, a two-byte binary) is zero-extended
// rather than mixed with the bytes of whatever the caller passed in.
template <typename N>
LONG QueryNumber(HKEY key, const wchar_t* name, N& out) noexcept {
    unsigned char buffer[sizeof(N)] = {};
    DWORD size = sizeof(N);
    const LONG status = ::RegQueryValueExW(key, name, nullptr, nullptr, buffer, &size);
    if (status == ERROR_SUCCESS) std::memcpy(&out, buffer, sizeof(N));
    return status;
}

LONG QueryText(HKEY key, const wchar_t* name, std::wstring& out) {
    DWORD size = 0;
    LONG status = ::RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    // One wide character per byte of data: twice the room the data needs, so
    // a text stored without its terminating NUL still ends in one.
    std::vector<wchar_t> buffer(static_cast<std::size_t>(size) + 1, L'\0');
    status = ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS) return status;
    out.assign(buffer.data());
    return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// CRegBaseCommon

template <typename S>
CRegBaseCommon<S>::CRegBaseCommon(S keyPath, S valueName)
    : m_valueName(std::move(valueName)), m_keyPath(std::move(keyPath)) {}

template <typename S>
S CRegBaseCommon<S>::ErrorText() const {
    wchar_t* message = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(m_lastStatus), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    qln::UniqueLocalMem owner(message);
    if (length == 0 || message == nullptr) return S();
    return S(std::wstring_view(message, length));
}

template <typename S>
void CRegBaseCommon<S>::DeleteValue() noexcept {
    m_present = false;
    // The cached value no longer describes the registry.
    m_loaded = false;
    qln::UniqueHkey key;
    if (::RegOpenKeyExW(m_baseKey, StringData(m_keyPath), 0, m_extraAccess | KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return;
    ::RegDeleteValueW(key.get(), StringData(m_valueName));
}

// ---------------------------------------------------------------------------
// The two flavours

CRegBase::CRegBase(std::wstring_view fullPath)
    : CRegBaseCommon(qln::RefWString(SplitTrimmed(fullPath).keyPath), qln::RefWString(SplitTrimmed(fullPath).valueName)) {}

const wchar_t* CRegBase::StringData(const qln::RefWString& text) const noexcept { return text.c_str(); }
std::size_t CRegBase::StringLength(const qln::RefWString& text) const noexcept { return text.length(); }

CRegStdBase::CRegStdBase(std::wstring_view fullPath)
    : CRegBaseCommon(std::wstring(SplitPlain(fullPath).keyPath), std::wstring(SplitPlain(fullPath).valueName)) {}

const wchar_t* CRegStdBase::StringData(const std::wstring& text) const noexcept { return text.c_str(); }
std::size_t CRegStdBase::StringLength(const std::wstring& text) const noexcept { return text.size(); }

// ---------------------------------------------------------------------------
// CRegTypedBase

template <typename T, typename Base>
CRegTypedBase<T, Base>::CRegTypedBase(std::wstring_view fullPath, const T& defaultValue)
    : Base(fullPath), m_value(defaultValue), m_defaultValue(defaultValue) {}

template <typename T, typename Base>
T CRegTypedBase<T, Base>::Read() {
    if (this->m_loaded && m_cacheTimeoutMs != kNoTimeout) {
        const ULONGLONG now = ::GetTickCount64();
        if (now < m_lastAccessTicks || now > m_lastAccessTicks + m_cacheTimeoutMs) this->m_loaded = false;
    }
    if (this->m_loaded && !this->m_bypassCache) {
        this->m_lastStatus = ERROR_SUCCESS;
        return m_value;
    }

    m_value = m_defaultValue;
    this->m_present = false;
    qln::UniqueHkey key;
    this->m_lastStatus = ::RegOpenKeyExW(this->m_baseKey, this->StringData(this->m_keyPath), 0,
                                         this->m_extraAccess | kReadAccess, key.put());
    if (this->m_lastStatus == ERROR_SUCCESS) {
        T result = m_defaultValue;
        if (ReadFromKey(key.get(), result) == ERROR_SUCCESS) {
            this->m_present = true;
            m_value = std::move(result);
        }
        this->m_lastStatus = ::RegCloseKey(key.release());
    }
    this->m_loaded = true;
    m_lastAccessTicks = ::GetTickCount64();
    return m_value;
}

template <typename T, typename Base>
void CRegTypedBase<T, Base>::Write(const T& newValue) {
    if (this->m_loaded && newValue == m_value && !this->m_bypassCache) {
        this->m_lastStatus = ERROR_SUCCESS;
        return;
    }
    m_value = newValue;

    qln::UniqueHkey key;
    this->m_lastStatus = ::RegCreateKeyExW(this->m_baseKey, this->StringData(this->m_keyPath), 0, nullptr, 0,
                                           this->m_extraAccess | KEY_WRITE, nullptr, key.put(), nullptr);
    if (this->m_lastStatus != ERROR_SUCCESS) {
        // Keeping the object loaded would make it answer with a value the
        // registry does not hold and swallow a retry of the same write.
        this->m_loaded = false;
        return;
    }
    if (WriteToKey(key.get(), m_value) == ERROR_SUCCESS) {
        this->m_loaded = true;
        this->m_present = true;
    } else {
        this->m_loaded = false;
    }
    this->m_lastStatus = ::RegCloseKey(key.release());
    m_lastAccessTicks = ::GetTickCount64();
}

// ---------------------------------------------------------------------------
// Value types

template <typename Base>
CRegDWORDCommon<Base>::CRegDWORDCommon(std::wstring_view fullPath, DWORD defaultValue)
    : CRegTypedBase<DWORD, Base>(fullPath, defaultValue) {}

template <typename Base>
LONG CRegDWORDCommon<Base>::ReadFromKey(HKEY key, DWORD& out) {
    return QueryNumber(key, this->StringData(this->m_valueName), out);
}

template <typename Base>
LONG CRegDWORDCommon<Base>::WriteToKey(HKEY key, const DWORD& in) {
    this->m_lastStatus = ::RegSetValueExW(key, this->StringData(this->m_valueName), 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&in), sizeof(DWORD));
    return this->m_lastStatus;
}

template <typename Base>
CRegQWORDCommon<Base>::CRegQWORDCommon(std::wstring_view fullPath, std::uint64_t defaultValue)
    : CRegTypedBase<std::uint64_t, Base>(fullPath, defaultValue) {}

template <typename Base>
LONG CRegQWORDCommon<Base>::ReadFromKey(HKEY key, std::uint64_t& out) {
    return QueryNumber(key, this->StringData(this->m_valueName), out);
}

template <typename Base>
LONG CRegQWORDCommon<Base>::WriteToKey(HKEY key, const std::uint64_t& in) {
    this->m_lastStatus = ::RegSetValueExW(key, this->StringData(this->m_valueName), 0, REG_QWORD,
                                          reinterpret_cast<const BYTE*>(&in), sizeof(std::uint64_t));
    return this->m_lastStatus;
}

template <typename Base>
CRegStringCommon<Base>::CRegStringCommon(std::wstring_view fullPath, const StringType& defaultValue)
    : CRegTypedBase<StringType, Base>(fullPath, defaultValue) {}

template <typename Base>
LONG CRegStringCommon<Base>::ReadFromKey(HKEY key, StringType& out) {
    std::wstring text;
    const LONG status = QueryText(key, this->StringData(this->m_valueName), text);
    if (status == ERROR_SUCCESS) out = StringType(std::move(text));
    return status;
}

template <typename Base>
LONG CRegStringCommon<Base>::WriteToKey(HKEY key, const StringType& in) {
    const std::size_t length = this->StringLength(in);
    if (length >= MAXDWORD / sizeof(wchar_t)) {
        this->m_lastStatus = ERROR_INVALID_PARAMETER;
        return this->m_lastStatus;
    }
    this->m_lastStatus = ::RegSetValueExW(key, this->StringData(this->m_valueName), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(this->StringData(in)),
                                          static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
    return this->m_lastStatus;
}

template class CRegBaseCommon<qln::RefWString>;
template class CRegBaseCommon<std::wstring>;
template class CRegTypedBase<DWORD, CRegBase>;
template class CRegTypedBase<std::uint64_t, CRegBase>;
template class CRegTypedBase<qln::RefWString, CRegBase>;
template class CRegTypedBase<DWORD, CRegStdBase>;
template class CRegTypedBase<std::uint64_t, CRegStdBase>;
template class CRegTypedBase<std::wstring, CRegStdBase>;
template class CRegDWORDCommon<CRegBase>;
template class CRegQWORDCommon<CRegBase>;
template class CRegStringCommon<CRegBase>;
template class CRegDWORDCommon<CRegStdBase>;
template class CRegQWORDCommon<CRegStdBase>;
template class CRegStringCommon<CRegStdBase>;

namespace qln {

std::optional<std::wstring> ReadMachineString(const wchar_t* valueName) {
    DWORD size = 0;
    constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kMachineSettingsKey, valueName, kFlags, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kMachineSettingsKey, valueName, kFlags, nullptr, text.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(::wcsnlen(text.c_str(), text.size()));
    return text;
}

std::vector<std::wstring> ReadMachineStrings(const wchar_t* valueName) {
    constexpr DWORD kFlags = RRF_RT_REG_MULTI_SZ | RRF_SUBKEY_WOW6464KEY;
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kMachineSettingsKey, valueName, kFlags, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kMachineSettingsKey, valueName, kFlags, nullptr, data.data(), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::wstring> strings;
    for (size_t start = 0; start < data.size();) {
        const size_t end = data.find(L'\0', start);
        if (end == std::wstring::npos || end == start) break;
        strings.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

bool WriteMachineString(const wchar_t* valueName, const std::wstring& text) {
    UniqueHkey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineSettingsKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace qln

#pragma once
// Typed registry values below HKEY_CURRENT_USER.
//
// An object is built on the spot from the value's full path and its default:
//
//   CRegStdDWORD count(L"Software\\Quillon\\KM\\UpgradeResult\\Count", 0);
//   DWORD n = count.Read();      // the value, or the default when missing
//   count.Write(n + 1);          // creates the key path when needed
//
// The first Read loads the value (or the default) and later Reads answer from
// memory for the object's whole life; a Write of the value the object already
// holds does not touch the registry. Two objects for the same value do not
// see each other's cache.
//
// Registry failures never throw: Read falls back to the default, Write leaves
// the registry unchanged. LastStatus() tells the outcome of the last registry
// call of the operation (for a completed open that is the close of the key);
// IsPresent() and IsLoaded() tell whether the value was found or written.
//
// Two flavours keep their texts in different string types and differ only in
// how a full path is split (see the constructors):
//   CRegBase family:    qln::RefWString (shared, immutable buffer)
//   CRegStdBase family: std::wstring
//
// Objects are plain values confined to the thread that uses them.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "Utils/RefWString.h"

// Key data and status shared by every registry value; S is the string type.
template <typename S>
class CRegBaseCommon {
public:
    using StringType = S;

    virtual const wchar_t* StringData(const S& text) const noexcept = 0;
    virtual std::size_t StringLength(const S& text) const noexcept = 0;
    virtual ~CRegBaseCommon() = default;
    // The system's message text for LastStatus(); empty when it has none.
    virtual S ErrorText() const;

    // Deletes the value from the registry; every failure is ignored and
    // LastStatus() is not changed. Afterwards the object is no longer loaded,
    // so the next Read asks the registry and the next Write writes.
    void DeleteValue() noexcept;

    [[nodiscard]] LONG LastStatus() const noexcept { return m_lastStatus; }
    [[nodiscard]] bool IsPresent() const noexcept { return m_present; }
    [[nodiscard]] bool IsLoaded() const noexcept { return m_loaded; }
    [[nodiscard]] HKEY BaseKey() const noexcept { return m_baseKey; }
    [[nodiscard]] const S& KeyPath() const noexcept { return m_keyPath; }
    [[nodiscard]] const S& ValueName() const noexcept { return m_valueName; }

protected:
    CRegBaseCommon(S keyPath, S valueName);
    CRegBaseCommon(const CRegBaseCommon&) = default;
    CRegBaseCommon& operator=(const CRegBaseCommon&) = default;

    HKEY m_baseKey = HKEY_CURRENT_USER;
    S m_valueName;
    S m_keyPath;
    LONG m_lastStatus = ERROR_SUCCESS;
    REGSAM m_extraAccess = 0;
    bool m_loaded = false;
    bool m_bypassCache = false;
    bool m_present = false;
};

// Texts in qln::RefWString. Splitting of the full path: leading backslashes
// are dropped; the key path is the text before the last backslash without
// trailing backslashes, the value name the rest without backslashes at either
// end; a path without backslash names a value of the base key itself.
class CRegBase : public CRegBaseCommon<qln::RefWString> {
public:
    const wchar_t* StringData(const qln::RefWString& text) const noexcept override;
    std::size_t StringLength(const qln::RefWString& text) const noexcept override;

protected:
    explicit CRegBase(std::wstring_view fullPath);
};

// Texts in std::wstring. Splitting of the full path: the key path is the text
// before the last backslash and the value name the text after it, nothing
// removed; a path without backslash names a value of the base key itself.
class CRegStdBase : public CRegBaseCommon<std::wstring> {
public:
    const wchar_t* StringData(const std::wstring& text) const noexcept override;
    std::size_t StringLength(const std::wstring& text) const noexcept override;

protected:
    explicit CRegStdBase(std::wstring_view fullPath);
};

// Value, default and cache; the read and write operations.
template <typename T, typename Base>
class CRegTypedBase : public Base {
public:
    using ValueType = T;

    // The current value: from memory once loaded, otherwise from the registry
    // (the default when the key or value is missing or unreadable).
    T Read();
    // Stores a value. Skipped when the object is loaded and already holds an
    // equal value (texts compare case-sensitively). When the write fails the
    // object is no longer loaded, so the next Read tells what the registry
    // really holds and writing the same value again is retried.
    void Write(const T& newValue);

    [[nodiscard]] const T& DefaultValue() const noexcept { return m_defaultValue; }

protected:
    CRegTypedBase(std::wstring_view fullPath, const T& defaultValue);

    // Reads the value from an open key into out; leaves out untouched on
    // failure. Returns the registry status.
    virtual LONG ReadFromKey(HKEY key, T& out) = 0;
    // Writes the value into an open key; returns the status and stores it in
    // m_lastStatus.
    virtual LONG WriteToKey(HKEY key, const T& in) = 0;

    T m_value;
    T m_defaultValue;
    ULONGLONG m_lastAccessTicks = 0;
    // How long a loaded value is trusted; 0xFFFFFFFF means the object's life.
    DWORD m_cacheTimeoutMs = 0xFFFFFFFF;
};

// REG_DWORD. Data of another type is taken byte for byte when it fits into
// four bytes (shorter data is zero-extended); larger data gives the default.
template <typename Base>
class CRegDWORDCommon : public CRegTypedBase<DWORD, Base> {
public:
    explicit CRegDWORDCommon(std::wstring_view fullPath, DWORD defaultValue = 0);

protected:
    LONG ReadFromKey(HKEY key, DWORD& out) override;
    LONG WriteToKey(HKEY key, const DWORD& in) override;
};

// REG_QWORD; other data as for CRegDWORDCommon, with eight bytes.
template <typename Base>
class CRegQWORDCommon : public CRegTypedBase<std::uint64_t, Base> {
public:
    explicit CRegQWORDCommon(std::wstring_view fullPath, std::uint64_t defaultValue = 0);

protected:
    LONG ReadFromKey(HKEY key, std::uint64_t& out) override;
    LONG WriteToKey(HKEY key, const std::uint64_t& in) override;
};

// REG_SZ. Reading takes the text up to the first NUL (data without a NUL is
// taken whole); no environment expansion is done.
template <typename Base>
class CRegStringCommon : public CRegTypedBase<typename Base::StringType, Base> {
public:
    using StringType = typename Base::StringType;
    explicit CRegStringCommon(std::wstring_view fullPath, const StringType& defaultValue = StringType());

protected:
    LONG ReadFromKey(HKEY key, StringType& out) override;
    LONG WriteToKey(HKEY key, const StringType& in) override;
};

using CRegDWORD = CRegDWORDCommon<CRegBase>;
using CRegQWORD = CRegQWORDCommon<CRegBase>;
using CRegString = CRegStringCommon<CRegBase>;
using CRegStdDWORD = CRegDWORDCommon<CRegStdBase>;
using CRegStdQWORD = CRegQWORDCommon<CRegStdBase>;
using CRegStdString = CRegStringCommon<CRegStdBase>;

// The members are defined in Registry.cpp for exactly these instantiations.
extern template class CRegBaseCommon<qln::RefWString>;
extern template class CRegBaseCommon<std::wstring>;
extern template class CRegTypedBase<DWORD, CRegBase>;
extern template class CRegTypedBase<std::uint64_t, CRegBase>;
extern template class CRegTypedBase<qln::RefWString, CRegBase>;
extern template class CRegTypedBase<DWORD, CRegStdBase>;
extern template class CRegTypedBase<std::uint64_t, CRegStdBase>;
extern template class CRegTypedBase<std::wstring, CRegStdBase>;
extern template class CRegDWORDCommon<CRegBase>;
extern template class CRegQWORDCommon<CRegBase>;
extern template class CRegStringCommon<CRegBase>;
extern template class CRegDWORDCommon<CRegStdBase>;
extern template class CRegQWORDCommon<CRegStdBase>;
extern template class CRegStringCommon<CRegStdBase>;

namespace qln {

// The machine's own settings of the product, HKLM\Software\Quillon\KM in the
// 64-bit view. Only administrators can write there, which is why settings
// that weaken what an elevated run trusts are read from here alone.
inline constexpr wchar_t kMachineSettingsKey[] = L"Software\\Quillon\\KM";
// A REG_SZ value; nothing when it is missing or of another type.
[[nodiscard]] std::optional<std::wstring> ReadMachineString(const wchar_t* valueName);
// False when the key cannot be created or the value not written.
[[nodiscard]] bool WriteMachineString(const wchar_t* valueName, const std::wstring& text);
// The non-empty strings of a REG_MULTI_SZ value there; empty when it is
// missing or of another type.
[[nodiscard]] std::vector<std::wstring> ReadMachineStrings(const wchar_t* valueName);

}  // namespace qln

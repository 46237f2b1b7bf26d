// Typed registry values against the real registry below
// HKCU\Software\Quillon\Test (the test main removes HKCU\Software\Quillon
// around every test). The state is set up and checked with the raw API so
// that the class is never its own witness.

#include "Utils/Registry.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kTestKey[] = L"Software\\Quillon\\Test\\Reg";

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

bool KeyExists(const std::wstring& path) {
    qln::UniqueHkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void RawSet(const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    qln::UniqueHkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                               key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void RawSetDword(const std::wstring& keyPath, const wchar_t* name, DWORD value) {
    RawSet(keyPath, name, REG_DWORD, &value, sizeof(value));
}

void RawSetText(const std::wstring& keyPath, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    RawSet(keyPath, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::optional<RawValue> RawGet(const std::wstring& keyPath, const wchar_t* name) {
    qln::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
    RawValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    value.bytes.resize(size);
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

std::optional<DWORD> RawGetDword(const std::wstring& keyPath, const wchar_t* name) {
    auto value = RawGet(keyPath, name);
    if (!value || value->type != REG_DWORD || value->bytes.size() != sizeof(DWORD)) return std::nullopt;
    DWORD number = 0;
    std::memcpy(&number, value->bytes.data(), sizeof(number));
    return number;
}

std::wstring Path(const wchar_t* valueName) { return std::wstring(kTestKey) + L"\\" + valueName; }

std::wstring Text(const std::wstring& s) { return s; }
std::wstring Text(const qln::RefWString& s) { return s.str(); }

// Both string flavours must behave alike.
template <typename DwordT, typename StringT>
struct Flavour {
    using Dword = DwordT;
    using String = StringT;
};
using Flavours = ::testing::Types<Flavour<CRegStdDWORD, CRegStdString>, Flavour<CRegDWORD, CRegString>>;

template <typename F>
class RegistryValueTest : public ::testing::Test {};
TYPED_TEST_SUITE(RegistryValueTest, Flavours);

TYPED_TEST(RegistryValueTest, MissingKeyGivesDefaultAndCreatesNothing) {
    const std::wstring keyPath = std::wstring(kTestKey) + L"\\Missing\\Deeper";
    typename TypeParam::Dword number(keyPath + L"\\Count", 42);
    EXPECT_EQ(42u, number.Read());
    EXPECT_FALSE(number.IsPresent());
    EXPECT_TRUE(number.IsLoaded());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, number.LastStatus());

    typename TypeParam::String text(keyPath + L"\\Name", L"fallback");
    EXPECT_EQ(L"fallback", Text(text.Read()));
    EXPECT_FALSE(text.IsPresent());

    EXPECT_FALSE(KeyExists(std::wstring(kTestKey) + L"\\Missing"));
}

TYPED_TEST(RegistryValueTest, WriteCreatesTheWholeKeyPathWithTheRightTypes) {
    const std::wstring keyPath = std::wstring(kTestKey) + L"\\A\\B\\C";
    typename TypeParam::Dword number(keyPath + L"\\Number", 0);
    number.Write(0x12345678);
    EXPECT_TRUE(number.IsPresent());
    EXPECT_TRUE(number.IsLoaded());
    EXPECT_EQ(ERROR_SUCCESS, number.LastStatus());
    EXPECT_EQ(std::optional<DWORD>(0x12345678), RawGetDword(keyPath, L"Number"));

    typename TypeParam::String text(keyPath + L"\\Text", L"");
    text.Write(L"H\u00e9llo w\u00f6rld");
    auto raw = RawGet(keyPath, L"Text");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw->type);
    const std::wstring expected = L"H\u00e9llo w\u00f6rld";
    // The characters and the terminating NUL.
    ASSERT_EQ((expected.size() + 1) * sizeof(wchar_t), raw->bytes.size());
    EXPECT_EQ(0, std::memcmp(expected.c_str(), raw->bytes.data(), raw->bytes.size()));

    // A fresh object reads back what was written.
    typename TypeParam::String again(keyPath + L"\\Text", L"x");
    EXPECT_EQ(expected, Text(again.Read()));
    EXPECT_TRUE(again.IsPresent());
}

TYPED_TEST(RegistryValueTest, WritingTheDefaultOfAnUnloadedObjectStillWrites) {
    typename TypeParam::Dword number(Path(L"Zero"), 0);
    number.Write(0);
    EXPECT_EQ(std::optional<DWORD>(0), RawGetDword(kTestKey, L"Zero"));
}

TYPED_TEST(RegistryValueTest, LoadedObjectAnswersFromMemory) {
    RawSetDword(kTestKey, L"Cached", 5);
    typename TypeParam::Dword number(Path(L"Cached"), 0);
    EXPECT_EQ(5u, number.Read());

    RawSetDword(kTestKey, L"Cached", 9);
    EXPECT_EQ(5u, number.Read());
    EXPECT_EQ(ERROR_SUCCESS, number.LastStatus());

    // Another object has its own cache and sees the registry.
    typename TypeParam::Dword other(Path(L"Cached"), 0);
    EXPECT_EQ(9u, other.Read());
}

TYPED_TEST(RegistryValueTest, WritingTheHeldValueIsSkipped) {
    RawSetText(kTestKey, L"Mode", L"silent");
    typename TypeParam::String text(Path(L"Mode"), L"");
    EXPECT_EQ(L"silent", Text(text.Read()));

    // Someone else changes the value; writing what the object holds does not
    // touch the registry.
    RawSetText(kTestKey, L"Mode", L"manual");
    text.Write(L"silent");
    EXPECT_EQ(ERROR_SUCCESS, text.LastStatus());
    typename TypeParam::String probe(Path(L"Mode"), L"");
    EXPECT_EQ(L"manual", Text(probe.Read()));

    // Texts compare case-sensitively: a change of case is written.
    text.Write(L"Silent");
    typename TypeParam::String probe2(Path(L"Mode"), L"");
    EXPECT_EQ(L"Silent", Text(probe2.Read()));
}

TYPED_TEST(RegistryValueTest, DeleteValueRemovesItAndForgetsTheCache) {
    typename TypeParam::Dword number(Path(L"Gone"), 3);
    number.Write(11);
    ASSERT_TRUE(RawGetDword(kTestKey, L"Gone").has_value());
    const LONG statusBefore = number.LastStatus();

    number.DeleteValue();
    EXPECT_FALSE(RawGet(kTestKey, L"Gone").has_value());
    EXPECT_FALSE(number.IsPresent());
    EXPECT_EQ(statusBefore, number.LastStatus());
    EXPECT_TRUE(KeyExists(kTestKey));

    // The object must not claim the deleted value, nor skip writing it again.
    EXPECT_EQ(3u, number.Read());
    number.Write(11);
    EXPECT_EQ(std::optional<DWORD>(11), RawGetDword(kTestKey, L"Gone"));
}

TYPED_TEST(RegistryValueTest, DeleteValueOfAMissingKeyCreatesNothing) {
    typename TypeParam::String text(std::wstring(kTestKey) + L"\\Nowhere\\Name");
    text.DeleteValue();
    EXPECT_FALSE(KeyExists(std::wstring(kTestKey) + L"\\Nowhere"));
    EXPECT_EQ(ERROR_SUCCESS, text.LastStatus());
}

TYPED_TEST(RegistryValueTest, FailedWriteIsRetriedAndNotCached) {
    // A non-volatile key cannot be created below a volatile one. The parent
    // comes first: the keys created on the way get the options of the last.
    RawSetDword(kTestKey, L"Parent", 1);
    const std::wstring volatileKey = std::wstring(kTestKey) + L"\\Volatile";
    {
        qln::UniqueHkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, volatileKey.c_str(), 0, nullptr,
                                                   REG_OPTION_VOLATILE, KEY_WRITE, nullptr, key.put(), nullptr));
    }
    typename TypeParam::Dword number(volatileKey + L"\\Child\\Value", 1);
    EXPECT_EQ(1u, number.Read());

    number.Write(5);
    EXPECT_NE(ERROR_SUCCESS, number.LastStatus());
    EXPECT_FALSE(number.IsLoaded());
    EXPECT_FALSE(number.IsPresent());
    EXPECT_FALSE(KeyExists(volatileKey + L"\\Child"));
    EXPECT_FALSE(number.ErrorText().empty());

    // Once the obstacle is gone, writing the same value again reaches the
    // registry.
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_CURRENT_USER, volatileKey.c_str()));
    number.Write(5);
    EXPECT_EQ(ERROR_SUCCESS, number.LastStatus());
    EXPECT_TRUE(number.IsLoaded());
    EXPECT_EQ(std::optional<DWORD>(5), RawGetDword(volatileKey + L"\\Child", L"Value"));
}

// ---------------------------------------------------------------------------
// Reading data of other types and sizes

TEST(RegistryConversionTest, DwordTakesSmallDataByteForByte) {
    RawSetText(kTestKey, L"OneChar", L"A");  // 'A' and NUL: four bytes
    CRegStdDWORD oneChar(Path(L"OneChar"), 99);
    EXPECT_EQ(0x41u, oneChar.Read());
    EXPECT_TRUE(oneChar.IsPresent());

    RawSetText(kTestKey, L"TwoChars", L"AB");  // six bytes do not fit
    CRegStdDWORD twoChars(Path(L"TwoChars"), 99);
    EXPECT_EQ(99u, twoChars.Read());
    EXPECT_FALSE(twoChars.IsPresent());
    // The key opened, so the status is that of closing it.
    EXPECT_EQ(ERROR_SUCCESS, twoChars.LastStatus());

    // Shorter data is zero-extended, not mixed with the default's bytes.
    const BYTE two[] = {0x34, 0x12};
    RawSet(kTestKey, L"TwoBytes", REG_BINARY, two, sizeof(two));
    CRegDWORD twoBytes(Path(L"TwoBytes"), 0xFFFFFFFF);
    EXPECT_EQ(0x1234u, twoBytes.Read());
}

TEST(RegistryConversionTest, QwordRoundTripAndForeignData) {
    CRegStdQWORD big(Path(L"Ticks"), 0);
    big.Write(0x0123456789ABCDEFull);
    auto raw = RawGet(kTestKey, L"Ticks");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_QWORD), raw->type);
    ASSERT_EQ(8u, raw->bytes.size());
    CRegStdQWORD again(Path(L"Ticks"), 0);
    EXPECT_EQ(0x0123456789ABCDEFull, again.Read());

    RawSetDword(kTestKey, L"Small", 0xCAFE);
    CRegStdQWORD small(Path(L"Small"), ~0ull);
    EXPECT_EQ(0xCAFEull, small.Read());

    const BYTE nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    RawSet(kTestKey, L"Nine", REG_BINARY, nine, sizeof(nine));
    CRegStdQWORD tooBig(Path(L"Nine"), 77);
    EXPECT_EQ(77ull, tooBig.Read());
    EXPECT_FALSE(tooBig.IsPresent());
}

TEST(RegistryConversionTest, StringReadTakesTextUpToNulAndTerminatesUnterminatedData) {
    const wchar_t noNul[] = {L'a', L'b', L'c'};
    RawSet(kTestKey, L"NoNul", REG_SZ, noNul, sizeof(noNul));
    CRegStdString unterminated(Path(L"NoNul"), L"");
    EXPECT_EQ(L"abc", unterminated.Read());

    const wchar_t embedded[] = {L'a', L'b', L'\0', L'c', L'd', L'\0'};
    RawSet(kTestKey, L"Embedded", REG_SZ, embedded, sizeof(embedded));
    CRegString cut(Path(L"Embedded"), L"");
    EXPECT_EQ(L"ab", cut.Read().str());
}

// ---------------------------------------------------------------------------
// Splitting of full paths

TEST(RegistryPathTest, RefFlavourTrimsSurplusBackslashes) {
    CRegString keyDefault(L"\\Software\\Quillon\\Test\\Reg\\\\", L"");
    EXPECT_EQ(L"Software\\Quillon\\Test\\Reg", keyDefault.KeyPath().str());
    EXPECT_EQ(L"", keyDefault.ValueName().str());

    // An empty value name addresses the key's default value.
    keyDefault.Write(L"unnamed");
    auto raw = RawGet(kTestKey, L"");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw->type);
    CRegStdString probe(std::wstring(kTestKey) + L"\\", L"");
    EXPECT_EQ(L"unnamed", probe.Read());

    CRegDWORD doubled(L"\\\\Software\\Quillon\\\\Value", 0);
    EXPECT_EQ(L"Software\\Quillon", doubled.KeyPath().str());
    EXPECT_EQ(L"Value", doubled.ValueName().str());

    CRegDWORD bare(L"JustAName", 0);
    EXPECT_EQ(L"", bare.KeyPath().str());
    EXPECT_EQ(L"JustAName", bare.ValueName().str());
    EXPECT_EQ(HKEY_CURRENT_USER, bare.BaseKey());
}

TEST(RegistryPathTest, StdFlavourSplitsAtTheLastBackslashOnly) {
    CRegStdString surplus(L"\\Software\\Quillon\\\\Name", L"");
    EXPECT_EQ(L"\\Software\\Quillon\\", surplus.KeyPath());
    EXPECT_EQ(L"Name", surplus.ValueName());

    CRegStdQWORD bare(L"JustAName", 0);
    EXPECT_EQ(L"", bare.KeyPath());
    EXPECT_EQ(L"JustAName", bare.ValueName());
}

// ---------------------------------------------------------------------------

TEST(RefWStringTest, CopiesShareOneBufferAndCompareByContent) {
    qln::RefWString a(std::wstring(L"shared text"));
    qln::RefWString b = a;
    EXPECT_TRUE(a.SharesBufferWith(b));
    EXPECT_EQ(a.c_str(), b.c_str());

    qln::RefWString c(L"shared text");
    EXPECT_FALSE(a.SharesBufferWith(c));
    EXPECT_EQ(a, c);
    EXPECT_FALSE(a == qln::RefWString(L"Shared text"));

    const wchar_t* nothing = nullptr;
    qln::RefWString fromNull(nothing);
    EXPECT_TRUE(fromNull.empty());
    EXPECT_STREQ(L"", fromNull.c_str());
    EXPECT_STREQ(L"", qln::RefWString().c_str());
    EXPECT_EQ(qln::RefWString(), fromNull);
}

}  // namespace

// Version-number syntax, comparison with the running version and the
// four-line version text.

#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "Utils/StringConv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct NumberCase {
    const wchar_t* text;
    std::optional<VersionNumber> expected;  // empty: invalid
};

// The cases are shared with the release script's test.
#define VALID(text, major, minor, patch, build) {L"" text, VersionNumber{major, minor, patch, build}},
#define INVALID(text) {L"" text, std::nullopt},
const NumberCase kNumberCases[] = {
#include "data/version-numbers.inc"
};
#undef VALID
#undef INVALID

TEST(ParseVersionNumberTest, AcceptsExactlyTheVersionSyntax) {
    for (const auto& c : kNumberCases) {
        SCOPED_TRACE(qln::WideToUtf8(c.text));
        VersionNumber number{9, 9, 9, 9};
        const bool ok = ParseVersionNumber(c.text, number);
        EXPECT_EQ(c.expected.has_value(), ok);
        if (ok && c.expected) {
            EXPECT_EQ(c.expected->major, number.major);
            EXPECT_EQ(c.expected->minor, number.minor);
            EXPECT_EQ(c.expected->patch, number.patch);
            EXPECT_EQ(c.expected->build, number.build);
        }
    }
}

TEST(IsNewerVersionTest, ComparesComponentByComponent) {
    const struct {
        const wchar_t* text;
        bool newer;
    } cases[] = {
        {L"1.16.KM16.2381", false},   // the running version itself
        {L"1.16.KM016.2381", false},  // same numbers
        {L"1.16.KM16.2380", false},
        {L"1.16.KM15.9999", false},
        {L"1.15.KM99.9999", false},
        {L"1.16.KM16.2382", true},
        {L"1.16.KM17.1", true},
        {L"1.17.KM1.1", true},
        {L"2.1.KM0.0", true},
    };
    qlntest::LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(qln::WideToUtf8(c.text));
        EXPECT_EQ(c.newer, QLNVersionInfo::IsNewerVersion(c.text));
    }
    // Valid numbers are compared silently.
    EXPECT_FALSE(log.Contains("Invalid version string format"));
}

TEST(IsNewerVersionTest, InvalidTextIsNotNewerAndIsLogged) {
    qlntest::LogCapture log;
    for (const wchar_t* text : {L"9.99.km99.9999", L"9.0.KM1.1", L"", L"9.99.KM99.9999.1"}) {
        SCOPED_TRACE(qln::WideToUtf8(text));
        EXPECT_FALSE(QLNVersionInfo::IsNewerVersion(text));
    }
    const auto lines = log.Matching("Invalid version string format: ");
    ASSERT_EQ(4u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[warning]"));
    EXPECT_NE(std::string::npos, lines[0].find("Invalid version string format: '9.99.km99.9999'"));
    EXPECT_NE(std::string::npos, lines[2].find("Invalid version string format: ''"));
}

QLNVersionInfo Filled() {
    QLNVersionInfo info;
    info.version = L"1.16.KM10.1";
    info.info = L"old info";
    info.link = L"old link";
    info.force = true;
    info.rawText = L"old raw";
    return info;
}

void ExpectUnchanged(const QLNVersionInfo& info) {
    const QLNVersionInfo old = Filled();
    EXPECT_EQ(old.version, info.version);
    EXPECT_EQ(old.info, info.info);
    EXPECT_EQ(old.link, info.link);
    EXPECT_EQ(old.force, info.force);
    EXPECT_EQ(old.rawText, info.rawText);
}

TEST(ParseVersionTextTest, AcceptsFourNonEmptyLines) {
    const struct {
        const wchar_t* text;
        const wchar_t* version;
        const wchar_t* info;
        const wchar_t* link;
        bool force;
    } cases[] = {
        {L"1.16.KM17.1\nFixes\nhttps://x/y\ntrue", L"1.16.KM17.1", L"Fixes", L"https://x/y", true},
        {L"1.16.KM17.1\nFixes\nhttps://x/y\nfalse", L"1.16.KM17.1", L"Fixes", L"https://x/y", false},
        {L"1.16.KM17.1\nFixes\nhttps://x/y\nTrue", L"1.16.KM17.1", L"Fixes", L"https://x/y", false},
        {L"1.16.KM17.1\nFixes\nhttps://x/y\ntrue ", L"1.16.KM17.1", L"Fixes", L"https://x/y", false},
        {L"1.16.KM17.1\nFixes\nhttps://x/y\n1", L"1.16.KM17.1", L"Fixes", L"https://x/y", false},
        // Empty lines do not count, wherever they are.
        {L"1.16.KM17.1\n\nFixes\nhttps://x/y\nfalse", L"1.16.KM17.1", L"Fixes", L"https://x/y", false},
        {L"\n\n1.16.KM17.1\nFixes\n\n\nhttps://x/y\ntrue\n\n", L"1.16.KM17.1", L"Fixes", L"https://x/y", true},
        // Further lines are ignored.
        {L"1.16.KM17.1\nFixes\nhttps://x/y\ntrue\nmore\n1.99.KM1.1", L"1.16.KM17.1", L"Fixes", L"https://x/y", true},
        // Carriage returns inside later lines are kept; nothing is trimmed.
        {L"1.16.KM17.1\n Fixes \r\nhttps://x/y\ntrue", L"1.16.KM17.1", L" Fixes \r", L"https://x/y", true},
        // An older version is still a valid record.
        {L"1.2.KM1.1\ni\nl\ntrue", L"1.2.KM1.1", L"i", L"l", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qln::WideToUtf8(c.text));
        QLNVersionInfo info = Filled();
        ASSERT_TRUE(QLNVersionInfo::ParseVersionText(c.text, info));
        EXPECT_EQ(c.info, info.info);
        EXPECT_EQ(c.link, info.link);
        EXPECT_EQ(c.force, info.force);
        EXPECT_EQ(L"old raw", info.rawText);
        EXPECT_EQ(c.version, info.version);
    }
}

TEST(ParseVersionTextTest, TooFewLinesAreRejectedSilently) {
    qlntest::LogCapture log;
    for (const wchar_t* text : {L"", L"\n\n\n\n", L"1.16.KM17.1\ninfo\nlink",
                                L"1.16.KM17.1\n\nlink\nfalse", L"garbage\n\n\ntrue"}) {
        SCOPED_TRACE(qln::WideToUtf8(text));
        QLNVersionInfo info = Filled();
        EXPECT_FALSE(QLNVersionInfo::ParseVersionText(text, info));
        ExpectUnchanged(info);
    }
    EXPECT_TRUE(log.Matching("ParseVersionText").empty());
}

TEST(ParseVersionTextTest, InvalidFirstLineIsLoggedAndLeavesTheRecord) {
    qlntest::LogCapture log;

    QLNVersionInfo info = Filled();
    EXPECT_FALSE(QLNVersionInfo::ParseVersionText(L"1.16.km17.1\ninfo\nlink\ntrue", info));
    ExpectUnchanged(info);

    // Carriage-return line ends leave a CR on the version line.
    EXPECT_FALSE(QLNVersionInfo::ParseVersionText(L"1.16.KM17.1\r\ninfo\r\nlink\r\ntrue\r\n", info));
    ExpectUnchanged(info);

    const auto lines = log.Matching("ParseVersionText: invalid version format '");
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[warning]"));
    EXPECT_NE(std::string::npos, lines[0].find("ParseVersionText: invalid version format '1.16.km17.1'"));
    EXPECT_NE(std::string::npos, lines[1].find("ParseVersionText: invalid version format '1.16.KM17.1"));
}

}  // namespace

// The version resource and the manifest of the daemon carry the same version
// as the build constant: all come from the project version.
TEST(RunningVersion, ExecutableResourcesMatchTheBuildConstant) {
    const std::wstring exe = qlntest::BinDir() + L"QLNUpgrade.exe";
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &handle);
    ASSERT_NE(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(HIWORD(fixed->dwProductVersionMS), static_cast<unsigned>(CurrentVersionNumber.major));
    EXPECT_EQ(LOWORD(fixed->dwProductVersionMS), static_cast<unsigned>(CurrentVersionNumber.minor));
    EXPECT_EQ(HIWORD(fixed->dwProductVersionLS), static_cast<unsigned>(CurrentVersionNumber.patch));
    EXPECT_EQ(LOWORD(fixed->dwProductVersionLS), static_cast<unsigned>(CurrentVersionNumber.build));
    for (const wchar_t* name : {L"\\StringFileInfo\\040904b0\\ProductVersion", L"\\StringFileInfo\\040904b0\\FileVersion"}) {
        wchar_t* text = nullptr;
        ASSERT_TRUE(::VerQueryValueW(data.data(), name, reinterpret_cast<void**>(&text), &len));
        EXPECT_STREQ(text, CurrentVersion);
    }

    HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(res, nullptr);
    const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(module, res))), ::SizeofResource(module, res));
    ::FreeLibrary(module);
    const std::string dotted = std::to_string(CurrentVersionNumber.major) + "." + std::to_string(CurrentVersionNumber.minor) +
                               "." + std::to_string(CurrentVersionNumber.patch) + "." + std::to_string(CurrentVersionNumber.build);
    EXPECT_NE(manifest.find("name=\"Quillon.QLNUpgrade\" version=\"" + dotted + "\""), std::string::npos) << manifest;
}

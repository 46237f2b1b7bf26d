// Path utilities against real directories in a temporary folder.

#include "Utils/PathUtils.h"
#include "Utils/ProtectedDirectory.h"
#include "Utils/StringConv.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

bool IsDir(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring ToUpperAscii(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(CreateDirectoryPathTest, CreatesEveryAncestorWithEitherSeparator) {
    qlntest::TempDir temp;
    const std::wstring base = temp.dirWithSlash();
    std::wstring forward = base + L"a/b/c";

    EXPECT_TRUE(CreateDirectoryPath(forward));
    EXPECT_TRUE(IsDir(base + L"a"));
    EXPECT_TRUE(IsDir(base + L"a\\b"));
    EXPECT_TRUE(IsDir(base + L"a\\b\\c"));
    // Existing directories are success.
    EXPECT_TRUE(CreateDirectoryPath(forward));
    EXPECT_TRUE(CreateDirectoryPath(base + L"a\\b\\c\\"));

    EXPECT_TRUE(CreateDirectoryPath(base + L"x\\y\\z\\"));
    EXPECT_TRUE(IsDir(base + L"x\\y\\z"));
}

TEST(CreateDirectoryPathTest, KeepsTheLongPathPrefix) {
    qlntest::TempDir temp;
    const std::wstring base = temp.dirWithSlash();
    ASSERT_FALSE(base.starts_with(L"\\\\"));
    EXPECT_TRUE(CreateDirectoryPath(L"\\\\?\\" + base + L"long\\prefix"));
    EXPECT_TRUE(IsDir(base + L"long\\prefix"));
}

TEST(CreateDirectoryPathTest, FailsWhereAFileIsInTheWay) {
    qlntest::TempDir temp;
    const std::wstring base = temp.dirWithSlash();
    qlntest::WriteFileBytes(temp.path() / L"file", "data");

    EXPECT_FALSE(CreateDirectoryPath(base + L"file\\sub"));
    // The path itself naming a file is not the directory the caller wants.
    EXPECT_FALSE(CreateDirectoryPath(base + L"file"));
    EXPECT_FALSE(CreateDirectoryPath(L""));
}

TEST(NormalizePathTest, GivesTheStoredLetterCase) {
    qlntest::TempDir temp;
    const std::wstring stored = temp.dirWithSlash() + L"MixedCase\\SubDir";
    ASSERT_TRUE(CreateDirectoryPath(stored));

    const std::wstring upper = ToUpperAscii(stored);
    const std::wstring normalized = NormalizePath(upper);
    EXPECT_TRUE(EndsWith(normalized, L"\\MixedCase\\SubDir")) << qln::WideToUtf8(normalized);
    EXPECT_TRUE(qln::EqualsNoCase(normalized, NormalizePath(stored)));
    EXPECT_EQ(normalized, NormalizePath(stored));

    // Dots are resolved before the case is looked up.
    EXPECT_EQ(normalized, NormalizePath(upper + L"\\..\\SUBDIR"));
}

TEST(NormalizePathTest, LeavesMissingPathsAloneAndMakesRelativeOnesFull) {
    qlntest::TempDir temp;
    const std::wstring missing = temp.dirWithSlash() + L"No\\Such\\DIR";
    EXPECT_EQ(missing, NormalizePath(missing));
    EXPECT_EQ(L"", NormalizePath(L""));

    wchar_t cwd[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, cwd));
    const std::wstring full = NormalizePath(L"rel\\Dir");
    EXPECT_FALSE(::PathIsRelativeW(full.c_str()));
    EXPECT_TRUE(EndsWith(full, L"\\rel\\Dir"));
    EXPECT_TRUE(full.starts_with(cwd));
}

TEST(NormalizePathTest, HandlesPathsBeyondMaxPath) {
    qlntest::TempDir temp;
    std::wstring deep = L"\\\\?\\" + temp.dirWithSlash();
    while (deep.size() < 2 * MAX_PATH) deep += L"Component_With_A_Long_Name\\";
    deep += L"Leaf";
    ASSERT_TRUE(CreateDirectoryPath(deep));

    // Too long for the canonicalisation buffer: handled without it, and the
    // result still names the directory.
    const std::wstring normalized = NormalizePath(ToUpperAscii(deep));
    EXPECT_TRUE(IsDir(normalized)) << qln::WideToUtf8(normalized);

    const std::wstring missing = deep + L"\\missing";
    EXPECT_EQ(missing, NormalizePath(missing));
}

TEST(ModulePathTest, LocatesTheRunningExecutableAndItsDirectories) {
    const std::wstring module = GetModulePath();
    wchar_t raw[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, raw, MAX_PATH));
    EXPECT_TRUE(qln::EqualsNoCase(module, raw)) << qln::WideToUtf8(module);
    EXPECT_TRUE(EndsWith(qln::ToLowerAscii(module), L".exe"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(module.c_str()));

    const std::wstring app = GetAppDirectory();
    EXPECT_EQ(module.substr(0, module.rfind(L'\\') + 1), app);

    const std::wstring product = GetProductDirectory();
    ASSERT_FALSE(product.empty());
    EXPECT_TRUE(EndsWith(product, L"\\"));
    ASSERT_TRUE(app.starts_with(product));
    const std::wstring rest = app.substr(product.size());
    // Exactly one directory name remains: the executable's own directory.
    EXPECT_EQ(rest.size() - 1, rest.find(L'\\')) << qln::WideToUtf8(rest);
}

TEST(ModulePathTest, ProductDirectoryIsTheParentOfTheAppDirectory) {
    EXPECT_EQ(L"D:\\Apps\\Quillon\\", qln::ProductDirectoryOf(L"D:\\Apps\\Quillon\\bin\\"));
    EXPECT_EQ(L"C:\\Program Files\\Quillon\\", qln::ProductDirectoryOf(L"C:\\Program Files\\Quillon\\bin\\"));
    EXPECT_EQ(L"C:\\", qln::ProductDirectoryOf(L"C:\\bin\\"));
    EXPECT_EQ(L"", qln::ProductDirectoryOf(L"C:\\"));
    EXPECT_EQ(L"", qln::ProductDirectoryOf(L"bin\\"));
    EXPECT_EQ(L"", qln::ProductDirectoryOf(L""));
}

TEST(DataDirectoryTest, RoamingAndLocalAreCreatedQuillonFolders) {
    for (auto get : {&GetRoamingDataDirectory, &GetLocalDataDirectory}) {
        std::wstring dir = get();
        ASSERT_TRUE(EndsWith(dir, L"\\Quillon\\")) << qln::WideToUtf8(dir);
        // Remove it when nobody has put anything there, to see it recreated.
        ::RemoveDirectoryW(dir.c_str());
        dir = get();
        EXPECT_TRUE(IsDir(dir)) << qln::WideToUtf8(dir);
    }
    EXPECT_NE(GetRoamingDataDirectory(), GetLocalDataDirectory());
}

}  // namespace

TEST(ProtectedDirectoryTest, MakesOnlyNewFoldersAndHoldsThemAgainstASwap) {
    qlntest::TempDir temp;
    const std::wstring work = temp.dirWithSlash() + L"work";
    const std::wstring file = temp.dirWithSlash() + L"file";
    qlntest::WriteFileBytes(file, "x");
    DWORD error = 0;
    qln::ProtectedDirectory folder;

    ASSERT_TRUE(folder.Create(work, error)) << error;
    EXPECT_FALSE(::MoveFileW(work.c_str(), (work + L"2").c_str()));
    EXPECT_EQ(::GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_FALSE(::RemoveDirectoryW(work.c_str()));
    qlntest::WriteFileBytes(work + L"\\inside", "writes below stay possible");

    qln::ProtectedDirectory second;
    EXPECT_FALSE(second.Create(work, error)) << "a folder someone else made is never adopted";
    EXPECT_EQ(error, DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_FALSE(second.Hold(file, error));
    EXPECT_EQ(error, DWORD{ERROR_DIRECTORY});
    EXPECT_FALSE(second.Hold(work + L"\\missing", error));
    EXPECT_FALSE(second.Held());

    folder.Release();
    EXPECT_TRUE(::MoveFileW(work.c_str(), (work + L"2").c_str()));
}

// System DLLs bound on first call: KMSystemLibrary::Require loads only from
// the system folder, and every user of such a DLL fails its operation with a
// log line, calling nothing of it, when the DLL cannot be loaded.

#include "Utils/KM/KMSystemLibrary.h"

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <optional>

namespace {

// Every DLL loads as in the product except the one a test names as missing.
class MissingSystemLibraryTest : public ::testing::Test {
protected:
    void Miss(const wchar_t* name) {
        s_missing = name;
        m_loader.emplace(qln::seams::g_loadSystemLibrary, &LoadUnlessMissing);
    }

    qlntest::LogCapture m_log;

private:
    static HMODULE LoadUnlessMissing(const wchar_t* name) {
        if (_wcsicmp(name, s_missing) == 0) {
            ::SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }

    static inline const wchar_t* s_missing = L"";
    std::optional<qlntest::ScopedSeam<qln::seams::LoadSystemLibraryFn>> m_loader;
};

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    return ::GetModuleFileNameW(module, path, MAX_PATH) ? std::wstring(path) : std::wstring();
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    return ::GetSystemDirectoryW(path, MAX_PATH) ? std::wstring(path) : std::wstring();
}

TEST_F(MissingSystemLibraryTest, LoadsFromTheSystemFolderOnlyAndLogsWhatIsMissing) {
    ASSERT_TRUE(KMSystemLibrary::Require(L"rstrtmgr.dll"));
    const std::wstring loaded = ModulePath(::GetModuleHandleW(L"rstrtmgr.dll"));
    EXPECT_EQ(_wcsnicmp(loaded.c_str(), SystemFolder().c_str(), SystemFolder().size()), 0) << qln::WideToUtf8(loaded);

    // A DLL beside the executable, where the ordinary search looks first.
    const std::wstring planted = qlntest::BinDir() + L"qlnplanted.dll";
    const std::wstring language = qlntest::BinDir() + L"lang\\qln_lang_0.dll";
    ASSERT_TRUE(::CopyFileW(language.c_str(), planted.c_str(), FALSE));
    const auto removePlanted = qln::ScopeExit([&] { ::DeleteFileW(planted.c_str()); });
    {
        const qln::UniqueModule ordinary(::LoadLibraryW(L"qlnplanted.dll"));
        ASSERT_TRUE(ordinary.valid()) << "the planted DLL must be loadable by the ordinary search";
    }
    EXPECT_FALSE(KMSystemLibrary::Require(L"qlnplanted.dll"));
    EXPECT_TRUE(m_log.Contains("Cannot load system library qlnplanted.dll, error: 126"));
}

TEST_F(MissingSystemLibraryTest, WithoutWinHttpRequestsAndDownloadsFail) {
    Miss(L"winhttp.dll");
    HttpRequest request;
    request.url = L"https://127.0.0.1:1/version";
    const HttpResponse response = KMHttpUtils::SendRequestEx(request);
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_FALSE(response.complete);
    EXPECT_TRUE(m_log.Contains("Cannot load system library winhttp.dll, error: 126"));

    // A failed download leaves no file behind, whatever was there before.
    qlntest::TempDir dir;
    const std::filesystem::path destination = dir.path() / L"package.msi";
    qlntest::WriteFileBytes(destination, "stale");
    DownloadOptions options;
    options.maxAttempts = 1;
    EXPECT_FALSE(KMHttpUtils::DownloadToFile(L"https://127.0.0.1:1/package.msi", destination.wstring(), options));
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_EQ(m_log.Matching("Cannot load system library winhttp.dll").size(), 2u);
    EXPECT_FALSE(m_log.Contains("WinHttpCrackUrl failed"));
}

TEST_F(MissingSystemLibraryTest, WithoutWinTrustNoPackageCountsAsSigned) {
    const std::wstring signedMsi = qlntest::Env(L"QLN_TEST_MSI_SIGNED");
    ASSERT_FALSE(signedMsi.empty()) << "QLN_TEST_MSI_SIGNED is not set: the run's packages were not built";
    ASSERT_TRUE(QLNMsiPackage::VerifyMsiPackage(signedMsi));

    Miss(L"wintrust.dll");
    EXPECT_FALSE(QLNMsiPackage::VerifyMsiPackage(signedMsi));
    EXPECT_TRUE(m_log.Contains("Cannot load system library wintrust.dll, error: 126"));
    EXPECT_TRUE(m_log.Contains("Digital signature verification failed for '" + qln::WideToUtf8(signedMsi)));
}

TEST_F(MissingSystemLibraryTest, WithoutTheShellNothingIsStartedOrPlacedRelative) {
    ASSERT_FALSE(GetLocalDataDirectory().empty());
    Miss(L"shell32.dll");
    // Empty, never a relative folder of the current directory.
    EXPECT_TRUE(GetLocalDataDirectory().empty());
    EXPECT_TRUE(GetRoamingDataDirectory().empty());

    qln::UniqueHandle process;
    DWORD error = 0;
    EXPECT_FALSE(QLNWindowsInstaller::StartInstaller(L"/?", SW_HIDE, false, process, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(process.valid());
    EXPECT_GE(m_log.Matching("Cannot load system library shell32.dll, error: 126").size(), 3u);
}

TEST_F(MissingSystemLibraryTest, WithoutTheRestartManagerNoHolderIsNamed) {
    qlntest::TempDir dir;
    const std::filesystem::path held = dir.path() / L"held.txt";
    qlntest::WriteFileBytes(held, "x");
    Miss(L"rstrtmgr.dll");
    EXPECT_EQ(DescribeFileHolders(held.wstring()), L"");
    EXPECT_TRUE(m_log.Contains("Cannot load system library rstrtmgr.dll, error: 126"));
}

}  // namespace

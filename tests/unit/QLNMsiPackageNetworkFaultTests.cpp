// The installer package under network faults, through the daemon's own
// download path (three attempts, 3 s apart): a connection reset in the middle
// of the package and a package shorter than its Content-Length. Neither
// leaves a package in the staging directory, neither is reported as ready,
// and the user is never asked about a package that did not arrive.

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "Utils/ScopeExit.h"

#include "support/HttpTestServer.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

namespace {

int g_dialogsShown = 0;
HRESULT WINAPI CountDialog(const TASKDIALOGCONFIG*, int* pressed, int*, BOOL*) {
    ++g_dialogsShown;
    if (pressed) *pressed = IDYES;
    return S_OK;
}

TEST(QLNMsiPackageNetworkFaults, CutOffPackageIsNeitherKeptNorReady) {
    const int https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT");
    ASSERT_NE(https, 0) << "QLN_TEST_HTTPS_PORT is not set";
    qlntest::LogCapture log;
    QLNVersionInfo info;
    info.version = L"1.16.KM16." + std::to_wstring(::GetCurrentProcessId());
    // The package name is what follows the last "/" of the address.
    const std::wstring base = qlntest::Widen("https://localhost:" + std::to_string(https));
    const std::wstring name = L"&name=/Quillon-" + info.version + L"-x64.msi";
    const std::wstring reset = base + L"/reset?size=2000000&after=1000000" + name;
    const std::wstring truncated = base + L"/truncate?size=2000000&after=1500000" + name;

    g_dialogsShown = 0;
    qlntest::ScopedSeam dialogs(qln::seams::g_taskDialogIndirect, &CountDialog);
    std::wstring stagingDir;
    std::wstring msiPath;
    auto cleanup = qln::ScopeExit([&] {
        if (!stagingDir.empty()) QLNMsiPackage::CleanupStagingDir(stagingDir);
    });

    // A forced download over a package left by an earlier run.
    ASSERT_TRUE(QLNMsiPackage::DownloadMsi(info, base + L"/status/200?body=old" + name, stagingDir, msiPath, true));
    ASSERT_EQ(qlntest::ReadFileBytes(msiPath), "old");
    EXPECT_FALSE(QLNMsiPackage::DownloadMsi(info, reset, stagingDir, msiPath, true));
    EXPECT_FALSE(std::filesystem::exists(msiPath));

    // Half a package stalled (or killed) on its way never carries the name
    // that the one-day cache reuses.
    auto stalled = std::async(std::launch::async, [&] {
        std::wstring dir, path;
        return QLNMsiPackage::DownloadMsi(info, base + L"/stall?ms=1500&phase=body" + name, dir, path, false);
    });
    ::Sleep(700);
    EXPECT_FALSE(std::filesystem::exists(msiPath)) << "a partial download under the package's name";
    EXPECT_TRUE(stalled.get());
    EXPECT_EQ(qlntest::ReadFileBytes(msiPath), "1234567890");
    std::filesystem::remove(msiPath);

    EXPECT_FALSE(QLNMsiPackage::EnsureMsiReady(info, truncated, stagingDir, msiPath));
    EXPECT_FALSE(std::filesystem::exists(msiPath));
    EXPECT_TRUE(log.Contains("Initial MSI download failed"));
    EXPECT_EQ(log.Matching("DownloadToFile - incomplete body: 1500000 of 2000000 bytes received").size(), 3u);
    EXPECT_EQ(g_dialogsShown, 0);
    EXPECT_EQ(log.Matching("MSI download completed successfully").size(), 2u) << "only the old and the stalled package";
}

}  // namespace

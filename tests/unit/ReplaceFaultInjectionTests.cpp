// A fault at every file of a release of more than 200 files: whichever file
// cannot be put in place, deployment ends with the installed tree exactly as
// it was, and nothing of the new release left behind.

#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/UniqueHandle.h"
#include "support/ReplaceTestSupport.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Strategy = ReplaceSilentUpgradeStrategy;
using qlntest::Narrow;

TEST(ReplaceFaultInjection, AFaultAtAnyFileLeavesTheInstalledTreeAsItWas) {
    constexpr size_t kWindow = 8;
    qlntest::ClearProductRegistry();
    qlntest::ScopedSeam noPause(qln::seams::g_replacePauseMs, 0u);
    auto clear = qln::ScopeExit([] { qlntest::ClearProductRegistry(); });
    qlntest::TempDir temp;
    const std::wstring product = temp.dirWithSlash() + L"product";
    const std::wstring installRoot = temp.dirWithSlash() + L"Quillon";
    const std::wstring backupDir = temp.dirWithSlash() + L"rollback_backup";
    qlntest::WriteGeneratedRelease(product, 200, false);
    qlntest::WriteGeneratedRelease(installRoot, 200, true);
    const Strategy::FileInventory inventory = Strategy::GetUpgradeFileList(product);
    std::vector<std::wstring> deploymentOrder;
    for (const UpgradeFileCategory category : UpgradeFileCategoryOrder) {
        if (const auto files = inventory.find(category); files != inventory.end()) {
            deploymentOrder.insert(deploymentOrder.end(), files->second.begin(), files->second.end());
        }
    }
    ASSERT_GE(deploymentOrder.size(), 200u);
    const qlntest::TreeSnapshot before = qlntest::SnapshotTree(installRoot);

    for (size_t index = 0; index < deploymentOrder.size(); ++index) {
        const std::wstring& path = deploymentOrder[index];
        const std::wstring installed = installRoot + L"\\" + path;
        // An installed file is held by this process sharing nothing (it cannot
        // even be backed up), by another process that lets others only read
        // it (every attempt to replace it fails), or by one that lets it be
        // renamed while its new source cannot be read (the copy after the
        // rename fails). For a file new in the release, its source is held
        // sharing nothing, or a folder stands where it would go.
        const int kind = static_cast<int>(index % 3);
        const bool existed = qlntest::Exists(installed);
        const std::wstring source = product + L"\\" + path;
        qln::UniqueFileHandle exclusive;
        std::optional<qlntest::FileHolder> holder;
        std::vector<std::wstring> blockingFolders;
        if (existed && kind != 0) {
            holder.emplace(kind == 1 ? L"none" : L"rename", std::initializer_list<std::wstring>{installed});
            ASSERT_TRUE(holder->ok()) << Narrow(path);
        }
        if (kind != 1) {
            const std::wstring& held = existed && kind == 0 ? installed : source;
            exclusive.reset(::CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(exclusive) << Narrow(path);
        } else if (!existed) {
            for (std::wstring folder = installed; !qlntest::Exists(folder); folder.erase(folder.rfind(L'\\'))) {
                blockingFolders.push_back(folder);
            }
            ASSERT_TRUE(CreateDirectoryPath(installed));
        }
        const qlntest::TreeSnapshot expected = blockingFolders.empty() ? before : qlntest::SnapshotTree(installRoot);

        // Each run deploys the eight files before the fault and the faulty one,
        // over several categories: the rollback is the same for any number of
        // files before, and 200 whole deployments would take minutes.
        Strategy::FileInventory window;
        for (size_t i = index > kWindow ? index - kWindow : 0; i <= index; ++i) {
            window[Strategy::CategorizeUpgradeFile(deploymentOrder[i])].push_back(deploymentOrder[i]);
        }
        std::error_code ignored;
        std::filesystem::remove_all(backupDir, ignored);
        ReplaceDeployJournal journal(temp.dirWithSlash() + L"replace.journal");
        journal.Remove();
        Strategy strategy;
        std::set<UpgradeFileCategory> completed;
        int32_t succeeded = 0;
        int32_t failed = 0;
        EXPECT_FALSE(strategy.DeployCategorizedFiles(window, product, installRoot, backupDir, completed, succeeded,
                                                     failed, journal))
            << Narrow(path);
        exclusive.reset();
        if (holder) holder->Release();

        EXPECT_EQ(failed, 1) << Narrow(path);
        EXPECT_EQ(succeeded, 0) << "every file deployed before the fault is restored, fault at " << Narrow(path);
        const std::string difference = qlntest::FirstDifference(expected, qlntest::SnapshotTree(installRoot));
        ASSERT_EQ(difference, "") << "fault at file " << index << " (" << Narrow(path) << ")";
        for (const auto& folder : blockingFolders) ASSERT_TRUE(::RemoveDirectoryW(folder.c_str())) << Narrow(folder);
    }
}

}  // namespace

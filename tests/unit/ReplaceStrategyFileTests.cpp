// The replace strategy's file inventory and file operations against real
// trees in a temporary folder: categories, reparse points, locked and
// read-only targets, backup names and rollback.

#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "support/ReplaceTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Strategy = ReplaceSilentUpgradeStrategy;
using qlntest::ReadText;
using qlntest::WriteText;

TEST(ReplaceInventoryTest, CategorizesByTopFolderAndFileName) {
    const struct {
        const wchar_t* path;
        UpgradeFileCategory category;
    } cases[] = {
        {L"bin\\svnadmin.exe", UpgradeFileCategory::SVN},
        {L"bin\\SVNadmin.exe", UpgradeFileCategory::SVN},
        {L"bin\\sub\\svnx.dll", UpgradeFileCategory::SVN},
        {L"svn.dll", UpgradeFileCategory::QLN},
        {L"bin\\libaprutil-1.dll", UpgradeFileCategory::Third},
        {L"bin\\intl3_svn.dll", UpgradeFileCategory::Third},
        {L"bin\\libsasl.dll", UpgradeFileCategory::Third},
        {L"bin\\SASL32.dll", UpgradeFileCategory::Third},
        {L"bin\\sas.dll", UpgradeFileCategory::QLN},
        {L"bin\\QLNUpgrade.exe", UpgradeFileCategory::QLNUpgrade},
        {L"bin\\qlnupgrade.EXE", UpgradeFileCategory::QLNUpgrade},
        {L"QLNUpgrade.exe", UpgradeFileCategory::QLN},
        {L"version.txt", UpgradeFileCategory::VersionTxt},
        {L"Version.TXT", UpgradeFileCategory::VersionTxt},
        {L"bin\\version.txt", UpgradeFileCategory::QLN},
        {L"Diff-Scripts\\x.vbs", UpgradeFileCategory::QLN},
        {L"Help\\x.chm", UpgradeFileCategory::QLN},
        {L"Languages\\sub\\x.dll", UpgradeFileCategory::Lang},
        {L"languages\\x.dll", UpgradeFileCategory::Lang},
        {L"Common\\x.dll", UpgradeFileCategory::Common},
        {L"System\\x.dll", UpgradeFileCategory::System},
        {L"System64\\x.dll", UpgradeFileCategory::System64},
        {L"System32\\x.dll", UpgradeFileCategory::QLN},
        {L"bin\\QuillProc.exe", UpgradeFileCategory::QLN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Strategy::CategorizeUpgradeFile(c.path), c.category) << qlntest::Narrow(c.path);
    }
}

TEST(ReplaceInventoryTest, RecognisesTheNamesOfFilesMovedAside) {
    for (const wchar_t* name : {L"a.dll.qlnupd.bak", L"x.QLNUPD.BAK", L"a.dll.qlnupd.bak.1", L"a.dll.qlnupd.bak.100"}) {
        EXPECT_TRUE(Strategy::IsReplaceBackupFileName(name)) << qlntest::Narrow(name);
    }
    for (const wchar_t* name : {L".qlnupd.bak", L".qlnupd.bak.1", L"a.dll", L"a.dll.qlnupd.bak.x", L"a.dll.qlnupd.bak.",
                                L"a.dll.qlnupd.bak.1000", L"a.qlnupd.bakery"}) {
        EXPECT_FALSE(Strategy::IsReplaceBackupFileName(name)) << qlntest::Narrow(name);
    }
}

TEST(ReplaceInventoryTest, ListsTheTreeInCategoryOrderWithoutPackagesBackupsOrReparsePoints) {
    qlntest::TempDir temp;
    const std::wstring root = temp.dirWithSlash() + L"product";
    for (const wchar_t* file : {L"bin\\QuillProc.exe", L"bin\\svnadmin.exe", L"bin\\libapr-1.dll", L"Common\\c.dll",
                                L"Languages\\de\\QLNLang.dll", L"version.txt", L".qlnupd.bak", L"setup.MSI",
                                L"bin\\a.dll.qlnupd.bak", L"bin\\QLNUpgrade.exe"}) {
        WriteText(root + L"\\" + file, file);
    }

    qlntest::LogCapture log;
    const auto inventory = Strategy::GetUpgradeFileList(root);

    const Strategy::FileInventory expected = {
        {UpgradeFileCategory::QLN, {L".qlnupd.bak", L"bin\\QuillProc.exe"}},
        {UpgradeFileCategory::Lang, {L"Languages\\de\\QLNLang.dll"}},
        {UpgradeFileCategory::SVN, {L"bin\\svnadmin.exe"}},
        {UpgradeFileCategory::Common, {L"Common\\c.dll"}},
        {UpgradeFileCategory::Third, {L"bin\\libapr-1.dll"}},
        {UpgradeFileCategory::VersionTxt, {L"version.txt"}},
        {UpgradeFileCategory::QLNUpgrade, {L"bin\\QLNUpgrade.exe"}},
    };
    // The listing order of a directory is the file system's; compare as sets per category.
    ASSERT_EQ(inventory.size(), expected.size());
    for (const auto& [category, paths] : expected) {
        ASSERT_TRUE(inventory.count(category)) << static_cast<int>(category);
        EXPECT_EQ(qlntest::Sorted(inventory.at(category)), qlntest::Sorted(paths)) << static_cast<int>(category);
    }

    EXPECT_TRUE(log.Contains("Categorized 8 files: QLN=2, Lang=1, SVN=1, Third=1, Common=1, System=0, System64=0"));
    // One header per category with files, in category order (Third before Common).
    const auto lines = log.Lines();
    size_t previous = 0;
    for (const char* header : {"] [QLN] 2 files:", "] [Lang] 1 files:", "] [SVN] 1 files:", "] [Third] 1 files:",
                               "] [Common] 1 files:", "] [VersionTxt] 1 files:", "] [QLNUpgrade] 1 files:"}) {
        const auto found = std::find_if(lines.begin(), lines.end(),
                                        [&](const std::string& line) { return line.find(header) != std::string::npos; });
        ASSERT_NE(found, lines.end()) << header;
        const auto index = static_cast<size_t>(found - lines.begin());
        EXPECT_GT(index, previous) << header;
        previous = index;
    }
    EXPECT_TRUE(log.Contains("  [Lang] Languages\\de\\QLNLang.dll"));
}

TEST(ReplaceInventoryTest, NeitherListsNorLooksForTheProductThroughJunctions) {
    qlntest::TempDir temp;
    const std::wstring root = temp.dirWithSlash() + L"product";
    const std::wstring outside = temp.dirWithSlash() + L"outside";
    WriteText(root + L"\\bin\\QuillProc.exe", "x");
    WriteText(outside + L"\\Quillon\\bin\\secret.dll", "outside");
    // A loop back to the root (a walk that follows it never ends) and a way out of the tree.
    qlntest::Junction loop(root + L"\\bin\\loop", root);
    qlntest::Junction away(root + L"\\away", outside);
    if (loop.error() == ERROR_NOT_SUPPORTED) GTEST_SKIP() << "this system cannot create junctions";
    ASSERT_TRUE(loop.ok() && away.ok());
    qlntest::LogCapture log;

    const auto inventory = Strategy::GetUpgradeFileList(root);
    ASSERT_EQ(inventory.size(), 1u);
    EXPECT_EQ(inventory.at(UpgradeFileCategory::QLN), std::vector<std::wstring>{L"bin\\QuillProc.exe"});
    EXPECT_EQ(log.Matching("Skipping reparse point").size(), 2u);
    EXPECT_FALSE(log.Contains("secret.dll"));
    // "away\\Quillon\\bin" exists through the junction, but only the tree's own bin counts.
    EXPECT_EQ(Strategy::FindExtractedProductDir(root), root);
}

TEST(ReplaceInventoryTest, FindsTheProductDirectoryCommonPathFirstAndTheExtractionDirectoryLast) {
    qlntest::TempDir temp;
    const std::wstring base = temp.dirWithSlash();

    const std::wstring common = base + L"a";
    WriteText(common + L"\\Program Files\\Quillon\\bin\\QuillProc.exe", "x");
    WriteText(common + L"\\Other\\Quillon\\bin\\QuillProc.exe", "x");
    EXPECT_EQ(Strategy::FindExtractedProductDir(common), common + L"\\Program Files\\Quillon");

    // The extraction directory holds bin itself, yet a subdirectory wins.
    const std::wstring fallback = base + L"b";
    WriteText(fallback + L"\\bin\\QuillProc.exe", "x");
    WriteText(fallback + L"\\PFiles64\\Quillon\\bin\\QuillProc.exe", "x");
    EXPECT_EQ(Strategy::FindExtractedProductDir(fallback), fallback + L"\\PFiles64\\Quillon");

    const std::wstring itself = base + L"c";
    WriteText(itself + L"\\bin\\QuillProc.exe", "x");
    WriteText(itself + L"\\Other\\Quillon\\nobin.txt", "x");
    EXPECT_EQ(Strategy::FindExtractedProductDir(itself), itself);

    qlntest::LogCapture log;
    EXPECT_EQ(Strategy::FindExtractedProductDir(base + L"a\\Other\\Quillon\\bin"), L"");
    EXPECT_TRUE(log.Contains("Could not find Quillon product directory in"));
    EXPECT_EQ(Strategy::FindExtractedProductDir(base + L"missing"), L"");
}

class ReplaceFileTest : public ::testing::Test {
protected:
    std::wstring Path(const std::wstring& name) const { return temp.dirWithSlash() + name; }

    qlntest::TempDir temp;
    Strategy strategy;
};

TEST_F(ReplaceFileTest, CopiesAMissingTargetOnlyIntoAnExistingFolder) {
    WriteText(Path(L"new.dll"), "new");
    EXPECT_TRUE(strategy.DeployFile(Path(L"new.dll"), Path(L"target.dll")));
    EXPECT_EQ(ReadText(Path(L"target.dll")), "new");
    EXPECT_FALSE(strategy.DeployFile(Path(L"new.dll"), Path(L"nofolder\\target.dll")));
    EXPECT_FALSE(strategy.PendingReboot());
}

TEST_F(ReplaceFileTest, OverwritesAReadOnlyTarget) {
    WriteText(Path(L"new.dll"), "new");
    WriteText(Path(L"target.dll"), "old");
    ASSERT_TRUE(::SetFileAttributesW(Path(L"target.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(strategy.DeployFile(Path(L"new.dll"), Path(L"target.dll")));
    EXPECT_EQ(ReadText(Path(L"target.dll")), "new");
    EXPECT_FALSE(qlntest::Exists(Path(L"target.dll.qlnupd.bak")));
    EXPECT_FALSE(strategy.PendingReboot());
}

TEST_F(ReplaceFileTest, RenamesAHeldTargetAsideAndDeletesItAtRestart) {
    WriteText(Path(L"new.dll"), "new");
    WriteText(Path(L"target.dll"), "old");
    qlntest::FileHolder holder(L"rename", {Path(L"target.dll")});
    ASSERT_TRUE(holder.ok());
    qlntest::LogCapture log;

    EXPECT_TRUE(strategy.DeployFile(Path(L"new.dll"), Path(L"target.dll")));
    EXPECT_EQ(ReadText(Path(L"target.dll")), "new");
    EXPECT_EQ(ReadText(Path(L"target.dll.qlnupd.bak")), "old");
    EXPECT_TRUE(qlntest::PendingDeletionAtRestart(Path(L"target.dll.qlnupd.bak")));
    EXPECT_TRUE(strategy.PendingReboot());
    EXPECT_TRUE(log.Contains("File is locked, using rename+copy strategy:"));
    EXPECT_TRUE(log.Contains("Locked file replaced via rename+copy:"));
}

TEST_F(ReplaceFileTest, UsesANumberedBackupNameWhenTheUsualOneCannotBeReplaced) {
    WriteText(Path(L"new.dll"), "new");
    WriteText(Path(L"target.dll"), "old");
    // The backup of an earlier run is still open (a loaded image awaiting
    // its deletion at restart): it can be neither deleted nor replaced.
    WriteText(Path(L"target.dll.qlnupd.bak"), "older");
    WriteText(Path(L"target.dll.qlnupd.bak.1"), "stale");
    qlntest::FileHolder holder(L"rename", {Path(L"target.dll")});
    qlntest::FileHolder oldBackup(L"none", {Path(L"target.dll.qlnupd.bak")});
    ASSERT_TRUE(holder.ok() && oldBackup.ok());
    qlntest::LogCapture log;

    EXPECT_TRUE(strategy.DeployFile(Path(L"new.dll"), Path(L"target.dll")));
    EXPECT_EQ(ReadText(Path(L"target.dll")), "new");
    EXPECT_EQ(ReadText(Path(L"target.dll.qlnupd.bak")), "older");
    EXPECT_EQ(ReadText(Path(L"target.dll.qlnupd.bak.1")), "old");
    EXPECT_TRUE(qlntest::PendingDeletionAtRestart(Path(L"target.dll.qlnupd.bak.1")));
    EXPECT_TRUE(log.Contains("MoveFileEx REPLACE_EXISTING failed with ACCESS_DENIED for"));
    EXPECT_TRUE(log.Contains("Renamed locked file to alternative backup: " + qlntest::Narrow(Path(L"target.dll.qlnupd.bak.1"))));
    EXPECT_TRUE(strategy.PendingReboot());
}

TEST_F(ReplaceFileTest, PutsTheOldFileBackWhenTheCopyAfterTheRenameFails) {
    WriteText(Path(L"target.dll"), "old");
    qlntest::FileHolder holder(L"rename", {Path(L"target.dll")});
    ASSERT_TRUE(holder.ok());
    EXPECT_FALSE(strategy.DeployFile(Path(L"no-such-source.dll"), Path(L"target.dll")));
    EXPECT_EQ(ReadText(Path(L"target.dll")), "old");
    EXPECT_FALSE(qlntest::Exists(Path(L"target.dll.qlnupd.bak")));
    EXPECT_FALSE(strategy.PendingReboot());
}

TEST_F(ReplaceFileTest, LeavesATargetThatCanNeitherBeWrittenNorRenamed) {
    WriteText(Path(L"new.dll"), "new");
    WriteText(Path(L"target.dll"), "old");
    qlntest::FileHolder holder(L"none", {Path(L"target.dll")});
    ASSERT_TRUE(holder.ok());
    EXPECT_FALSE(strategy.DeployFile(Path(L"new.dll"), Path(L"target.dll")));
    EXPECT_EQ(ReadText(Path(L"target.dll")), "old");
    EXPECT_FALSE(strategy.PendingReboot());
}

TEST_F(ReplaceFileTest, RollbackRestoresBackupsAndRemovesFilesNewInThisRun) {
    const std::wstring root = Path(L"root");
    const std::wstring backup = Path(L"backup");
    WriteText(root + L"\\bin\\a.dll", "new a");
    WriteText(backup + L"\\bin\\a.dll", "old a");
    WriteText(root + L"\\bin\\n.dll", "new n");
    WriteText(root + L"\\bin\\held.dll", "new held");
    qlntest::FileHolder holder(L"none", {root + L"\\bin\\held.dll"});
    ASSERT_TRUE(holder.ok());
    qlntest::LogCapture log;

    const int32_t restored = strategy.RollbackDeployedFiles(
        {L"bin\\a.dll", L"bin\\n.dll", L"bin\\held.dll", L"bin\\never-deployed.dll"}, root, backup);

    EXPECT_EQ(restored, 3);
    EXPECT_EQ(ReadText(root + L"\\bin\\a.dll"), "old a");
    EXPECT_FALSE(qlntest::Exists(root + L"\\bin\\n.dll"));
    // A new file in use goes at the next restart.
    EXPECT_TRUE(qlntest::PendingDeletionAtRestart(root + L"\\bin\\held.dll"));
    EXPECT_TRUE(log.Contains("Rolled back (new file scheduled for reboot deletion): bin\\held.dll"));
    EXPECT_TRUE(log.Contains("Rollback complete: 3/4 files restored"));
}

TEST_F(ReplaceFileTest, BackupCopiesExistingFilesOnly) {
    WriteText(Path(L"root\\bin\\a.dll"), "a");
    EXPECT_TRUE(Strategy::BackupFileForRollback(Path(L"root\\bin\\a.dll"), L"bin\\a.dll", Path(L"backup")));
    EXPECT_EQ(ReadText(Path(L"backup\\bin\\a.dll")), "a");
    EXPECT_TRUE(Strategy::BackupFileForRollback(Path(L"root\\bin\\new.dll"), L"bin\\new.dll", Path(L"backup")));
    EXPECT_FALSE(qlntest::Exists(Path(L"backup\\bin\\new.dll")));
    // The backup directory lies below a file: no backup, no deployment.
    WriteText(Path(L"file"), "x");
    EXPECT_FALSE(Strategy::BackupFileForRollback(Path(L"root\\bin\\a.dll"), L"bin\\a.dll", Path(L"file")));
}

TEST_F(ReplaceFileTest, BackupKeepsContentAndAttributesInNestedFolders) {
    WriteText(Path(L"root\\bin\\a.dll"), "a");
    WriteText(Path(L"root\\bin\\sub\\deep\\b.dll"), "b");
    WriteText(Path(L"root\\c.dll"), "c");
    const DWORD marked = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_TRUE(::SetFileAttributesW(Path(L"root\\bin\\a.dll").c_str(), marked));
    for (const wchar_t* file : {L"bin\\a.dll", L"bin\\sub\\deep\\b.dll", L"c.dll"}) {
        EXPECT_TRUE(Strategy::BackupFileForRollback(Path(L"root\\") + file, file, Path(L"backup")))
            << qlntest::Narrow(file);
        EXPECT_EQ(ReadText(Path(L"backup\\") + file), ReadText(Path(L"root\\") + file)) << qlntest::Narrow(file);
    }
    EXPECT_EQ(::GetFileAttributesW(Path(L"backup\\bin\\a.dll").c_str()) & marked, marked);
    EXPECT_EQ(::GetFileAttributesW(Path(L"backup\\c.dll").c_str()) & marked, 0u);

    // The marks come back with the old content.
    ASSERT_TRUE(::SetFileAttributesW(Path(L"root\\bin\\a.dll").c_str(), FILE_ATTRIBUTE_NORMAL));
    WriteText(Path(L"root\\bin\\a.dll"), "new a");
    EXPECT_EQ(strategy.RollbackDeployedFiles({L"bin\\a.dll"}, Path(L"root"), Path(L"backup")), 1);
    EXPECT_EQ(ReadText(Path(L"root\\bin\\a.dll")), "a");
    EXPECT_EQ(::GetFileAttributesW(Path(L"root\\bin\\a.dll").c_str()) & marked, marked);
}

TEST_F(ReplaceFileTest, ObsoleteFilesAreOnlyReported) {
    const std::wstring root = Path(L"root");
    for (const wchar_t* file : {L"bin\\kept.dll", L"bin\\old.dll", L"Common\\c.dll", L"setup.msi", L"x.dll.qlnupd.bak"}) {
        WriteText(root + L"\\" + file, "x");
    }
    qlntest::LogCapture log;
    EXPECT_EQ(Strategy::RemoveObsoleteFiles(root, {L"BIN\\KEPT.DLL"}), 2);
    EXPECT_TRUE(log.Contains("[DryRun] Obsolete file would be deleted: " + qlntest::Narrow(root) + "\\bin\\old.dll"));
    EXPECT_TRUE(log.Contains("[DryRun] Found 2 obsolete files"));
    EXPECT_TRUE(qlntest::Exists(root + L"\\bin\\old.dll"));
    EXPECT_TRUE(qlntest::Exists(root + L"\\Common\\c.dll"));
}

}  // namespace

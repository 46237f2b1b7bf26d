// The replace strategy end to end inside the test process: the stand-in
// msiexec unpacks a release tree, the strategy deploys it over an installed
// tree in a temporary folder, and the tests compare whole trees afterwards.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/UniqueHandle.h"
#include "support/FakeMsiexec.h"
#include "support/ReplaceTestSupport.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using Strategy = ReplaceSilentUpgradeStrategy;
using qlntest::Narrow;
using qlntest::ReadText;
using qlntest::WriteText;

struct FileSpec {
    const wchar_t* path;
    const char* content;
};

// The installed release: one read-only file, one file the new release lacks.
const FileSpec kInstalled[] = {
    {L"bin\\QuillProc.exe", "old proc"},   {L"bin\\Quillon.dll", "old dll"},
    {L"bin\\svn.exe", "old svn"},          {L"Languages\\QLNLang_de.dll", "old de"},
    {L"bin\\obsolete.dll", "old obsolete"}, {L"version.txt", "1.16.KM16.2381"},
    {L"bin\\QLNUpgrade.exe", "old daemon"},
};
// The new release: changed files and files new in it, in several categories.
const FileSpec kRelease[] = {
    {L"bin\\QuillProc.exe", "new proc"},         {L"bin\\Quillon.dll", "new dll"},
    {L"bin\\QLNShell64.dll", "new shell"},       {L"bin\\svn.exe", "new svn"},
    {L"bin\\libapr-1.dll", "new apr"},           {L"Languages\\QLNLang_de.dll", "new de"},
    {L"Languages\\QLNLang_fr.dll", "new fr"},    {L"Common\\QLNCommon.dll", "new common"},
    {L"version.txt", "1.16.KM16.2400"},          {L"bin\\QLNUpgrade.exe", "new daemon"},
};

class ReplaceExecuteTest : public ::testing::Test {
protected:
    void SetUp() override {
        qlntest::ClearProductRegistry();
        context.version = L"1.16.KM16.2400";
        context.stagingDir = temp.dirWithSlash() + L"staging";
        context.msiPath = context.stagingDir + L"\\Quillon-1.16.KM16.2400-x64.msi";
        context.installRoot = temp.dirWithSlash() + L"Quillon";
        WriteText(context.msiPath, "package");
        for (const auto& file : kInstalled) WriteText(Installed(file.path), file.content);
        ASSERT_TRUE(::SetFileAttributesW(Installed(L"bin\\Quillon.dll").c_str(), FILE_ATTRIBUTE_READONLY));
        for (const auto& file : kRelease) WriteText(Released(file.path), file.content);
        msiexec.Script({"admin_tree=" + Narrow(temp.dirWithSlash() + L"admin")});
    }

    void TearDown() override {
        // The strategy starts the (stand-in) status cache at its end; its
        // window may not exist yet.
        (void)KMWinOSUtils::TerminateProcessByName(L"QLNCache.exe");
        qlntest::ClearProductRegistry();
    }

    std::wstring Installed(const std::wstring& relative) const { return context.installRoot + L"\\" + relative; }
    std::wstring Released(const std::wstring& relative) const {
        return temp.dirWithSlash() + L"admin\\Program Files\\Quillon\\" + relative;
    }

    // The installed tree must now be the new release, plus what the release
    // does not replace (the obsolete file) and what was moved aside.
    void ExpectNewRelease() const {
        for (const auto& file : kRelease) EXPECT_EQ(ReadText(Installed(file.path)), file.content) << Narrow(file.path);
        EXPECT_EQ(ReadText(Installed(L"bin\\obsolete.dll")), "old obsolete");
    }

    // What an upgrade killed after its first category (and one file of the
    // second) leaves behind: those files deployed with their backups and the
    // journal (with a restart note, when asked), nothing else.
    void LeaveInterruptedRun(bool noteRestart = false) {
        ASSERT_TRUE(CreateDirectoryPath(context.stagingDir + L"\\rollback_backup"));
        ReplaceDeployJournal journal(context.stagingDir + L"\\replace.journal");
        Strategy interrupted;
        for (const wchar_t* path : {L"bin\\QuillProc.exe", L"bin\\Quillon.dll", L"bin\\QLNShell64.dll",
                                    L"Languages\\QLNLang_fr.dll"}) {
            ASSERT_TRUE(Strategy::BackupFileForRollback(Installed(path), path, context.stagingDir + L"\\rollback_backup"));
            ASSERT_TRUE(journal.RecordFile(path));
            ASSERT_TRUE(interrupted.DeployFile(Released(path), Installed(path)));
            if (std::wstring(path) == L"bin\\QLNShell64.dll") {
                ASSERT_TRUE(journal.RecordCategory(UpgradeFileCategory::QLN));
            }
        }
        if (noteRestart) {
            ASSERT_TRUE(journal.RecordRestartNeeded());
        }
    }

    qlntest::ScopedSeam<DWORD> m_shortPauses{qln::seams::g_replacePauseMs, 1u};
    qlntest::TempDir temp;
    qlntest::FakeMsiexec msiexec;
    Strategy strategy;
    UpgradeContext context;
};

TEST_F(ReplaceExecuteTest, DeploysTheWholeReleaseAndReplacesAHeldFileByRename) {
    qlntest::FileHolder holder(L"rename", {Installed(L"bin\\QuillProc.exe")});
    ASSERT_TRUE(holder.ok());
    qlntest::LogCapture log;

    EXPECT_EQ(strategy.Execute(context), UpgradeResult::SuccessByReplaceNeedReboot);

    EXPECT_EQ(context.errorText, L"");
    ExpectNewRelease();
    EXPECT_EQ(ReadText(Installed(L"bin\\QuillProc.exe.qlnupd.bak")), "old proc");
    ASSERT_EQ(msiexec.CommandLines().size(), 1u);
    EXPECT_NE(msiexec.CommandLines()[0].find(" /a \"" + Narrow(context.msiPath) + "\" /qn TARGETDIR=\"" +
                                             Narrow(context.stagingDir) + "\\extract\""),
              std::string::npos);
    EXPECT_TRUE(log.Contains("Categorized 10 files: QLN=3, Lang=2, SVN=1, Third=1, Common=1, System=0, System64=0"));
    EXPECT_TRUE(log.Contains("File replacement complete. Success: 10, Failed: 0, PendingReboot: true"));
    EXPECT_TRUE(log.Contains("[DryRun] Found 2 obsolete files"));  // bin\obsolete.dll and Common\QLNCommon.dll
    EXPECT_TRUE(log.Contains("Updated upgrade state to: Succeeded"));
    EXPECT_TRUE(log.Contains("Restarting QLNCache..."));
    EXPECT_FALSE(HasPendingUpgrade());
    EXPECT_NE(ReadText(context.stagingDir + L"\\replace.journal").find("\nR\n"), std::string::npos)
        << "kept, with its restart note, until the outcome is stored";
}

TEST_F(ReplaceExecuteTest, RollsEverythingBackWhenOneFileCannotBeReplaced) {
    const qlntest::TreeSnapshot before = qlntest::SnapshotTree(context.installRoot);
    // The first file is replaced by rename (and must come back as the very
    // file); the last category's file can neither be written nor renamed.
    qlntest::FileHolder renamable(L"rename", {Installed(L"bin\\QuillProc.exe")});
    qlntest::FileHolder stuck(L"none", {Installed(L"version.txt")});
    ASSERT_TRUE(renamable.ok() && stuck.ok());
    // The Restart Manager names nobody under emulation; the answer it would
    // give. Asked in the middle of the run, it also tries what another
    // process of the user would: swap the unpacked release or the backups.
    static std::wstring staging;
    static std::vector<DWORD> swapErrors;
    staging = context.stagingDir;
    swapErrors.clear();
    qlntest::ScopedSeam holders(qln::seams::g_describeFileHolders, [](const std::wstring&) noexcept {
        for (const wchar_t* folder : {L"\\extract", L"\\rollback_backup"}) {
            const BOOL moved = ::MoveFileW((staging + folder).c_str(), (staging + folder + L".swapped").c_str());
            swapErrors.push_back(moved ? ERROR_SUCCESS : ::GetLastError());
        }
        return std::wstring(L"holder.exe (pid 7)");
    });
    qlntest::LogCapture log;

    EXPECT_EQ(strategy.Execute(context), UpgradeResult::StrategyFailed);
    EXPECT_EQ(swapErrors, (std::vector<DWORD>{ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION}));

    EXPECT_EQ(context.errorText, L"Deployment failed, all changes rolled back");
    EXPECT_EQ(qlntest::SnapshotTree(context.installRoot), before);
    EXPECT_TRUE(log.Contains("Deploy attempt 3/3 failed for: " + Narrow(Installed(L"version.txt"))));
    EXPECT_TRUE(log.Contains("Failed to replace after 3 retries, triggering rollback: "));
    EXPECT_TRUE(log.Contains(Narrow(Installed(L"version.txt")) + " is in use by: holder.exe (pid 7)"));
    EXPECT_TRUE(log.Contains("Deployment aborted due to failure in category [VersionTxt]."));
    EXPECT_TRUE(log.Contains("Updated upgrade state to: Failed"));
    EXPECT_FALSE(HasPendingUpgrade());
}

TEST_F(ReplaceExecuteTest, FailsBeforeTouchingAnythingWhenTheReleaseCannotBeUnpacked) {
    WriteText(temp.dirWithSlash() + L"nobin\\readme.txt", "no product here");
    qlntest::ScopedSeam extraction(qln::seams::g_msiExtractionTimeoutMs, 1500u);
    const struct {
        std::vector<std::string> script;
        const wchar_t* error;
        const char* logLine;
    } cases[] = {
        {{"exit=1603"}, L"Failed to extract files from MSI", "msiexec exit code: 1603"},
        {{"hang=1"}, L"Failed to extract files from MSI", "MSI extraction timed out after 1500 ms, terminating msiexec"},
        {{"admin_tree=" + Narrow(temp.dirWithSlash() + L"nobin")}, L"Failed to locate Quillon directory in extracted MSI",
         "Could not find Quillon product directory in"},
    };
    const qlntest::TreeSnapshot before = qlntest::SnapshotTree(context.installRoot);
    qlntest::LogCapture log;
    for (const auto& c : cases) {
        msiexec.Script(c.script);
        Strategy fresh;
        EXPECT_EQ(fresh.Execute(context), UpgradeResult::StrategyFailed) << c.logLine;
        EXPECT_EQ(context.errorText, c.error);
        EXPECT_TRUE(log.Contains(c.logLine)) << c.logLine;
        context.errorText.clear();
    }
    EXPECT_FALSE(log.Contains("Stopping QLNCache"));
    EXPECT_FALSE(log.Contains("Saved upgrade progress"));
    EXPECT_FALSE(KMWinOSUtils::IsProcessRunning(L"qln_fake_msiexec.exe"));
    EXPECT_EQ(qlntest::SnapshotTree(context.installRoot), before);
}

TEST_F(ReplaceExecuteTest, ResumeSkipsCompletedCategoriesAndEndsOnTheNewRelease) {
    LeaveInterruptedRun(true);  // a restart noted before a rename that never came
    qlntest::LogCapture log;

    EXPECT_EQ(strategy.Execute(context), UpgradeResult::SuccessByReplace);

    ExpectNewRelease();
    EXPECT_TRUE(log.Contains("Category [QLN] was deployed before the interruption, skipping"));
    EXPECT_FALSE(log.Contains("Deploying category [QLN]"));
    EXPECT_TRUE(log.Contains("Deploying category [Lang]: 2 files"));
    // Kept until the engine has stored the outcome, with its restart note.
    EXPECT_TRUE(qlntest::Exists(context.stagingDir + L"\\replace.journal"));
}

// A run killed between the rename aside and the copy: the resumed run finds
// the renamed file, needs the restart and has the file deleted at restart.
TEST_F(ReplaceExecuteTest, ResumeAfterAKillBetweenRenameAndCopyNeedsTheRestart) {
    LeaveInterruptedRun(true);
    const std::wstring aside = Installed(L"Languages\\QLNLang_fr.dll.qlnupd.bak");
    ASSERT_TRUE(::MoveFileW(Installed(L"Languages\\QLNLang_fr.dll").c_str(), aside.c_str()));
    EXPECT_EQ(strategy.Execute(context), UpgradeResult::SuccessByReplaceNeedReboot);
    EXPECT_TRUE(qlntest::PendingDeletionAtRestart(aside));
}

// A run killed while it rolled back: the categories it marked complete are
// partly old again, so the rollback is finished before anything is skipped.
TEST_F(ReplaceExecuteTest, ResumeOfAnInterruptedRollbackFinishesItThenDeploysAfresh) {
    LeaveInterruptedRun();
    {
        ReplaceDeployJournal journal(context.stagingDir + L"\\replace.journal");
        ASSERT_TRUE(journal.RecordRollbackStarted());
    }
    WriteText(Installed(L"bin\\QuillProc.exe"), "old proc");  // rolled back before the kill
    qlntest::LogCapture log;

    EXPECT_EQ(strategy.Execute(context), UpgradeResult::SuccessByReplace);

    ExpectNewRelease();
    EXPECT_TRUE(log.Contains("finishing its rollback first"));
    EXPECT_TRUE(log.Contains("Deploying category [QLN]"));
}

TEST_F(ReplaceExecuteTest, ResumeThatFailsRestoresTheTreeFromBeforeTheInterruptedRun) {
    const qlntest::TreeSnapshot original = qlntest::SnapshotTree(context.installRoot);
    LeaveInterruptedRun();
    qlntest::FileHolder stuck(L"none", {Installed(L"bin\\QLNUpgrade.exe")});
    ASSERT_TRUE(stuck.ok());
    // Asked once the file failed for good: its renames failed, so nothing
    // may have noted a restart.
    static std::string journalAtFailure;
    static std::wstring journal;
    journal = context.stagingDir + L"\\replace.journal";
    qlntest::ScopedSeam holders(qln::seams::g_describeFileHolders, [](const std::wstring&) noexcept {
        journalAtFailure = ReadText(journal);
        return std::wstring();
    });

    EXPECT_EQ(strategy.Execute(context), UpgradeResult::StrategyFailed);
    EXPECT_NE(journalAtFailure.find("F bin\\QLNUpgrade.exe\n"), std::string::npos);
    EXPECT_NE(journalAtFailure.find("\nR\n"), std::string::npos) << "the restart is noted before the rename is tried";

    // Files the interrupted run replaced get their old content back, files it
    // created are gone again.
    EXPECT_EQ(qlntest::SnapshotTree(context.installRoot), original);
}

TEST_F(ReplaceExecuteTest, ResumeThatCannotReadTheJournalKeepsTheInterruptedRunsBackups) {
    LeaveInterruptedRun();
    const qlntest::TreeSnapshot interrupted = qlntest::SnapshotTree(context.installRoot);
    const qlntest::TreeSnapshot backups = qlntest::SnapshotTree(context.stagingDir + L"\\rollback_backup");
    // Held without any sharing, as by a writer not quite gone yet.
    qln::UniqueFileHandle writer(::CreateFileW((context.stagingDir + L"\\replace.journal").c_str(), GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);

    EXPECT_EQ(strategy.Execute(context), UpgradeResult::StrategyFailed);

    EXPECT_EQ(context.errorText, L"Failed to read the deployment journal");
    EXPECT_EQ(qlntest::SnapshotTree(context.installRoot), interrupted);
    EXPECT_EQ(qlntest::SnapshotTree(context.stagingDir + L"\\rollback_backup"), backups);
    writer.reset();
    EXPECT_TRUE(qlntest::Exists(context.stagingDir + L"\\replace.journal"));
}

TEST_F(ReplaceExecuteTest, DeploymentSkipsMissingSourcesAndPersistsCompletedCategories) {
    const std::wstring product = temp.dirWithSlash() + L"admin\\Program Files\\Quillon";
    const Strategy::FileInventory inventory = {
        {UpgradeFileCategory::QLN, {L"bin\\QuillProc.exe", L"bin\\gone.dll"}},
        {UpgradeFileCategory::Common, {L"Common\\QLNCommon.dll"}},
    };
    std::set<UpgradeFileCategory> completed;
    int32_t succeeded = 0;
    int32_t failed = 0;
    ReplaceDeployJournal journal(temp.dirWithSlash() + L"journal");
    qlntest::LogCapture log;

    EXPECT_TRUE(strategy.DeployCategorizedFiles(inventory, product, context.installRoot, temp.dirWithSlash() + L"bk",
                                                completed, succeeded, failed, journal));

    EXPECT_EQ(succeeded, 2);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(completed.size(), 9u);
    EXPECT_TRUE(log.Contains("Source file not found, skipping: " + Narrow(product) + "\\bin\\gone.dll"));
    EXPECT_FALSE(log.Contains("Deploying category [Lang]"));
    EXPECT_TRUE(log.Contains("Category [Common] deploy complete. Running totals - Success: 2, Failed: 0"));
    // Persisted after each deployed category; empty categories ride along with the next one.
    EXPECT_EQ(qlntest::HkcuString(L"Software\\Quillon\\KM\\UpgradeProgress", L"CompletedCategories"),
              L"QLN,Lang,SVN,Common,Third");
}

}  // namespace

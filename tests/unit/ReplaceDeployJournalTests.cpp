// The deployment journal as the next run and other readers see it: every
// recorded line is in the file as soon as the call returns, a new object (the
// resumed run) reads all of it back, and removing it works while the object
// still holds the file.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class ReplaceDeployJournalTest : public ::testing::Test {
protected:
    std::wstring Path() const { return m_dir.dirWithSlash() + L"replace.journal"; }
    std::string Bytes() const { return qlntest::ReadFileBytes(Path()); }

    qlntest::TempDir m_dir;
};

TEST_F(ReplaceDeployJournalTest, EachLineIsInTheFileWhenTheCallReturnsAndReadsBackWhole) {
    {
        ReplaceDeployJournal journal(Path());
        ASSERT_TRUE(journal.RecordFolder(L"bin\\new"));
        EXPECT_NE(Bytes().find("D bin\\new\n"), std::string::npos);
        ASSERT_TRUE(journal.RecordFile(L"bin\\new\\a.dll"));
        EXPECT_NE(Bytes().find("F bin\\new\\a.dll\n"), std::string::npos);
        ASSERT_TRUE(journal.RecordFile(L"BIN\\NEW\\A.DLL"));  // the same file: not again
        ASSERT_TRUE(journal.RecordCategory(UpgradeFileCategory::QLN));
        ASSERT_TRUE(journal.RecordRestartNeeded());
        EXPECT_NE(Bytes().find("\nR\n"), std::string::npos);

        // The run itself reading its journal again sees the same.
        ASSERT_TRUE(journal.Load());
        EXPECT_EQ(journal.Files(), std::vector<std::wstring>{L"bin\\new\\a.dll"});
        ASSERT_TRUE(journal.RecordFile(L"bin\\b.dll"));
    }
    ReplaceDeployJournal resumed(Path());
    ASSERT_TRUE(resumed.Load());
    EXPECT_EQ(resumed.Files(), (std::vector<std::wstring>{L"bin\\new\\a.dll", L"bin\\b.dll"}));
    EXPECT_EQ(resumed.Folders(), std::vector<std::wstring>{L"bin\\new"});
    EXPECT_EQ(resumed.CompletedCategories(), std::set<UpgradeFileCategory>{UpgradeFileCategory::QLN});
    EXPECT_TRUE(resumed.RestartNeeded());
}

TEST_F(ReplaceDeployJournalTest, RemoveDeletesTheFileTheObjectStillWritesAndANewLineStartsAfresh) {
    {
        ReplaceDeployJournal journal(Path());
        ASSERT_TRUE(journal.RecordFile(L"a.dll"));
        journal.Remove();
        EXPECT_FALSE(std::filesystem::exists(Path()));
        ASSERT_TRUE(journal.RecordFile(L"b.dll"));
    }
    ReplaceDeployJournal next(Path());
    ASSERT_TRUE(next.Load());
    EXPECT_EQ(next.Files(), std::vector<std::wstring>{L"b.dll"});
}

}  // namespace

namespace {

// A rollback deletes and restores what the journal names: a path that could
// lead anywhere but below the installation makes the whole journal unusable.
TEST_F(ReplaceDeployJournalTest, AJournalNamingAPathOutsideTheInstallationIsRefusedWhole) {
    for (const char* bad : {"F ..\\..\\victim.txt", "F bin\\..\\..\\x", "F C:\\Windows\\x.dll", "F \\\\?\\C:\\x",
                            "F \\bin\\x", "D bin/../..", "F bin\\x.dll:stream", "F bin\\NUL.txt", "F bin\\x. ",
                            "F bin\\\"x\"", "F bin\\\\x", "F bin\\...", "F a/../../x", "F ..//x", "F bin/../../x",
                            "F C:/x"}) {
        SCOPED_TRACE(bad);
        qlntest::WriteFileBytes(Path(), std::string("C QLN\nF bin\\a.dll\nR\n") + bad + "\nF bin\\b.dll\n");
        ReplaceDeployJournal journal(Path());
        EXPECT_FALSE(journal.Load());
        EXPECT_TRUE(journal.Unreadable());
        EXPECT_TRUE(journal.Files().empty() && journal.CompletedCategories().empty() && !journal.RestartNeeded());
    }
    qlntest::WriteFileBytes(Path(), "F Languages\\sub.dir\\x.dll\nD bin/new\n");
    ReplaceDeployJournal good(Path());
    EXPECT_TRUE(good.Load());
    EXPECT_EQ(good.Files().size(), 1u);
}

// A kill in the middle of a line: the next writer starts on a fresh line, so
// the torn line is ignored and what follows it is read whole, in the
// workspace where the journal lives.
TEST(ReplaceDeployJournalInWorkspace, ATornLastLineIsIgnoredAndLaterLinesReadWhole) {
    QLNUpgradeWorkspace workspace;
    ASSERT_TRUE(workspace.Open(L"C:\\Torn\\Quillon", L"1.16.KM16.2400"));
    const std::wstring path = workspace.Path() + L"\\replace.journal";
    qlntest::WriteFileBytes(path, "F bin\\a.dll\nC QL");
    {
        ReplaceDeployJournal resumed(path);
        ASSERT_TRUE(resumed.RecordFile(L"bin\\b.dll"));
    }
    ReplaceDeployJournal next(path);
    ASSERT_TRUE(next.Load());
    EXPECT_EQ(next.Files(), (std::vector<std::wstring>{L"bin\\a.dll", L"bin\\b.dll"}));
    EXPECT_TRUE(next.CompletedCategories().empty());
    workspace.Remove();
}

}  // namespace

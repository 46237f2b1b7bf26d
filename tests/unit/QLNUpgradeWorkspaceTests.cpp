// The protected workspace of runs with administrator rights: made with its
// access list, found again by installation and release, and never made of a
// folder that somebody else put in its place.
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "support/ReplaceTestSupport.h"
#include "support/TestSupport.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

class Workspace : public ::testing::Test {
protected:
    // Each test starts and ends with no workspace root, aside folder or record.
    void SetUp() override { Forget(); }
    void TearDown() override { Forget(); }
    void Forget() {
        for (const auto& entry : fs::directory_iterator(m_root.parent_path())) {
            if (entry.path().filename().wstring().starts_with(L"QLNUpgrade")) (void)qln::RemoveDirectoryTree(entry.path());
        }
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, qln::kMachineSettingsKey, QLNUpgradeWorkspace::kRootIdentityValue);
    }
    // Opens the workspace over a root that holds a planted journal: that
    // root must be moved aside and nothing of it used.
    void OpenOverAPlantedRoot(QLNUpgradeWorkspace& workspace) {
        qlntest::WriteText(m_planted, "C QLN\n");
        ASSERT_TRUE(workspace.Open(m_install, m_version));
        EXPECT_FALSE(qlntest::Exists(m_planted)) << "the planted journal is in the workspace";
        EXPECT_TRUE(log.Contains("was not made by an administrator's upgrade, moving it aside to "));
    }
    const fs::path m_root = QLNUpgradeWorkspace::RootPath();
    const std::wstring m_install = L"C:\\Program Files\\Quillon";
    const std::wstring m_version = L"1.16.KM16.2400";
    const std::wstring m_planted = QLNUpgradeWorkspace::PathFor(m_install, m_version) + L"\\replace.journal";
    qlntest::LogCapture log;
};

TEST_F(Workspace, IsMadeProtectedAndFoundAgainByInstallationAndRelease) {
    QLNUpgradeWorkspace first;
    ASSERT_TRUE(first.Open(m_install, m_version));
    EXPECT_EQ(first.Path(), QLNUpgradeWorkspace::PathFor(L"c:\\program files\\QUILLON\\", m_version));
    EXPECT_NE(first.Path(), QLNUpgradeWorkspace::PathFor(L"D:\\Quillon", m_version));
    BYTE descriptor[4096];
    DWORD size = 0;
    LPWSTR sddl = nullptr;
    ASSERT_TRUE(::GetFileSecurityW(m_root.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor,
                                   sizeof(descriptor), &size) &&
                ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                    descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl, nullptr));
    const std::wstring text = sddl;
    ::LocalFree(sddl);
    // Wine keeps only what the Unix permissions can say: everybody else gets
    // nothing, where a folder made without the list is readable by all.
    if (text.starts_with(L"O:BA")) EXPECT_EQ(text, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    else EXPECT_EQ(text.find(L";WD)"), std::wstring::npos) << qlntest::Narrow(text);
    qlntest::WriteText(first.Path() + L"\\replace.journal", "C QLN\n");
    first.Close();

    QLNUpgradeWorkspace resumed;
    ASSERT_TRUE(resumed.Open(m_install, m_version));
    EXPECT_EQ(qlntest::ReadText(resumed.Path() + L"\\replace.journal"), "C QLN\n");
    resumed.Remove();
    EXPECT_FALSE(fs::exists(first.Path()));
}

TEST_F(Workspace, AFolderTheUpgradeDidNotMakeIsMovedAsideAndNeverUsed) {
    PSECURITY_DESCRIPTOR everybody = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                        &everybody, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), everybody, FALSE};
    ASSERT_TRUE(::CreateDirectoryW(m_root.c_str(), &attributes));
    ::LocalFree(everybody);
    QLNUpgradeWorkspace workspace;
    OpenOverAPlantedRoot(workspace);
    const auto aside = std::count_if(fs::directory_iterator(m_root.parent_path()), fs::directory_iterator(), [](auto& e) {
        return e.path().filename().wstring().starts_with(L"QLNUpgrade.untrusted-");
    });
    EXPECT_EQ(aside, 1) << "moved, not deleted: nothing is lost";

    // A junction on the way would put the workspace wherever it points. Wine
    // cannot make one; there only the rule is checked.
    workspace.Close();
    EXPECT_FALSE(qln::ProtectedDirectory::IsHoldable(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_TRUE(qln::ProtectedDirectory::IsHoldable(FILE_ATTRIBUTE_DIRECTORY));
    const std::wstring installation = fs::path(m_planted).parent_path().parent_path().wstring();
    ASSERT_TRUE(qln::RemoveDirectoryTree(installation));
    qlntest::TempDir elsewhere;
    qlntest::Junction junction(installation, elsewhere.path().wstring());
    if (junction.ok()) EXPECT_FALSE(workspace.Open(m_install, m_version));
    else EXPECT_EQ(junction.error(), DWORD{ERROR_NOT_SUPPORTED});
}

// The recorded identity is that of the folder an upgrade made, not of any
// folder at its place: one made again there is moved aside like any other.
TEST_F(Workspace, ARootMadeAgainWhereTheRecordedOneWasIsMovedAsideAndNeverUsed) {
    QLNUpgradeWorkspace first;
    ASSERT_TRUE(first.Open(m_install, m_version));
    first.Close();
    // Kept under another name, so that the new folder cannot get its file index.
    ASSERT_TRUE(::MoveFileW(m_root.c_str(), (m_root.wstring() + L".recorded").c_str()));
    QLNUpgradeWorkspace again;
    OpenOverAPlantedRoot(again);
}

}  // namespace

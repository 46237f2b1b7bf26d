// The protected workspace of runs with administrator rights: made with its
// access list, found again by installation and release, and never made of a
// folder that somebody else put in its place.
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "support/ReplaceTestSupport.h"
#include "support/TestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

std::wstring SddlOf(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    qln::UniqueLocalMem owned(descriptor);
    LPWSTR text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    qln::UniqueLocalMem ownedText(text);
    return text ? text : L"";
}

class Workspace : public ::testing::Test {
protected:
    // Each test starts with no workspace and no record of one.
    void SetUp() override { Forget(); }
    void TearDown() override { Forget(); }
    void Forget() {
        for (const auto& entry : fs::directory_iterator(fs::path(m_root).parent_path())) {
            if (entry.path().filename().wstring().starts_with(L"QLNUpgrade")) (void)qln::RemoveDirectoryTree(entry.path());
        }
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, qln::kMachineSettingsKey, QLNUpgradeWorkspace::kRootIdentityValue);
    }
    const std::wstring m_root = QLNUpgradeWorkspace::RootPath();
    const std::wstring m_install = L"C:\\Program Files\\Quillon";
    qlntest::LogCapture log;
};

TEST_F(Workspace, IsMadeProtectedAndFoundAgainByInstallationAndRelease) {
    QLNUpgradeWorkspace first;
    ASSERT_TRUE(first.Open(m_install, L"1.16.KM16.2400"));
    EXPECT_EQ(first.Path(), QLNUpgradeWorkspace::PathFor(L"c:\\program files\\QUILLON\\", L"1.16.KM16.2400"));
    EXPECT_NE(first.Path(), QLNUpgradeWorkspace::PathFor(L"D:\\Quillon", L"1.16.KM16.2400"));
    const std::wstring sddl = SddlOf(m_root);
    if (sddl.starts_with(L"O:BA")) {
        EXPECT_EQ(sddl, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    } else {
        // Wine keeps only what the Unix permissions can say: everybody else
        // gets nothing, where a folder made without the list is readable by all.
        EXPECT_EQ(sddl.find(L";WD)"), std::wstring::npos) << qlntest::Narrow(sddl);
    }
    qlntest::WriteText(first.Path() + L"\\replace.journal", "C QLN\n");
    first.Close();

    QLNUpgradeWorkspace resumed;
    ASSERT_TRUE(resumed.Open(m_install, L"1.16.KM16.2400"));
    EXPECT_EQ(qlntest::ReadText(resumed.Path() + L"\\replace.journal"), "C QLN\n");
    EXPECT_FALSE(log.Contains("moving it aside"));
    resumed.Remove();
    EXPECT_FALSE(fs::exists(first.Path()));
}

TEST_F(Workspace, AFolderTheUpgradeDidNotMakeIsMovedAsideAndNeverUsed) {
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open,
                                                                        nullptr));
    qln::UniqueLocalMem owned(open);
    SECURITY_ATTRIBUTES everybody{sizeof(everybody), open, FALSE};
    ASSERT_TRUE(::CreateDirectoryW(m_root.c_str(), &everybody));
    const std::wstring planted = QLNUpgradeWorkspace::PathFor(m_install, L"1.16.KM16.2400") + L"\\replace.journal";
    qlntest::WriteText(planted, "C QLN\nF ..\\..\\victim.txt\n");

    QLNUpgradeWorkspace workspace;
    ASSERT_TRUE(workspace.Open(m_install, L"1.16.KM16.2400"));
    EXPECT_FALSE(qlntest::Exists(planted)) << "the planted journal is not in the workspace";
    EXPECT_TRUE(log.Contains("was not made by an administrator's upgrade, moving it aside to "));
    size_t asideFolders = 0;  // moved, not deleted: nothing is lost
    for (const auto& entry : fs::directory_iterator(fs::path(m_root).parent_path())) {
        asideFolders += entry.path().filename().wstring().starts_with(L"QLNUpgrade.untrusted-") ? 1 : 0;
    }
    EXPECT_EQ(asideFolders, 1u);

    // A junction on the way would put the workspace wherever it points. Wine
    // cannot make one; there only the rule is checked.
    workspace.Close();
    EXPECT_FALSE(qln::ProtectedDirectory::IsHoldable(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_TRUE(qln::ProtectedDirectory::IsHoldable(FILE_ATTRIBUTE_DIRECTORY));
    const std::wstring installation = fs::path(planted).parent_path().parent_path().wstring();
    ASSERT_TRUE(qln::RemoveDirectoryTree(installation));
    qlntest::TempDir elsewhere;
    qlntest::Junction junction(installation, elsewhere.path().wstring());
    if (junction.ok()) EXPECT_FALSE(workspace.Open(m_install, L"1.16.KM16.2400"));
    else EXPECT_EQ(junction.error(), DWORD{ERROR_NOT_SUPPORTED});
}

}  // namespace

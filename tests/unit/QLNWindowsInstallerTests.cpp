// The Windows Installer interface: the exact msiexec command lines, both
// launches with the stand-in msiexec receiving them (exit codes, hang,
// administrative extraction of the run's package tree, declined elevation).
// The msi.dll queries are exercised by the package alias tests.

#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"

#include "Utils/StringConv.h"

#include "support/FakeMsiexec.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using ::testing::EndsWith;

namespace {

DWORD WaitExitCode(HANDLE process, DWORD timeoutMs = 30000) {
    if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD code = 1;
    ::GetExitCodeProcess(process, &code);
    return code;
}

TEST(WindowsInstaller, CommandLinesAreExactAndNoPathAddsAnArgument) {
    using Run = QLNWindowsInstaller::Run;
    EXPECT_EQ(QLNWindowsInstaller::BuildCommandLine(Run::AdministrativeExtraction, L"C:\\s\\Q.msi", L"C:\\s\\extract"),
              L"msiexec.exe /a \"C:\\s\\Q.msi\" /qn TARGETDIR=\"C:\\s\\extract\"");
    EXPECT_EQ(QLNWindowsInstaller::BuildCommandLine(Run::SilentInstall, L"C:\\s\\Q.msi", L"C:\\l\\x.upgrade.msi.log"),
              L"/i \"C:\\s\\Q.msi\" /qn /norestart /l*v \"C:\\l\\x.upgrade.msi.log\"");
    EXPECT_EQ(QLNWindowsInstaller::BuildCommandLine(Run::InteractiveInstall, L"C:\\s\\Q.msi", L"C:\\l\\x.log"),
              L"/i \"C:\\s\\Q.msi\" /l*v \"C:\\l\\x.log\"");
    qlntest::LogCapture log;
    for (const Run run : {Run::AdministrativeExtraction, Run::SilentInstall, Run::InteractiveInstall}) {
        EXPECT_FALSE(QLNWindowsInstaller::BuildCommandLine(run, L"C:\\s\\Q.msi", L"C:\\x\" TRANSFORMS=\"C:\\t.mst"));
        for (const wchar_t* bad :
             {L"C:\\s\\Q\n.msi", L"C:\\s\\Q\t.msi", L"C:\\s\\Q\x01.msi", L"C:\\s\\Q\x1f.msi", L"C:\\s\\Q\x7f.msi"}) {
            EXPECT_FALSE(QLNWindowsInstaller::BuildCommandLine(run, bad, L"C:\\l")) << qln::WideToUtf8(bad);
        }
    }
    EXPECT_TRUE(log.Contains("holds a quote or a control character"));
}

TEST(WindowsInstaller, AdministrativeExtractionRunsTheCommandLineAndUnpacksTheTree) {
    const std::wstring adminImage = qlntest::Env(L"QLN_TEST_MSI_ADMIN_IMAGE");
    ASSERT_FALSE(adminImage.empty()) << "QLN_TEST_MSI_ADMIN_IMAGE is not set: the run's packages were not built";
    qlntest::FakeMsiexec msiexec;
    qlntest::TempDir target;
    msiexec.Script({"admin_tree=" + qln::WideToUtf8(adminImage)});
    const std::wstring commandLine = *QLNWindowsInstaller::BuildCommandLine(
        QLNWindowsInstaller::Run::AdministrativeExtraction, L"C:\\pkg dir\\Q.msi", target.path().wstring());

    PROCESS_INFORMATION info{};
    DWORD error = 0;
    ASSERT_TRUE(QLNWindowsInstaller::StartAdministrativeExtraction(commandLine, info, error)) << error;
    qln::UniqueHandle process(info.hProcess);
    qln::UniqueHandle thread(info.hThread);
    EXPECT_EQ(WaitExitCode(process.get()), 0u);
    ASSERT_EQ(msiexec.CommandLines().size(), 1u);
    EXPECT_EQ(msiexec.CommandLines()[0], qln::WideToUtf8(commandLine));
    EXPECT_TRUE(std::filesystem::exists(target.path() / L"Program Files" / L"Quillon" / L"bin" / L"QuillProc.exe"));

    // A program that cannot be started reports the Windows error.
    const std::wstring missing = qlntest::BinDir() + L"no-such-msiexec.exe";
    qlntest::ScopedSeam missingProgram(qln::seams::g_msiexecProgram, missing.c_str());
    EXPECT_FALSE(QLNWindowsInstaller::StartAdministrativeExtraction(commandLine, info, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(info.hProcess, nullptr);
}

TEST(WindowsInstaller, InstallerLaunchHandsOverParametersAndExitCodes) {
    qlntest::FakeMsiexec msiexec;
    qlntest::TempDir dir;
    const std::wstring logPath = (dir.path() / L"2025-01-31.upgrade.msi.log").wstring();
    const std::wstring parameters =
        *QLNWindowsInstaller::BuildCommandLine(QLNWindowsInstaller::Run::SilentInstall, L"C:\\p\\Q.msi", logPath);

    for (const DWORD code : {0u, 1602u, 1641u, 3010u, 1603u}) {
        SCOPED_TRACE(code);
        msiexec.Script({"exit=" + std::to_string(code), "log_text=verbose log"});
        qln::UniqueHandle process;
        DWORD error = 0;
        ASSERT_TRUE(QLNWindowsInstaller::StartInstaller(parameters, SW_HIDE, code % 2 == 0, process, error)) << error;
        ASSERT_TRUE(process.valid());
        EXPECT_EQ(WaitExitCode(process.get()), code);
    }
    const auto lines = msiexec.CommandLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_THAT(lines[0], EndsWith(" " + qln::WideToUtf8(parameters)));
    EXPECT_THAT(qlntest::ReadFileBytes(logPath), ::testing::HasSubstr("verbose log"));

    // A run that hangs is the caller's to end.
    msiexec.Script({"hang=1"});
    qln::UniqueHandle process;
    DWORD error = 0;
    ASSERT_TRUE(QLNWindowsInstaller::StartInstaller(parameters, SW_SHOWNORMAL, false, process, error));
    EXPECT_EQ(::WaitForSingleObject(process.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(::TerminateProcess(process.get(), 1));
    EXPECT_EQ(WaitExitCode(process.get(), 5000), 1u);
}

TEST(WindowsInstaller, DeclinedElevationReportsErrorCancelled) {
    static SHELLEXECUTEINFOW seen{};
    static std::wstring file;
    qlntest::ScopedSeam declined(qln::seams::g_installerShellExecuteEx, [](SHELLEXECUTEINFOW* info) -> BOOL {
        seen = *info;
        file = info->lpFile;
        ::SetLastError(ERROR_CANCELLED);
        return FALSE;
    });
    qln::UniqueHandle process;
    DWORD error = 0;
    EXPECT_FALSE(QLNWindowsInstaller::StartInstaller(L"/i \"x.msi\" /l*v \"x.log\"", SW_SHOWNORMAL, true, process, error));
    EXPECT_EQ(error, 1223u);
    EXPECT_FALSE(process.valid());
    EXPECT_EQ(seen.cbSize, sizeof(SHELLEXECUTEINFOW));
    EXPECT_EQ(seen.fMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
    EXPECT_STREQ(seen.lpVerb, L"runas");
    // Never looked for along a search path: the system's, by its full path.
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_TRUE(qln::EqualsNoCase(file, std::wstring(system) + L"\\msiexec.exe")) << qln::WideToUtf8(file);
    EXPECT_EQ(seen.nShow, SW_SHOWNORMAL);

    EXPECT_FALSE(QLNWindowsInstaller::StartInstaller(L"/i", SW_HIDE, false, process, error));
    EXPECT_EQ(seen.lpVerb, nullptr);
    EXPECT_EQ(seen.nShow, SW_HIDE);
}

}  // namespace

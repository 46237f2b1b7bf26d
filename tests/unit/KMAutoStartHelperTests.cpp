// The auto-start value under HKCU\...\Run: written when missing or different,
// left alone when it differs only in letter case.

#include "Utils/KM/KMAutoStartHelper.h"

#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"

#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::wstring RunValue() {
    CRegStdString value(KMAutoStartHelper::kRunValuePath, L"<missing>");
    return value.Read();
}

void SetRunValue(const std::wstring& text) { qlntest::SetHkcuString(kRunKey, L"QLNUpgrade", text); }

class AutoStartTest : public ::testing::Test {
protected:
    void SetUp() override { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"QLNUpgrade"); }
    void TearDown() override { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"QLNUpgrade"); }
    qlntest::LogCapture m_log;
};

TEST_F(AutoStartTest, RegisterWritesOnlyWhatDiffersBeyondLetterCase) {
    const std::wstring command = L"C:\\Program Files\\Quillon\\bin\\QLNUpgrade.exe";
    KMAutoStartHelper::Register(command);
    EXPECT_EQ(RunValue(), command);
    EXPECT_EQ(m_log.Matching("Registered auto-start [QLNUpgrade]: " + qln::WideToUtf8(command)).size(), 1u);

    // Only the letter case differs: left alone, nothing logged.
    SetRunValue(L"c:\\PROGRAM FILES\\quillon\\BIN\\qlnupgrade.EXE");
    KMAutoStartHelper::Register(command);
    EXPECT_EQ(RunValue(), L"c:\\PROGRAM FILES\\quillon\\BIN\\qlnupgrade.EXE");
    EXPECT_EQ(m_log.Matching("Registered auto-start").size(), 1u);

    // Another path (or one with arguments) is replaced.
    SetRunValue(L"\"" + command + L"\" --old");
    KMAutoStartHelper::Register(command);
    EXPECT_EQ(RunValue(), command);
    EXPECT_EQ(m_log.Matching("Registered auto-start").size(), 2u);
}

// How GetModuleFileNameW answers for an executable installed beyond MAX_PATH
// (Windows programs cannot start one that deep under Wine).
const std::wstring kDeepExe = L"C:\\" + std::wstring(300, L'q') + L"\\bin\\QLNUpgrade.exe";
DWORD WINAPI DeepModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
    const DWORD copied = std::min<DWORD>(size - 1, static_cast<DWORD>(kDeepExe.size()));
    std::wmemcpy(buffer, kDeepExe.c_str(), copied);
    buffer[copied] = L'\0';
    if (copied == kDeepExe.size()) return copied;
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

TEST_F(AutoStartTest, AnExecutableBeyondMaxPathIsRegisteredWhole) {
    {
        qlntest::ScopedSeam deep(qln::seams::g_getModuleFileName, &DeepModuleFileName);
        KMAutoStartHelper::RegisterCurrentExe();
    }
    EXPECT_EQ(RunValue(), kDeepExe);
}

}  // namespace

// QLNMsiPackage: address, language suffix and staging directory; the one-day
// cache; size and signature checks on real packages built for this run
// (signed, unsigned, undersized); EnsureMsiReady over TLS from the test
// server; clean-up; and the alias against a product really installed with
// Wine's msiexec. WinVerifyTrust under Wine tells only signed from unsigned,
// so the seam at that one call stands in for the other statuses.

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"

#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/Registry.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"

#include "support/HttpTestServer.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

QLNVersionInfo Version(const std::wstring& text) {
    QLNVersionInfo info;
    info.version = text;
    return info;
}

std::wstring TempPath() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, buffer);
    return buffer;
}

std::wstring RequiredEnv(const wchar_t* name) {
    const std::wstring value = qlntest::Env(name);
    EXPECT_FALSE(value.empty()) << qln::WideToUtf8(name) << " is not set: the run's packages were not built";
    return value;
}

// Sets the file's last-write time to now minus ageSeconds (negative: future).
void SetAge(const fs::path& file, long long ageSeconds) {
    // From the same millisecond clock as the product, so that the age seen
    // there is never below the age set here.
    SYSTEMTIME nowSystem{};
    ::GetSystemTime(&nowSystem);
    FILETIME now{};
    ::SystemTimeToFileTime(&nowSystem, &now);
    ULARGE_INTEGER t{};
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= static_cast<ULONGLONG>(ageSeconds * 10000000LL);
    FILETIME written{t.LowPart, t.HighPart};
    qln::UniqueFileHandle handle(::CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle.valid());
    ASSERT_TRUE(::SetFileTime(handle.get(), nullptr, nullptr, &written));
}

void WriteSized(const fs::path& file, size_t size) {
    qlntest::WriteFileBytes(file, std::string(size, 'm'));
}

// Places the package where the test server serves it, under the path the
// daemon builds for the version; returns its https address on the server
// (requests recorded under key), or empty when the run lacks a piece.
std::wstring ServePackage(const std::wstring& package, const std::wstring& version, const std::string& key) {
    const std::wstring served = RequiredEnv(L"QLN_TEST_PACKAGE_DIR");
    const int https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT");
    if (package.empty() || served.empty() || https == 0) return {};
    const std::wstring path =
        QLNMsiPackage::BuildDownloadUrl(Version(version)).substr(std::wstring(qln::kServiceHost).size());
    const fs::path servedFile = fs::path(served) / path.substr(1);
    fs::create_directories(servedFile.parent_path());
    fs::copy_file(package, servedFile, fs::copy_options::overwrite_existing);
    return qlntest::Widen("https://localhost:" + std::to_string(https) + "/r/" + qlntest::UrlEncode(key)) + path;
}

class MsiPackageTest : public ::testing::Test {
protected:
    void SetUp() override { qlntest::ClearProductRegistry(); }
    void TearDown() override { qlntest::ClearProductRegistry(); }
    qlntest::LogCapture m_log;
    qlntest::TempDir m_dir;
};

TEST_F(MsiPackageTest, LanguageSuffixAndDownloadAddress) {
    struct Case {
        DWORD languageId;
        const wchar_t* suffix;
    };
    for (const Case c : {Case{2052, L"-zh_CN"}, Case{4100, L"-zh_CN"}, Case{1028, L""}, Case{3076, L""},
                         Case{1033, L""}, Case{0x10804, L"-zh_CN"}}) {
        SCOPED_TRACE(c.languageId);
        CRegStdDWORD(L"Software\\Quillon\\LanguageID", 0).Write(c.languageId);
        EXPECT_EQ(QLNMsiPackage::GetInstalledLanguageSuffix(), c.suffix);
        EXPECT_TRUE(m_log.Contains("Installed LanguageID: " + std::to_string(c.languageId)));
    }
    EXPECT_TRUE(m_log.Contains("Detected Simplified Chinese installation, using zh_CN MSI"));
    EXPECT_TRUE(m_log.Contains("Detected English/other installation, using base MSI"));

    CRegStdDWORD(L"Software\\Quillon\\LanguageID", 0).Write(2052);
    EXPECT_EQ(QLNMsiPackage::BuildDownloadUrl(Version(L"1.16.KM16.2400")),
              std::wstring(qln::kServiceHost) + L"/SVN/Quillon/1.16.KM16.2400/Quillon-1.16.KM16.2400-x64-zh_CN.msi");
    qlntest::ClearProductRegistry();
    const std::wstring url = QLNMsiPackage::BuildDownloadUrl(Version(L"1.16.KM16.2400"));
    EXPECT_EQ(url, std::wstring(qln::kServiceHost) + L"/SVN/Quillon/1.16.KM16.2400/Quillon-1.16.KM16.2400-x64.msi");
    EXPECT_TRUE(m_log.Contains("Installed LanguageID: 1033"));
    EXPECT_TRUE(m_log.Contains("Built download URL: " + qln::WideToUtf8(url)));
}

TEST_F(MsiPackageTest, StagingDirectoryAndPackageName) {
    const std::wstring base = TempPath() + L"QLNUpgrade\\";
    EXPECT_EQ(QLNMsiPackage::BuildStagingDir(Version(L"1.16.KM16.2400")), base + L"1.16.KM16.2400");
    EXPECT_EQ(QLNMsiPackage::BuildStagingDir(Version(L"1.16/KM16 2400\\..\\x:y")), base + L"1.16KM162400..xy");
    EXPECT_EQ(QLNMsiPackage::BuildStagingDir(Version(L"/ \\:*")), base + L"unknown");
    EXPECT_EQ(QLNMsiPackage::BuildStagingDir(Version(L"")), base + L"unknown");

    EXPECT_EQ(QLNMsiPackage::PackageFileNameOf(L"https://h/SVN/Quillon/1.2/Quillon-1.2-x64-zh_CN.msi", Version(L"1.2")),
              L"Quillon-1.2-x64-zh_CN.msi");
    EXPECT_EQ(QLNMsiPackage::PackageFileNameOf(L"no-slash-at-all", Version(L"1.16.KM16.2400")),
              L"Quillon-1.16.KM16.2400-x64.msi");
}

TEST_F(MsiPackageTest, CacheAgeBoundaryAndDownloadReuse) {
    const fs::path file = m_dir.path() / L"cached.msi";
    EXPECT_TRUE(QLNMsiPackage::IsCacheExpired(file.wstring()));
    EXPECT_TRUE(m_log.Contains("IsCacheExpired: failed to get file attributes: "));
    WriteSized(file, 10);
    SetAge(file, 86399);
    EXPECT_FALSE(QLNMsiPackage::IsCacheExpired(file.wstring()));
    EXPECT_TRUE(m_log.Contains("elapsedSeconds=86399, expired=false"));
    SetAge(file, 86400);
    EXPECT_TRUE(QLNMsiPackage::IsCacheExpired(file.wstring()));
    SetAge(file, -3600);  // written in the future
    EXPECT_TRUE(QLNMsiPackage::IsCacheExpired(file.wstring()));

    const int https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT");
    ASSERT_NE(https, 0) << "QLN_TEST_HTTPS_PORT is not set";
    const std::string key = qlntest::UniqueKey();
    const std::wstring url = qlntest::Widen("https://localhost:" + std::to_string(https) + "/r/" +
                                            qlntest::UrlEncode(key) + "/large?size=2000");
    // Fresh: kept as it is, nothing fetched.
    SetAge(file, 60);
    EXPECT_TRUE(QLNMsiPackage::Download(url, file.wstring(), false));
    EXPECT_EQ(fs::file_size(file), 10u);
    EXPECT_TRUE(m_log.Contains("MSI cache is valid, skipping download: "));
    // Expired: deleted and fetched again.
    SetAge(file, 86400);
    EXPECT_TRUE(QLNMsiPackage::Download(url, file.wstring(), false));
    EXPECT_EQ(fs::file_size(file), 2000u);
    EXPECT_TRUE(m_log.Contains("MSI cache expired (>1 day), deleting and re-downloading: "));
    // Forced: fetched without looking at the age.
    WriteSized(file, 10);
    EXPECT_TRUE(QLNMsiPackage::Download(url, file.wstring(), true));
    EXPECT_EQ(fs::file_size(file), 2000u);
    EXPECT_EQ(qlntest::FetchRecorded(key).size(), 2u);
    EXPECT_TRUE(m_log.Contains("force=true"));
    EXPECT_TRUE(m_log.Contains("MSI download completed successfully: " + qln::WideToUtf8(file.wstring())));
}

TEST_F(MsiPackageTest, SizeAndSignatureOfRealPackages) {
    const std::wstring signedMsi = RequiredEnv(L"QLN_TEST_MSI_SIGNED");
    const std::wstring unsignedMsi = RequiredEnv(L"QLN_TEST_MSI_UNSIGNED");
    const std::wstring smallMsi = RequiredEnv(L"QLN_TEST_MSI_SMALL");
    ASSERT_FALSE(signedMsi.empty() || unsignedMsi.empty() || smallMsi.empty());

    EXPECT_TRUE(QLNMsiPackage::VerifyMsiPackage(signedMsi));
    EXPECT_TRUE(m_log.Contains("Digital signature verified: " + qln::WideToUtf8(signedMsi)));
    EXPECT_TRUE(m_log.Contains("MSI verification passed, size: "));

    EXPECT_FALSE(QLNMsiPackage::VerifyMsiPackage(unsignedMsi));
    EXPECT_TRUE(m_log.Contains("Digital signature verification failed for '" + qln::WideToUtf8(unsignedMsi) +
                               "', status: 0x800B0100"));
    EXPECT_TRUE(m_log.Contains("Digital signature verification failed for " + qln::WideToUtf8(unsignedMsi)));

    EXPECT_FALSE(QLNMsiPackage::VerifyMsiPackage(smallMsi));
    EXPECT_TRUE(m_log.Contains("is below minimum 1048576 bytes"));

    EXPECT_FALSE(QLNMsiPackage::VerifyMsiPackage((m_dir.path() / L"missing.msi").wstring()));
    EXPECT_TRUE(m_log.Contains("MSI file not found: "));

    // The user's own switch does not reach a run with administrator rights
    // (every process under Wine): only the administrators' value does.
    qlntest::SetKmString(L"MsiSignatureVerification", L"false");
    EXPECT_FALSE(QLNMsiPackage::VerifyMsiPackage(unsignedMsi));
    EXPECT_TRUE(m_log.Contains("MsiSignatureVerification=false from the user's settings is ignored"));
    ASSERT_TRUE(qln::WriteMachineString(L"MsiSignatureVerification", L"False"));
    const bool machineSwitchHonoured = QLNMsiPackage::VerifyMsiPackage(unsignedMsi);
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, qln::kMachineSettingsKey, L"MsiSignatureVerification");
    EXPECT_TRUE(machineSwitchHonoured);

    // The size boundary, with the signature switch off for the daemon itself:
    // a file of exactly the size passes that check and is then no package
    // of ours.
    qlntest::ScopedSeam notAdmin(qln::seams::g_isRunningAsAdmin, [] { return false; });
    const fs::path exact = m_dir.path() / L"exact.msi";
    WriteSized(exact, 1048576);
    EXPECT_EQ(QLNMsiPackage::CheckMsiPackage(exact.wstring()), QLNMsiPackage::Verdict::Refused);
    EXPECT_TRUE(m_log.Contains("Digital signature verification is disabled by config, skipping: "));
    EXPECT_TRUE(m_log.Contains("is not our product"));
    WriteSized(exact, 1048575);
    EXPECT_FALSE(QLNMsiPackage::VerifyMsiPackage(exact.wstring()));
    EXPECT_TRUE(m_log.Contains("MSI file size 1048575 bytes is below minimum 1048576 bytes"));
    EXPECT_TRUE(QLNMsiPackage::VerifyMsiPackage(unsignedMsi));
}

// What the signature check hands to WinVerifyTrust, and the status to answer.
struct TrustCalls {
    static inline int verifyCalls = 0;
    static inline int closeCalls = 0;
    static inline bool parametersAsSpecified = true;
    static inline LONG firstStatus = 0;
    static inline LONG laterStatus = 0;

    static LONG Call(HWND window, GUID* action, void* raw) {
        auto* data = static_cast<WINTRUST_DATA*>(raw);
        const GUID expected = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        parametersAsSpecified = parametersAsSpecified && window == nullptr && IsEqualGUID(*action, expected) &&
                                data->cbStruct == sizeof(WINTRUST_DATA) && data->dwUIChoice == WTD_UI_NONE &&
                                data->fdwRevocationChecks == WTD_REVOKE_NONE &&
                                data->dwUnionChoice == WTD_CHOICE_FILE && data->dwProvFlags == WTD_SAFER_FLAG &&
                                data->pFile->cbStruct == sizeof(WINTRUST_FILE_INFO) && data->pFile->hFile == nullptr &&
                                data->pFile->pgKnownSubject == nullptr && data->pPolicyCallbackData == nullptr;
        if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
            ++closeCalls;
            return 0;
        }
        return ++verifyCalls == 1 ? firstStatus : laterStatus;
    }
};

TEST_F(MsiPackageTest, EnsureMsiReadyOverTlsWithOneForcedRedownload) {
    const std::wstring signedMsi = RequiredEnv(L"QLN_TEST_MSI_SIGNED");
    const std::wstring version = L"1.16.KM16." + std::to_wstring(::GetCurrentProcessId());
    const std::string key = qlntest::UniqueKey();
    const std::wstring url = ServePackage(signedMsi, version, key);
    ASSERT_FALSE(url.empty());

    std::wstring stagingDir;
    std::wstring msiPath;
    auto cleanup = qln::ScopeExit([&] {
        if (!stagingDir.empty()) QLNMsiPackage::CleanupStagingDir(stagingDir);
    });

    // The first check fails with a status Wine never reports (untrusted
    // signer); the forced re-download then passes.
    TrustCalls::firstStatus = static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED);
    TrustCalls::laterStatus = 0;
    {
        qlntest::ScopedSeam trust(qln::seams::g_winVerifyTrust, &TrustCalls::Call);
        ASSERT_TRUE(QLNMsiPackage::EnsureMsiReady(Version(version), url, stagingDir, msiPath));
        EXPECT_EQ(stagingDir, QLNMsiPackage::BuildStagingDir(Version(version)));
        EXPECT_EQ(msiPath, stagingDir + L"\\Quillon-" + version + L"-x64.msi");
        EXPECT_EQ(qlntest::ReadFileBytes(msiPath), qlntest::ReadFileBytes(signedMsi));
        EXPECT_EQ(qlntest::FetchRecorded(key).size(), 2u);
        EXPECT_EQ(TrustCalls::verifyCalls, 2);
        EXPECT_EQ(TrustCalls::closeCalls, 2);
        EXPECT_TRUE(TrustCalls::parametersAsSpecified);
        EXPECT_TRUE(m_log.Contains("status: 0x800B0004"));
        EXPECT_TRUE(m_log.Contains("MSI verification failed, deleting and re-downloading: " + qln::WideToUtf8(msiPath)));
        EXPECT_TRUE(m_log.Contains("MSI verification passed after re-download"));
    }

    // Again, with the real check: the cached package is reused and verified.
    ASSERT_TRUE(QLNMsiPackage::EnsureMsiReady(Version(version), url, stagingDir, msiPath));
    EXPECT_EQ(qlntest::FetchRecorded(key).size(), 2u);
    EXPECT_TRUE(m_log.Contains("MSI verification passed on first attempt"));

    cleanup.run();
    EXPECT_FALSE(fs::exists(stagingDir));
    EXPECT_TRUE(m_log.Contains("Staging directory cleaned up: " + qln::WideToUtf8(stagingDir)));
    QLNMsiPackage::CleanupStagingDir(stagingDir);
    EXPECT_TRUE(m_log.Contains("Failed to cleanup staging dir: " + qln::WideToUtf8(stagingDir) + ", error: "));

    // Nothing to download: no package, no prompt.
    const std::wstring missingUrl = url.substr(0, url.find(L"/SVN/")) + L"/SVN/Quillon/0.0.KM0.0/none.msi";
    EXPECT_FALSE(QLNMsiPackage::EnsureMsiReady(Version(L"0.0.KM0.0"), missingUrl, stagingDir, msiPath));
    EXPECT_TRUE(m_log.Contains("Initial MSI download failed"));
    EXPECT_FALSE(fs::exists(msiPath));
    QLNMsiPackage::CleanupStagingDir(stagingDir);
}

// Answers every task dialog with the button of the test.
struct DialogAnswer {
    static inline int button = IDNO;
    static inline int shown = 0;
    static HRESULT WINAPI Show(const TASKDIALOGCONFIG*, int* pressed, int*, BOOL*) {
        ++shown;
        if (pressed) *pressed = button;
        return S_OK;
    }
};

TEST_F(MsiPackageTest, PackageFailingTwiceIsLeftToTheUser) {
    const std::wstring version = L"1.16.KM17." + std::to_wstring(::GetCurrentProcessId());
    const std::string key = qlntest::UniqueKey();
    const std::wstring url = ServePackage(RequiredEnv(L"QLN_TEST_MSI_UNSIGNED"), version, key);
    ASSERT_FALSE(url.empty());
    qlntest::ScopedSeam dialogs(qln::seams::g_taskDialogIndirect, &DialogAnswer::Show);
    std::wstring stagingDir;
    std::wstring msiPath;
    auto cleanup = qln::ScopeExit([&] {
        if (!stagingDir.empty()) QLNMsiPackage::CleanupStagingDir(stagingDir);
    });

    DialogAnswer::button = IDNO;
    EXPECT_FALSE(QLNMsiPackage::EnsureMsiReady(Version(version), url, stagingDir, msiPath));
    EXPECT_EQ(qlntest::FetchRecorded(key).size(), 2u);
    EXPECT_TRUE(m_log.Contains("MSI verification failed again after re-download, prompting user"));
    EXPECT_TRUE(m_log.Contains("User cancelled upgrade due to verification failure"));
    EXPECT_TRUE(fs::exists(msiPath)) << "the second download is kept for the user's decision";
}

// Runs msiexec of the prefix and waits.
int Msiexec(const std::wstring& arguments) {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    return qlntest::RunProcess(L"\"" + std::wstring(system) + L"\\msiexec.exe\" " + arguments, 300000);
}

TEST_F(MsiPackageTest, AliasUnderTheRegisteredPackageName) {
    const std::wstring signedMsi = RequiredEnv(L"QLN_TEST_MSI_SIGNED");
    ASSERT_FALSE(signedMsi.empty());
    const fs::path package = m_dir.path() / L"Quillon-1.16.KM16.2400-x64.msi";
    fs::copy_file(signedMsi, package);

    EXPECT_EQ(QLNMsiPackage::CreateMsiPackageAlias(package.wstring(), m_dir.path().wstring()), L"");
    EXPECT_TRUE(m_log.Contains("UpgradeCode: {4F2A7C10-9B3E-4D21-8C55-1E6B0A9D3F72}"));
    EXPECT_TRUE(m_log.Contains("No existing product found for UpgradeCode (ret="));

    // Install the package under another name, so that Windows Installer
    // registers that name; removed again at the end.
    qlntest::TempDir installDir;
    const fs::path setup = installDir.path() / L"QuillonSetup.msi";
    fs::copy_file(signedMsi, setup);
    ASSERT_EQ(Msiexec(L"/i \"" + setup.wstring() + L"\" /qn"), 0);
    auto uninstall = qln::ScopeExit([&] { Msiexec(L"/x \"" + setup.wstring() + L"\" /qn"); });
    wchar_t productCode[39] = {};
    ASSERT_EQ(QLNWindowsInstaller::EnumFirstRelatedProduct(QLNMsiPackage::kUpgradeCode, productCode), 0u);

    const std::wstring alias = QLNMsiPackage::CreateMsiPackageAlias(package.wstring(), m_dir.path().wstring());
    EXPECT_EQ(alias, m_dir.path().wstring() + L"\\QuillonSetup.msi");
    EXPECT_TRUE(m_log.Contains("Registered PackageName='QuillonSetup.msi' differs from current "
                               "'Quillon-1.16.KM16.2400-x64.msi', creating alias"));
    EXPECT_TRUE(m_log.Contains("Created hardlink alias: " + qln::WideToUtf8(alias)));
    EXPECT_EQ(qlntest::ReadFileBytes(alias), qlntest::ReadFileBytes(package));
    // Made again over an existing alias.
    EXPECT_EQ(QLNMsiPackage::CreateMsiPackageAlias(package.wstring(), m_dir.path().wstring()), alias);

    // The registered name in other letter case: no alias.
    qlntest::TempDir otherDir;
    const fs::path sameName = otherDir.path() / L"quillonSETUP.MSI";
    fs::copy_file(signedMsi, sameName);
    EXPECT_EQ(QLNMsiPackage::CreateMsiPackageAlias(sameName.wstring(), otherDir.path().wstring()), L"");
    EXPECT_TRUE(m_log.Contains("MSI filename matches registered PackageName, no alias needed"));

    // An alias that cannot be placed (a directory of that name in the way)
    // is only logged.
    qlntest::TempDir blockedDir;
    fs::create_directories(blockedDir.path() / L"QuillonSetup.msi" / L"inside");
    EXPECT_EQ(QLNMsiPackage::CreateMsiPackageAlias(package.wstring(), blockedDir.path().wstring()), L"");
    EXPECT_TRUE(m_log.Contains("Failed to create alias (err="));

    // A registered name that is not a plain file name (the installer's source
    // list can be written by others) places no file outside the folder.
    std::wstring hex;
    for (const wchar_t c : std::wstring(productCode)) {
        if (std::iswxdigit(c)) hex += c;
    }
    std::wstring squished(hex.rbegin() + 24, hex.rend());
    squished += std::wstring(hex.rbegin() + 20, hex.rbegin() + 24) + std::wstring(hex.rbegin() + 16, hex.rbegin() + 20);
    for (size_t i = 16; i + 1 < hex.size(); i += 2) squished += {hex[i + 1], hex[i]};
    const std::wstring sourceList = L"Software\\Classes\\Installer\\Products\\" + squished + L"\\SourceList";
    for (const std::wstring bad : {L"..\\x.msi", L"C:\\x.msi", L".."}) {
        ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, sourceList.c_str(), L"PackageName", REG_SZ, bad.c_str(),
                                    static_cast<DWORD>((bad.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        EXPECT_EQ(QLNMsiPackage::CreateMsiPackageAlias(package.wstring(), m_dir.path().wstring()), L"") << qln::WideToUtf8(bad);
        EXPECT_FALSE(fs::exists(m_dir.path().parent_path() / L"x.msi"));
    }
    EXPECT_EQ(m_log.Matching("is not a plain file name, skip alias").size(), 3u);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, sourceList.c_str(), L"PackageName", REG_SZ, L"QuillonSetup.msi",
                      sizeof(L"QuillonSetup.msi"));
}

}  // namespace

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <fmt/xchar.h>

#include <algorithm>
#include <array>
#include <vector>

#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeQuestions.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"

namespace {

constexpr wchar_t kLanguageIdPath[] = L"Software\\Quillon\\LanguageID";
constexpr DWORD kDefaultLanguageId = 1033;

// 100-nanosecond intervals of a FILETIME.
constexpr std::uint64_t kTicksPerSecond = 10000000;

std::uint64_t ToTicks(const FILETIME& time) noexcept {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

LONG CallWinVerifyTrust(HWND window, GUID* action, WINTRUST_DATA* data, bool seam = true) noexcept {
    if (seam && qln::seams::g_winVerifyTrust) return qln::seams::g_winVerifyTrust(window, action, data);
    // Without the verifier nothing counts as signed.
    if (!KMSystemLibrary::Require(L"wintrust.dll")) return TRUST_E_PROVIDER_UNKNOWN;
    return ::WinVerifyTrust(window, action, data);
}

}  // namespace

bool QLNMsiPackage::IsSimplifiedChinese(DWORD languageId) noexcept {
    const DWORD langId = languageId & 0xFFFF;
    const DWORD primary = langId & 0x3FF;
    const DWORD sub = langId >> 10;
    return primary == LANG_CHINESE && (sub == SUBLANG_CHINESE_SIMPLIFIED || sub == SUBLANG_CHINESE_SINGAPORE);
}

std::wstring QLNMsiPackage::GetInstalledLanguageSuffix() {
    CRegStdDWORD languageId(kLanguageIdPath, kDefaultLanguageId);
    const DWORD id = languageId.Read();
    KM_LOG_INFO(L"Installed LanguageID: {}", id);
    if (IsSimplifiedChinese(id)) {
        KM_LOG_INFO(L"Detected Simplified Chinese installation, using zh_CN MSI");
        return L"-zh_CN";
    }
    KM_LOG_INFO(L"Detected English/other installation, using base MSI");
    return {};
}

std::wstring QLNMsiPackage::BuildDownloadUrl(const QLNVersionInfo& info) {
    const std::wstring suffix = GetInstalledLanguageSuffix();
    std::wstring url = std::wstring(qln::kServiceHost) +
                       fmt::format(L"/SVN/Quillon/{}/Quillon-{}-{}{}.msi", info.version, info.version,
                                   KMWinOSUtils::GetMachinePlatformName(), suffix);
    KM_LOG_INFO(L"Built download URL: {}", url);
    return url;
}


std::wstring QLNMsiPackage::BuildStagingDir(const QLNVersionInfo& info) {
    wchar_t tempPath[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tempPath);
    return fmt::format(L"{}QLNUpgrade\\{}", tempPath, QLNVersionInfo::VersionFolderName(info.version));
}

std::wstring QLNMsiPackage::PackageFileNameOf(const std::wstring& url, const QLNVersionInfo& info) {
    const std::size_t slash = url.rfind(L'/');
    if (slash == std::wstring::npos)
        return fmt::format(L"Quillon-{}-{}.msi", info.version, KMWinOSUtils::GetMachinePlatformName());
    return url.substr(slash + 1);
}

namespace {

// Whole seconds since a last-write time. Unsigned on purpose: a time in the
// future wraps to a huge age, so a file with a bogus time stamp is never
// trusted as fresh.
std::uint64_t SecondsSince(const FILETIME& written) {
    SYSTEMTIME nowSystem{};
    ::GetSystemTime(&nowSystem);
    FILETIME now{};
    ::SystemTimeToFileTime(&nowSystem, &now);
    return (ToTicks(now) - ToTicks(written)) / kTicksPerSecond;
}

// Copies the cached package at cached into target when it is younger than a
// day.
bool CopyFreshCachedPackage(const std::wstring& cached, const std::wstring& target) {
    // Opened for reading only and shared for reading only: while the copy is
    // made nobody can change, rename or delete the file, and nothing here can
    // write or delete anything through a link in the user's cache.
    const qln::UniqueFileHandle file(::CreateFileW(cached.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME written{};
    if (!file || !::GetFileTime(file.get(), nullptr, nullptr, &written)) {
        KM_LOG_INFO(L"No cached package to take: {} (error: {})", cached, ::GetLastError());
        return false;
    }
    if (SecondsSince(written) >= QLNMsiPackage::kCacheLifetimeSeconds) {
        KM_LOG_INFO(L"Cached package is older than a day, not taken: {}", cached);
        return false;
    }
    ::DeleteFileW(target.c_str());
    DWORD error = 0;
    if (!qln::CopyFromHandle(file.get(), target, error)) {
        KM_LOG_ERROR(L"Cannot copy the cached package {} to {}, error: {}", cached, target, error);
        return false;
    }
    KM_LOG_INFO(L"Cached package {} copied to {}", cached, target);
    return true;
}

}  // namespace

bool QLNMsiPackage::IsCacheExpired(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        KM_LOG_WARN(L"IsCacheExpired: failed to get file attributes: {}", path);
        return true;
    }
    const std::uint64_t elapsedSeconds = SecondsSince(attributes.ftLastWriteTime);
    const bool expired = elapsedSeconds >= kCacheLifetimeSeconds;
    KM_LOG_INFO(L"IsCacheExpired: file='{}', elapsedSeconds={}, expired={}", path, elapsedSeconds, expired);
    return expired;
}

bool QLNMsiPackage::Download(const std::wstring& url, const std::wstring& dest, bool force) {
    if (!force && ::PathFileExistsW(dest.c_str())) {
        if (!IsCacheExpired(dest)) {
            KM_LOG_INFO(L"MSI cache is valid, skipping download: {}", dest);
            return true;
        }
        KM_LOG_INFO(L"MSI cache expired (>1 day), deleting and re-downloading: {}", dest);
        ::DeleteFileW(dest.c_str());
    }
    KM_LOG_INFO(L"Downloading MSI: url={}, dest={}, force={}", url, dest, force);
    DownloadOptions options;
    options.receiveTimeoutMs = 300000;
    options.maxAttempts = 3;
    options.retryDelayMs = 3000;
    // Written under another name and renamed once complete: a download cut
    // short by a kill must never look like a cached package.
    const std::wstring partial = dest + L".partial";
    bool ok = KMHttpUtils::DownloadToFile(url, partial, options);
    if (ok && !::MoveFileExW(partial.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        KM_LOG_ERROR(L"Cannot move the downloaded package to {}, error: {}", dest, ::GetLastError());
        ok = false;
    }
    ::DeleteFileW(partial.c_str());
    // A forced download replaces what was there, also when it fails.
    if (!ok) ::DeleteFileW(dest.c_str());
    if (ok) {
        KM_LOG_INFO(L"MSI download completed successfully: {}", dest);
    } else {
        KM_LOG_ERROR(L"MSI download failed: url={}", url);
    }
    return ok;
}

bool QLNMsiPackage::IsSignatureVerificationEnabled() {
    const bool configured =
        KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetBool("MsiSignatureVerification");
    if (!KMWinOSUtils::IsRunningAsAdmin()) return configured;
    // With administrator rights the package is installed over everybody's
    // installation: the user's override and configuration cache can be written
    // by any program of the user, so only the administrators' value counts.
    const auto machine = qln::ReadMachineString(kSignatureSwitch);
    const bool machineOff = machine && qln::EqualsNoCase(*machine, L"false");
    if (!configured && !machineOff) {
        KM_LOG_WARN(L"MsiSignatureVerification=false from the user's settings is ignored with administrator rights; only "
                    L"HKLM\\Software\\Quillon\\KM can turn the signature check off");
    }
    return !machineOff;
}

namespace {

// WinVerifyTrust's answer for a file; signer receives the subject of the
// signing certificate when the answer is 0 (empty when it cannot be read).
// Without seam the system is asked even under a test's stand-in.
LONG TrustOf(const std::wstring& path, std::wstring& signer, bool seam = true) {
    signer.clear();
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_SAFER_FLAG;
    data.dwUIContext = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = CallWinVerifyTrust(nullptr, &action, &data, seam);
    // The signer is read from the state the verify call keeps until it is
    // closed, whatever its result.
    if (status == 0 && data.hWVTStateData) {
        CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signerInfo = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (signerInfo && signerInfo->csCertChain > 0 && signerInfo->pasCertChain && signerInfo->pasCertChain[0].pCert) {
            CERT_NAME_BLOB& subject = signerInfo->pasCertChain[0].pCert->pCertInfo->Subject;
            const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, &subject, CERT_X500_NAME_STR, nullptr, 0);
            if (length > 1) {
                signer.assign(length, L'\0');
                ::CertNameToStrW(X509_ASN_ENCODING, &subject, CERT_X500_NAME_STR, signer.data(), length);
                signer.resize(length - 1);
            }
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    CallWinVerifyTrust(nullptr, &action, &data, seam);
    return status;
}

// The subject names a package's signer must have; empty when neither this
// program is validly signed nor the administrators list any (a developer
// build). Read once per process: neither changes while it runs.
const std::vector<std::wstring>& OurPublishers() {
    static const std::vector<std::wstring> publishers = [] {
        std::vector<std::wstring> names = qln::ReadMachineStrings(QLNMsiPackage::kPublishersValue);
        std::wstring own;
        const std::wstring image = GetModuleFinalPath();
        if (!image.empty() && TrustOf(image, own, false) == 0 && !own.empty()) names.push_back(own);
        CRegStdString user(std::wstring(L"Software\\Quillon\\KM\\") + QLNMsiPackage::kPublishersValue, L"");
        if (!user.Read().empty() ||
            !KMConfigManager::Instance().GetConfig(KMConfig::GetEffectiveRepo()).GetValue("PackagePublishers", L"").empty()) {
            KM_LOG_WARN(L"PackagePublishers from the user's settings is ignored; only HKLM\\Software\\Quillon\\KM names "
                        L"the publishers of packages");
        }
        if (names.empty()) {
            KM_LOG_WARN(L"This program carries no valid signature and HKLM\\Software\\Quillon\\KM names no "
                        L"PackagePublishers: a package's publisher is not compared");
        }
        return names;
    }();
    return publishers;
}

// Dotted numbers of a product version ("1.16.40016.2400"); missing ones are 0.
std::array<std::uint32_t, 4> VersionNumbers(const std::wstring& text) {
    std::array<std::uint32_t, 4> numbers{};
    size_t part = 0;
    for (const wchar_t c : text) {
        if (c == L'.') {
            if (++part == numbers.size()) break;
        } else if (c >= L'0' && c <= L'9') {
            numbers[part] = numbers[part] * 10 + static_cast<std::uint32_t>(c - L'0');
        } else {
            return {};
        }
    }
    return numbers;
}

// Our product, and newer than the release Windows Installer has registered.
bool IsOurNewerProduct(const std::wstring& path) {
    std::wstring upgradeCode;
    std::wstring version;
    const UINT codeStatus = QLNWindowsInstaller::GetPackageProperty(path, L"UpgradeCode", upgradeCode);
    const UINT versionStatus = QLNWindowsInstaller::GetPackageProperty(path, L"ProductVersion", version);
    if (codeStatus != ERROR_SUCCESS || !qln::EqualsNoCase(upgradeCode, QLNMsiPackage::kUpgradeCode)) {
        KM_LOG_ERROR(L"MSI package {} is not our product: its UpgradeCode is '{}' (status {}), ours {}", path, upgradeCode,
                     codeStatus, QLNMsiPackage::kUpgradeCode);
        return false;
    }
    wchar_t productCode[39] = {};
    std::wstring installed;
    if (QLNWindowsInstaller::EnumFirstRelatedProduct(QLNMsiPackage::kUpgradeCode, productCode) != ERROR_SUCCESS ||
        QLNWindowsInstaller::GetProductVersion(productCode, installed) != ERROR_SUCCESS || installed.empty()) {
        return true;  // nothing registered to be newer than
    }
    if (versionStatus != ERROR_SUCCESS || VersionNumbers(version) <= VersionNumbers(installed)) {
        KM_LOG_ERROR(L"MSI package {} has version '{}', not newer than the installed {}", path, version, installed);
        return false;
    }
    return true;
}

}  // namespace

QLNMsiPackage::Verdict QLNMsiPackage::CheckSignature(const std::wstring& path) {
    if (!IsSignatureVerificationEnabled()) {
        KM_LOG_WARN(L"Digital signature verification is disabled by config, skipping: {}", path);
        return Verdict::Verified;
    }
    std::wstring signer;
    const LONG status = TrustOf(path, signer);
    if (status != 0) {
        KM_LOG_WARN(L"Digital signature verification failed for '{}', status: 0x{:08X}", path,
                    static_cast<std::uint32_t>(status));
        return Verdict::Unverified;
    }
    const auto& publishers = OurPublishers();
    if (!publishers.empty() &&
        std::none_of(publishers.begin(), publishers.end(), [&](const std::wstring& ours) { return qln::EqualsNoCase(ours, signer); })) {
        KM_LOG_ERROR(L"MSI package {} is signed by '{}', not by our publisher '{}'", path, signer, publishers.back());
        return Verdict::Refused;
    }
    KM_LOG_DEBUG(L"Digital signature verified: {}", path);
    return Verdict::Verified;
}

QLNMsiPackage::Verdict QLNMsiPackage::CheckMsiPackage(const std::wstring& path) {
    if (!::PathFileExistsW(path.c_str())) {
        KM_LOG_ERROR(L"MSI file not found: {}", path);
        return Verdict::Unverified;
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        KM_LOG_ERROR(L"Failed to get file attributes: {}", path);
        return Verdict::Unverified;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    if (size < kMinimumPackageSize) {
        KM_LOG_ERROR(L"MSI file size {} bytes is below minimum {} bytes", size, kMinimumPackageSize);
        return Verdict::Unverified;
    }
    const Verdict signature = CheckSignature(path);
    if (signature == Verdict::Refused || !IsOurNewerProduct(path)) return Verdict::Refused;
    if (signature != Verdict::Verified) {
        KM_LOG_WARN(L"Digital signature verification failed for {}", path);
        return signature;
    }
    KM_LOG_INFO(L"MSI verification passed, size: {} bytes", size);
    return Verdict::Verified;
}

bool QLNMsiPackage::DownloadMsi(const QLNVersionInfo& info, const std::wstring& url, std::wstring& stagingDir,
                                std::wstring& msiPath, bool force) {
    stagingDir = BuildStagingDir(info);
    if (!CreateDirectoryPath(stagingDir)) {
        KM_LOG_ERROR(L"Failed to create staging directory: {}", stagingDir);
        return false;
    }
    KM_LOG_INFO(L"Staging directory: {}", stagingDir);
    msiPath = qln::JoinPath(stagingDir, PackageFileNameOf(url, info));
    KM_LOG_INFO(L"Downloading MSI from {}", url);
    return Download(url, msiPath, force);
}

namespace {

// fetch(force) places the package at msiPath; it is verified, fetched once
// more with force when that fails, and verified again. Without askUser a
// package that failed twice is returned unasked (true).
template <typename Fetch>
bool FetchVerified(Fetch fetch, const std::wstring& msiPath, bool askUser) {
    if (!fetch(false)) {
        KM_LOG_ERROR(L"Initial MSI download failed");
        return false;
    }
    if (QLNMsiPackage::CheckMsiPackage(msiPath) == QLNMsiPackage::Verdict::Verified) {
        KM_LOG_INFO(L"MSI verification passed on first attempt");
        return true;
    }
    KM_LOG_WARN(L"MSI verification failed, deleting and re-downloading: {}", msiPath);
    ::DeleteFileW(msiPath.c_str());
    if (!fetch(true)) {
        KM_LOG_ERROR(L"Forced MSI re-download failed");
        return false;
    }
    const QLNMsiPackage::Verdict verdict = QLNMsiPackage::CheckMsiPackage(msiPath);
    if (verdict == QLNMsiPackage::Verdict::Verified) {
        KM_LOG_INFO(L"MSI verification passed after re-download");
        return true;
    }
    if (verdict == QLNMsiPackage::Verdict::Refused) {
        // Validly signed by somebody else, another product or no upgrade:
        // nothing a user could know better about.
        KM_LOG_ERROR(L"MSI package refused after re-download: {}", msiPath);
        return false;
    }
    if (!askUser) {
        KM_LOG_WARN(L"MSI verification failed again after re-download");
        return true;
    }
    KM_LOG_WARN(L"MSI verification failed again after re-download, prompting user");
    if (!UpgradeQuestions().InstallUnverifiedPackage()) {
        KM_LOG_INFO(L"User cancelled upgrade due to verification failure");
        return false;
    }
    KM_LOG_INFO(L"User chose to continue with unverified MSI");
    return true;
}

}  // namespace

bool QLNMsiPackage::EnsureMsiReady(const QLNVersionInfo& info, const std::wstring& url, std::wstring& stagingDir,
                                   std::wstring& msiPath, bool askUser) {
    KM_LOG_INFO(L"EnsureMsiReady: version={}, url={}", info.version, url);
    return FetchVerified([&](bool force) { return DownloadMsi(info, url, stagingDir, msiPath, force); }, msiPath, askUser);
}

bool QLNMsiPackage::EnsureMsiReadyIn(const std::wstring& dir, const QLNVersionInfo& info, const std::wstring& url,
                                     std::wstring& msiPath) {
    KM_LOG_INFO(L"EnsureMsiReady: version={}, url={}, into {}", info.version, url, dir);
    const std::wstring name = PackageFileNameOf(url, info);
    msiPath = qln::JoinPath(dir, name);
    const std::wstring cached = qln::JoinPath(BuildStagingDir(info), name);
    return FetchVerified(
        [&](bool force) { return (!force && CopyFreshCachedPackage(cached, msiPath)) || Download(url, msiPath, true); },
        msiPath, false);
}

void QLNMsiPackage::CleanupStagingDir(const std::wstring& stagingDir) {
    if (KMWinOSUtils::IsRunningAsAdmin()) {
        // The folder is the user's: with administrator rights a junction
        // planted in it must be removed as a link, never followed.
        if (::PathFileExistsW(stagingDir.c_str()) && qln::RemoveDirectoryTree(stagingDir)) {
            KM_LOG_INFO(L"Staging directory cleaned up: {}", stagingDir);
        } else {
            KM_LOG_WARN(L"Failed to cleanup staging dir: {}, error: {}", stagingDir, ::GetLastError());
        }
        return;
    }
    // SHFileOperationW takes a list of NUL-terminated names ended by an
    // empty one.
    std::wstring from = stagingDir;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    if (!KMSystemLibrary::Require(L"shell32.dll")) return;
    const int result = ::SHFileOperationW(&operation);
    if (result != 0) {
        KM_LOG_WARN(L"Failed to cleanup staging dir: {}, error: {}", stagingDir, result);
        return;
    }
    KM_LOG_INFO(L"Staging directory cleaned up: {}", stagingDir);
}

std::wstring QLNMsiPackage::CreateMsiPackageAlias(const std::wstring& msiPath, const std::wstring& aliasDir) {
    KM_LOG_INFO(L"UpgradeCode: {}", kUpgradeCode);
    wchar_t productCode[39] = {};
    const UINT related = QLNWindowsInstaller::EnumFirstRelatedProduct(kUpgradeCode, productCode);
    if (related != ERROR_SUCCESS) {
        KM_LOG_INFO(L"No existing product found for UpgradeCode (ret={}), skip alias", related);
        return {};
    }
    std::wstring registeredName;
    const UINT infoStatus = QLNWindowsInstaller::GetProductPackageName(productCode, registeredName);
    if (infoStatus != ERROR_SUCCESS || registeredName.empty()) {
        KM_LOG_WARN(L"MsiGetProductInfo(PACKAGENAME) failed (ret={}), skip alias", infoStatus);
        return {};
    }
    // The name becomes a path below the staging directory: a name that is
    // not a plain file name must not place a file anywhere else.
    if (!qln::IsPlainFileName(registeredName)) {
        KM_LOG_WARN(L"Registered PackageName '{}' is not a plain file name, skip alias", registeredName);
        return {};
    }
    const std::wstring currentName = ::PathFindFileNameW(msiPath.c_str());
    if (qln::EqualsNoCase(currentName, registeredName)) {
        KM_LOG_INFO(L"MSI filename matches registered PackageName, no alias needed");
        return {};
    }
    KM_LOG_INFO(L"Registered PackageName='{}' differs from current '{}', creating alias", registeredName, currentName);
    const std::wstring aliasPath = qln::JoinPath(aliasDir, registeredName);
    ::DeleteFileW(aliasPath.c_str());
    if (::CreateHardLinkW(aliasPath.c_str(), msiPath.c_str(), nullptr)) {
        KM_LOG_INFO(L"Created hardlink alias: {}", aliasPath);
        return aliasPath;
    }
    if (::CopyFileW(msiPath.c_str(), aliasPath.c_str(), FALSE)) {
        KM_LOG_INFO(L"Created copy alias: {}", aliasPath);
        return aliasPath;
    }
    KM_LOG_WARN(L"Failed to create alias (err={}), installation may fail", ::GetLastError());
    return {};
}

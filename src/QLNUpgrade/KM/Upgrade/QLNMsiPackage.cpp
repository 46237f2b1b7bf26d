#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <fmt/xchar.h>

#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
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

LONG CallWinVerifyTrust(HWND window, GUID* action, WINTRUST_DATA* data) noexcept {
    if (qln::seams::g_winVerifyTrust) return qln::seams::g_winVerifyTrust(window, action, data);
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

std::wstring QLNMsiPackage::VersionFolderName(const std::wstring& version) {
    // The version becomes a directory name: anything that could climb out of
    // the parent folder or is not valid in a name is dropped.
    std::wstring name;
    for (const wchar_t c : version) {
        if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.')
            name.push_back(c);
    }
    // Dots alone would name the folder itself or its parent.
    if (name.find_first_not_of(L'.') == std::wstring::npos) name = L"unknown";
    return name;
}

std::wstring QLNMsiPackage::BuildStagingDir(const QLNVersionInfo& info) {
    wchar_t tempPath[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tempPath);
    return fmt::format(L"{}QLNUpgrade\\{}", tempPath, VersionFolderName(info.version));
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

bool QLNMsiPackage::VerifyDigitalSignature(const std::wstring& path) {
    if (!IsSignatureVerificationEnabled()) {
        KM_LOG_WARN(L"Digital signature verification is disabled by config, skipping: {}", path);
        return true;
    }
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
    const LONG status = CallWinVerifyTrust(nullptr, &action, &data);
    // The verify call keeps state until it is closed, whatever its result.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    CallWinVerifyTrust(nullptr, &action, &data);

    if (status == 0) {
        KM_LOG_DEBUG(L"Digital signature verified: {}", path);
        return true;
    }
    KM_LOG_WARN(L"Digital signature verification failed for '{}', status: 0x{:08X}", path,
                static_cast<std::uint32_t>(status));
    return false;
}

bool QLNMsiPackage::VerifyMsiPackage(const std::wstring& path) {
    if (!::PathFileExistsW(path.c_str())) {
        KM_LOG_ERROR(L"MSI file not found: {}", path);
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        KM_LOG_ERROR(L"Failed to get file attributes: {}", path);
        return false;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    if (size < kMinimumPackageSize) {
        KM_LOG_ERROR(L"MSI file size {} bytes is below minimum {} bytes", size, kMinimumPackageSize);
        return false;
    }
    if (!VerifyDigitalSignature(path)) {
        KM_LOG_WARN(L"Digital signature verification failed for {}", path);
        return false;
    }
    KM_LOG_INFO(L"MSI verification passed, size: {} bytes", size);
    return true;
}

bool QLNMsiPackage::DownloadMsi(const QLNVersionInfo& info, const std::wstring& url, std::wstring& stagingDir,
                                std::wstring& msiPath, bool force) {
    stagingDir = BuildStagingDir(info);
    if (!CreateDirectoryPath(stagingDir)) {
        KM_LOG_ERROR(L"Failed to create staging directory: {}", stagingDir);
        return false;
    }
    KM_LOG_INFO(L"Staging directory: {}", stagingDir);
    msiPath = stagingDir + L"\\" + PackageFileNameOf(url, info);
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
    if (QLNMsiPackage::VerifyMsiPackage(msiPath)) {
        KM_LOG_INFO(L"MSI verification passed on first attempt");
        return true;
    }
    KM_LOG_WARN(L"MSI verification failed, deleting and re-downloading: {}", msiPath);
    ::DeleteFileW(msiPath.c_str());
    if (!fetch(true)) {
        KM_LOG_ERROR(L"Forced MSI re-download failed");
        return false;
    }
    if (QLNMsiPackage::VerifyMsiPackage(msiPath)) {
        KM_LOG_INFO(L"MSI verification passed after re-download");
        return true;
    }
    if (!askUser) {
        KM_LOG_WARN(L"MSI verification failed again after re-download");
        return true;
    }
    KM_LOG_WARN(L"MSI verification failed again after re-download, prompting user");
    if (!QLNUpgradeUI::PromptUnverifiedPackage()) {
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
    msiPath = dir + L"\\" + name;
    const std::wstring cached = BuildStagingDir(info) + L"\\" + name;
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
    if (::CompareStringOrdinal(currentName.c_str(), -1, registeredName.c_str(), -1, TRUE) == CSTR_EQUAL) {
        KM_LOG_INFO(L"MSI filename matches registered PackageName, no alias needed");
        return {};
    }
    KM_LOG_INFO(L"Registered PackageName='{}' differs from current '{}', creating alias", registeredName, currentName);
    const std::wstring aliasPath = aliasDir + L"\\" + registeredName;
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

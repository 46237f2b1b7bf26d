#pragma once
// The installer package (MSI) of a target release on the local disk: its
// download address, a per-version staging directory below the user's
// temporary folder, a one-day cache, size and signature verification, one
// forced re-download and the user's last word, and the alias under the file
// name that the installed product registered with Windows Installer.
//
// Stateless apart from the files it produces; every operation runs on the
// calling thread and downloads block it. Nothing throws.

#include <windows.h>

#include <cstdint>
#include <string>

class QLNVersionInfo;

class QLNMsiPackage {
public:
    // The product's UpgradeCode, shared by every release.
    static constexpr wchar_t kUpgradeCode[] = L"{4F2A7C10-9B3E-4D21-8C55-1E6B0A9D3F72}";
    // Smaller packages fail verification.
    static constexpr std::uint64_t kMinimumPackageSize = 1048576;
    // A cached package is reused while it is younger than this.
    static constexpr std::uint64_t kCacheLifetimeSeconds = 86400;

    // "-zh_CN" for a Simplified Chinese installation (LanguageID under
    // HKCU\Software\Quillon, default 1033), otherwise empty.
    [[nodiscard]] static std::wstring GetInstalledLanguageSuffix();
    // True for the Simplified Chinese language ids (primary 4, sub 2 or 4).
    [[nodiscard]] static bool IsSimplifiedChinese(DWORD languageId) noexcept;

    // The package address on the build's service host for the machine's
    // platform and the installed language.
    [[nodiscard]] static std::wstring BuildDownloadUrl(const QLNVersionInfo& info);

    // <temp>\QLNUpgrade\<VersionFolderName>. Does not create it.
    [[nodiscard]] static std::wstring BuildStagingDir(const QLNVersionInfo& info);

    // The package file name for an address: the text after its last "/", or
    // "Quillon-<version>-<platform>.msi" when the address has no "/".
    [[nodiscard]] static std::wstring PackageFileNameOf(const std::wstring& url, const QLNVersionInfo& info);

    // True when the file is at least a day old by its last-write time (UTC),
    // written in the future, or its attributes cannot be read.
    [[nodiscard]] static bool IsCacheExpired(const std::wstring& path);

    // Downloads url to dest. Without force an existing, unexpired dest is
    // kept as it is and an expired one is deleted first. After a failed
    // download no file remains at dest.
    [[nodiscard]] static bool Download(const std::wstring& url, const std::wstring& dest, bool force);

    // The value that turns the signature check off. Without administrator
    // rights it is the configuration key (server configuration, the user's
    // override); with them only REG_SZ "false" under HKLM\Software\Quillon\KM
    // counts, and a user-level "false" is ignored with a warning.
    static constexpr wchar_t kSignatureSwitch[] = L"MsiSignatureVerification";

    // The HKLM value (REG_MULTI_SZ) with the subject names of signing
    // certificates that are ours besides the one that signed this program
    // (for a change of certificate). The same name under HKCU or in the
    // configuration is ignored with a warning.
    static constexpr wchar_t kPublishersValue[] = L"PackagePublishers";

    // What a package check found.
    enum class Verdict {
        Verified,    // every check passed
        Unverified,  // missing, too small, or no valid signature: the user may still decide
        Refused,     // not our publisher, not our product, or not newer: never installed
    };

    // Authenticode check through WinVerifyTrust, then the publisher: the
    // signing certificate's subject must be that of the certificate that
    // signed this program, or one that an administrator lists under
    // kPublishersValue (without either, a developer build, a warning says
    // that no publisher is compared). Verified without a check when the
    // signature check is off (see above).
    [[nodiscard]] static Verdict CheckSignature(const std::wstring& path);
    [[nodiscard]] static bool VerifyDigitalSignature(const std::wstring& path) {
        return CheckSignature(path) == Verdict::Verified;
    }

    // Exists and is at least 1 MiB (else Unverified); is our product
    // (UpgradeCode) and newer than the release Windows Installer has
    // registered for it (else Refused); passes CheckSignature.
    [[nodiscard]] static Verdict CheckMsiPackage(const std::wstring& path);
    [[nodiscard]] static bool VerifyMsiPackage(const std::wstring& path) {
        return CheckMsiPackage(path) == Verdict::Verified;
    }

    // Creates the staging directory of the version and downloads the package
    // into it (see Download). stagingDir and msiPath are set before the
    // download starts.
    [[nodiscard]] static bool DownloadMsi(const QLNVersionInfo& info, const std::wstring& url, std::wstring& stagingDir,
                                          std::wstring& msiPath, bool force);

    // A package that is ready to install: the cached or downloaded one if it
    // verifies, else one forced re-download, else the user decides through
    // QLNUpgradeUI::PromptUnverifiedPackage. False when no package is usable
    // (a package refused twice is never asked about). Without askUser a
    // package that failed twice unverified is returned unasked (true), for a
    // caller that asks about it once it holds the file.
    [[nodiscard]] static bool EnsureMsiReady(const QLNVersionInfo& info, const std::wstring& url, std::wstring& stagingDir,
                                             std::wstring& msiPath, bool askUser = true);

    // EnsureMsiReady for a run with administrator rights, without asking: the
    // package in dir (its protected workspace), never written, renamed or
    // deleted in the user's download cache. A fresh cached package there is
    // opened for reading only, sharing nothing but reading, and copied into
    // dir from that handle; a missing, stale or failing one is downloaded
    // into dir (its ".partial" file there too). msiPath receives the package.
    [[nodiscard]] static bool EnsureMsiReadyIn(const std::wstring& dir, const QLNVersionInfo& info, const std::wstring& url,
                                               std::wstring& msiPath);

    // Deletes the staging directory tree; failures are only logged.
    static void CleanupStagingDir(const std::wstring& stagingDir);

    // When an installed product of the UpgradeCode registered a package name
    // other than the file name of msiPath (compared without regard to case),
    // places the package under that name in aliasDir (hard link, else copy)
    // and returns the alias path; otherwise, and on every failure, empty.
    [[nodiscard]] static std::wstring CreateMsiPackageAlias(const std::wstring& msiPath, const std::wstring& aliasDir);

private:
    [[nodiscard]] static bool IsSignatureVerificationEnabled();
};

namespace qln::seams {

// Stands in for the one WinVerifyTrust call of the signature check (the
// closing call is still made through the same pointer with
// WTD_STATEACTION_CLOSE). Null in the product; tests set it to report
// statuses that Wine cannot produce (untrusted signer, tampered file).
using WinVerifyTrustFn = LONG (*)(HWND window, GUID* action, void* data);
inline WinVerifyTrustFn g_winVerifyTrust = nullptr;

}  // namespace qln::seams

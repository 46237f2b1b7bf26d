#pragma once
// Everything the daemon hands to Windows Installer, in one place: the
// msiexec.exe command lines, the launches, and the two msi.dll queries about
// the installed product. Callers keep their own logging and wait policy.
//
// Tests stand in for msiexec.exe through the seams at the bottom; the command
// line and parameters stay exactly as in the product, only the program that
// receives them changes (see tests/tools/qln_fake_msiexec).

#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>

#include "Utils/UniqueHandle.h"

class QLNWindowsInstaller {
public:
    static constexpr wchar_t kMsiexec[] = L"msiexec.exe";
    // %SystemRoot%\System32\msiexec.exe, the folder as the system names it:
    // the installer is never looked for anywhere else (a folder searched
    // before the system's may hold a program of the user's of that name).
    [[nodiscard]] static std::wstring SystemMsiexecPath();

    // Exit codes of msiexec.exe that the strategies tell apart.
    static constexpr DWORD kExitSuccess = 0;
    static constexpr DWORD kExitUserCancelled = 1602;       // ERROR_INSTALL_USEREXIT
    static constexpr DWORD kExitRebootInitiated = 1641;     // ERROR_SUCCESS_REBOOT_INITIATED
    static constexpr DWORD kExitRebootRequired = 3010;      // ERROR_SUCCESS_REBOOT_REQUIRED

    // What msiexec.exe is asked to do.
    enum class Run {
        AdministrativeExtraction,  // msiexec.exe /a "<package>" /qn TARGETDIR="<dir>" (a whole command line)
        SilentInstall,             // /i "<package>" /qn /norestart /l*v "<log>" (parameters)
        InteractiveInstall,        // /i "<package>" /l*v "<log>" (parameters)
    };
    // The one place that puts paths on an msiexec command line. A path with a
    // double quote or a control character would end its quoted argument and
    // add arguments of its own (a TRANSFORMS= of somebody else's, say): it is
    // refused with an error line and nothing is returned, never a command
    // line that says more than it should.
    [[nodiscard]] static std::optional<std::wstring> BuildCommandLine(Run run, const std::wstring& package,
                                                                      const std::wstring& path);

    // Starts the extraction command line as a child without a window
    // (CreateProcessW with SystemMsiexecPath as the application name,
    // CREATE_NO_WINDOW). On success the
    // caller owns both handles of info; on failure returns false with the
    // Windows error in error (info is then empty).
    [[nodiscard]] static bool StartAdministrativeExtraction(const std::wstring& commandLine, PROCESS_INFORMATION& info,
                                                            DWORD& error) noexcept;

    // Starts SystemMsiexecPath with the parameters through ShellExecuteExW (mask
    // SEE_MASK_NOCLOSEPROCESS, verb "runas" when elevate, the show command).
    // On success process holds the process handle when the shell returned one
    // (it may not). On failure returns false with the Windows error in error;
    // ERROR_CANCELLED (1223) means the elevation prompt was declined.
    [[nodiscard]] static bool StartInstaller(const std::wstring& parameters, int showCommand, bool elevate,
                                             qln::UniqueHandle& process, DWORD& error) noexcept;

    // The first installed product related to the UpgradeCode (msi.dll
    // ordinal 205, index 0); productCode receives it. 0 when found, otherwise
    // the installer's code (or the loader's error when msi.dll is missing).
    [[nodiscard]] static UINT EnumFirstRelatedProduct(const wchar_t* upgradeCode, wchar_t (&productCode)[39]) noexcept;

    // The "PackageName" of an installed product (msi.dll ordinal 70,
    // MsiGetProductInfoW, 260 characters). 0 on success.
    [[nodiscard]] static UINT GetProductPackageName(const wchar_t* productCode, std::wstring& packageName) noexcept;
    // The "VersionString" of an installed product. 0 on success.
    [[nodiscard]] static UINT GetProductVersion(const wchar_t* productCode, std::wstring& version) noexcept;
    // Where an installed product lies: its InstallLocation, else the folder
    // above the "bin" folder of its registered bin\QLNUpgrade.exe (the
    // product's components, whatever their codes). 0 with root set (no
    // trailing backslash); ERROR_FILE_NOT_FOUND when neither is registered.
    [[nodiscard]] static UINT GetProductInstallRoot(const wchar_t* productCode, std::wstring& root) noexcept;

    // The value of a property in a package's Property table, the package
    // opened read-only. 0 on success; ERROR_NOT_FOUND when it has none.
    [[nodiscard]] static UINT GetPackageProperty(const std::wstring& package, const wchar_t* property,
                                                 std::wstring& value) noexcept;
};

namespace qln::seams {

// Full path of a program started in place of the system's msiexec.exe by
// both launches, with the same command line or parameters. Null in the
// product.
inline const wchar_t* g_msiexecProgram = nullptr;

// Replaces ShellExecuteExW for the installer launch (for outcomes a stand-in
// program cannot produce, such as a declined elevation prompt: set the error
// with SetLastError and return FALSE). Null in the product.
using ShellExecuteExFn = BOOL (*)(SHELLEXECUTEINFOW* info);
inline ShellExecuteExFn g_installerShellExecuteEx = nullptr;

}  // namespace qln::seams

#pragma once
// Process and session control: finding, stopping and starting processes (the
// status cache QLNCache.exe in particular), restarting Explorer, rebooting,
// the elevation test and the machine's processor platform.
//
// Nothing here throws; results and the log tell the outcome. The functions
// share no state apart from the cached platform name and may be called from
// any thread. Waits are bounded: IsProcessRunning waits at most 3 s,
// TerminateProcessByWindow at most 10 x 500 ms; nothing waits for a process
// to end after TerminateProcess or for a started process to initialise.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// The session a process runs in (ProcessIdToSessionId); MAXDWORD when it
// cannot be told.
[[nodiscard]] DWORD SessionOfProcess(DWORD pid) noexcept;

// Starts the program (application name only, no command line, the daemon's
// environment and current directory) and does not wait for it. Never with
// more rights than the user's shell: a process with administrator rights
// whose session's shell runs without them starts it with the shell's token.
// True when the process was created.
[[nodiscard]] bool RunProgram(const std::wstring& path) noexcept;

class KMWinOSUtils {
public:
    // Executable and window of the status cache.
    static constexpr wchar_t kQLNCacheExe[] = L"QLNCache.exe";
    static constexpr wchar_t kQLNCacheWindow[] = L"QLNCacheWindow";
    // Set by an elevated copy that stopped the status cache and would now
    // start it again: the daemon that waits for the copy starts it, with the
    // user's rights. Per logon session (Local\).
    static constexpr wchar_t kQLNCacheStoppedEvent[] = L"Local\\QLNUpgradeStatusCacheStopped";

    // Appends to ids the ids of the processes of the daemon's own session
    // whose executable name equals name (case-insensitive); stops after the
    // first match when firstOnly. Existing entries stay. False only when the
    // process list could not be taken.
    [[nodiscard]] static bool GetProcessIds(const std::wstring& name, std::vector<DWORD>& ids, bool firstOnly) noexcept;

    // 0 on success (does not wait for the end), ERROR_INVALID_PARAMETER (87)
    // for id 0, ERROR_FUNCTION_FAILED (1627) when opening or terminating failed.
    [[nodiscard]] static DWORD TerminateProcessById(DWORD pid) noexcept;

    // Closes the status cache through its window ("QLNCacheWindow"): WM_CLOSE,
    // up to 10 x 500 ms for the window to go, then termination of the window's
    // process. 0 when the window is gone (or was never there), 1627 otherwise.
    [[nodiscard]] static DWORD TerminateProcessByWindow() noexcept;

    // Terminates every process of that executable name. True when at least
    // one was found and all of them were terminated.
    [[nodiscard]] static bool TerminateProcessByName(const std::wstring& name) noexcept;

    // Whether a process of that executable name runs. The process list is
    // taken on a probe thread; after 3 s without an answer the call gives up
    // and returns false (the probe is abandoned, not killed).
    [[nodiscard]] static bool IsProcessRunning(const std::wstring& name) noexcept;

    // Explorer only: true when "explorer.exe" runs, otherwise starts path and
    // tells whether that worked.
    [[nodiscard]] static bool MakeProcessExist(const std::wstring& path) noexcept;

    // The status cache: its window exists or a QLNCache.exe process runs.
    [[nodiscard]] static bool IsQLNCacheProcessRunning() noexcept;
    // Starts QLNCache.exe from the daemon's own directory unless it runs.
    // True when it runs or was started (its window may not exist yet).
    [[nodiscard]] static bool RunQLNCacheProcess() noexcept;
    // Window first, then every QLNCache.exe by name. 0 on success (also when
    // no cache ran), 1627 when every way failed.
    [[nodiscard]] static DWORD TerminateQLNCacheProcess() noexcept;

    // Terminates every explorer.exe, waits a second and starts Explorer from
    // the Windows directory unless Windows already did. Failures are logged.
    static void RestartExplorer() noexcept;

    // Enables the shutdown privilege and starts a forced restart of the
    // machine (ExitWindowsEx, then InitiateSystemShutdownW). True when a
    // restart was started.
    [[nodiscard]] static bool RebootSystem() noexcept;

    // Whether the process token is elevated.
    [[nodiscard]] static bool IsRunningAsAdmin() noexcept;

    // Whether the token of the session's shell (the process of the shell
    // window) is elevated; empty when there is no shell window or its token
    // cannot be read (Wine has no shell window).
    [[nodiscard]] static std::optional<bool> IsShellElevated() noexcept;
    // Starts path with the command line (the program's quoted path first)
    // under a copy of the shell's token, without waiting. False, logged, when
    // there is no shell or the start failed.
    [[nodiscard]] static bool RunAsShell(const std::wstring& path, const std::wstring& commandLine) noexcept;

    // "win32", "x64" or "ARM64": the machine's native platform (not the
    // daemon's own build), computed once per process.
    [[nodiscard]] static const std::wstring& GetMachinePlatformName() noexcept;

    // Maps a native machine value (IMAGE_FILE_MACHINE_*) to its platform name;
    // unknown values (including 0) give "x64".
    [[nodiscard]] static const wchar_t* PlatformNameOf(USHORT nativeMachine) noexcept;
};

namespace qln::seams {

// Session effects that a test must never cause for real. Each pointer is null
// in the product, which then makes the real call; tests set them (and reset
// them to null afterwards) to observe or steer the call.
//   g_restartExplorer        replaces the whole of KMWinOSUtils::RestartExplorer.
//   g_exitWindowsEx          replaces ExitWindowsEx in RebootSystem.
//   g_initiateSystemShutdown replaces InitiateSystemShutdownW in RebootSystem.
//   g_isRunningAsAdmin       replaces the token test of IsRunningAsAdmin (every
//                            Wine process is elevated).
using RestartExplorerFn = void (*)();
using ExitWindowsExFn = BOOL (*)(UINT flags, DWORD reason);
using InitiateSystemShutdownFn = BOOL (*)(LPWSTR machine, LPWSTR message, DWORD timeoutSeconds, BOOL forceAppsClosed,
                                          BOOL rebootAfterShutdown);
using IsRunningAsAdminFn = bool (*)();
//   g_processSessionId       replaces SessionOfProcess where processes are
//                            looked up by name (Wine has one session only).
using ProcessSessionIdFn = DWORD (*)(DWORD pid) noexcept;
inline ProcessSessionIdFn g_processSessionId = nullptr;
inline RestartExplorerFn g_restartExplorer = nullptr;
inline ExitWindowsExFn g_exitWindowsEx = nullptr;
inline InitiateSystemShutdownFn g_initiateSystemShutdown = nullptr;
inline IsRunningAsAdminFn g_isRunningAsAdmin = nullptr;
//   g_isShellElevated        replaces the token test of IsShellElevated.
//   g_runAsShell             replaces the start of RunAsShell.
using IsShellElevatedFn = std::optional<bool> (*)();
using RunAsShellFn = bool (*)(const std::wstring& path, const std::wstring& commandLine);
inline IsShellElevatedFn g_isShellElevated = nullptr;
inline RunAsShellFn g_runAsShell = nullptr;

}  // namespace qln::seams

#include "Utils/KM/KMWinOSUtils.h"

#include <tlhelp32.h>

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/UniqueHandle.h"
#include "Utils/StringConv.h"

namespace {

constexpr DWORD kProbeTimeoutMs = 3000;
constexpr int kWindowCloseChecks = 10;
constexpr DWORD kWindowCloseCheckIntervalMs = 500;
constexpr DWORD kExplorerRestartPauseMs = 1000;

HWND FindQLNCacheWindow() noexcept {
    return ::FindWindowW(KMWinOSUtils::kQLNCacheWindow, KMWinOSUtils::kQLNCacheWindow);
}

// What a process probe hands back. Shared between the caller and the probe
// thread, so an answer that arrives after the caller gave up still has
// somewhere to go; the last owner frees it.
struct ProcessProbe {
    qln::UniqueHandle done;
    std::atomic<bool> found{false};
};

BOOL SystemExitWindowsEx(UINT flags, DWORD reason) {
    return ::ExitWindowsEx(flags, reason);
}

BOOL SystemInitiateShutdown(LPWSTR machine, LPWSTR message, DWORD timeoutSeconds, BOOL force, BOOL reboot) {
    return ::InitiateSystemShutdownW(machine, message, timeoutSeconds, force, reboot);
}

// A primary token of the session's shell, to start programs with its rights;
// null when there is no shell window or its token cannot be had.
qln::UniqueHandle OpenShellToken(DWORD access) noexcept {
    DWORD pid = 0;
    const HWND shell = ::GetShellWindow();
    if (!shell || !::GetWindowThreadProcessId(shell, &pid) || pid == 0) return {};
    qln::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    qln::UniqueHandle token;
    if (!process || !::OpenProcessToken(process.get(), access, token.put())) return {};
    return token;
}

bool IsTokenElevated(HANDLE token) noexcept {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

// Starts the program under a copy of the shell's token (taken beforehand:
// Explorer's restart needs it after the shell has gone).
bool RunWithToken(HANDLE shellToken, const std::wstring& path, const std::wstring& commandLine) noexcept {
    qln::UniqueHandle primary;
    if (!shellToken || !::DuplicateTokenEx(shellToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                                           primary.put())) {
        KM_LOG_ERROR(L"Cannot take the shell's token to start {}, error: {}", path, ::GetLastError());
        return false;
    }
    std::wstring buffer = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessWithTokenW(primary.get(), 0, path.c_str(), buffer.data(), CREATE_UNICODE_ENVIRONMENT, nullptr,
                                   nullptr, &startup, &info)) {
        KM_LOG_ERROR(L"Cannot start {} with the shell's rights, error: {}", path, ::GetLastError());
        return false;
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return true;
}

constexpr DWORD kShellTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY;

// True when a program started now must take the shell's token: this process
// has administrator rights that the user's shell does not have.
bool MustStartAsShell() noexcept {
    return KMWinOSUtils::IsRunningAsAdmin() && KMWinOSUtils::IsShellElevated() == false;
}

}  // namespace

bool RunProgram(const std::wstring& path) noexcept {
    if (MustStartAsShell()) {
        try {
            return KMWinOSUtils::RunAsShell(path, L"\"" + path + L"\"");
        } catch (...) {
            return false;
        }
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                          &startup, &info)) {
        return false;
    }
    // Nobody waits for the child.
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return true;
}

DWORD SessionOfProcess(DWORD pid) noexcept {
    DWORD session = 0;
    // A process whose session cannot be told (it ended, or is protected) is
    // nobody's: it matches no session.
    return ::ProcessIdToSessionId(pid, &session) ? session : MAXDWORD;
}

bool KMWinOSUtils::GetProcessIds(const std::wstring& name, std::vector<DWORD>& ids, bool firstOnly) noexcept {
    qln::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        KM_LOG_ERROR(L"failed to create process snapshot");
        return false;
    }
    // The snapshot lists every session's processes: another user's status
    // cache or shell is not ours to find, stop or count as running.
    const auto sessionOf = qln::seams::g_processSessionId ? qln::seams::g_processSessionId : &SessionOfProcess;
    const DWORD ownSession = sessionOf(::GetCurrentProcessId());
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (!qln::EqualsNoCase(entry.szExeFile, name) || sessionOf(entry.th32ProcessID) != ownSession) continue;
        try {
            ids.push_back(entry.th32ProcessID);
        } catch (...) {
            // Out of memory: the ids found so far are the answer.
            break;
        }
        if (firstOnly) break;
    }
    return true;
}

DWORD KMWinOSUtils::TerminateProcessById(DWORD pid) noexcept {
    if (pid == 0) {
        KM_LOG_DEBUG(L"invalid process ID");
        return ERROR_INVALID_PARAMETER;
    }
    KM_LOG_DEBUG(L"attempting direct process termination, PID: {}", pid);
    qln::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (!process) {
        KM_LOG_ERROR(L"failed to open process, PID: {}, error: {}", pid, ::GetLastError());
        return ERROR_FUNCTION_FAILED;
    }
    if (!::TerminateProcess(process.get(), 1)) {
        KM_LOG_ERROR(L"failed to terminate process, PID: {}, error: {}", pid, ::GetLastError());
        return ERROR_FUNCTION_FAILED;
    }
    KM_LOG_DEBUG(L"process terminated, PID: {}", pid);
    return ERROR_SUCCESS;
}

DWORD KMWinOSUtils::TerminateProcessByWindow() noexcept {
    const HWND window = FindQLNCacheWindow();
    if (!window) {
        KM_LOG_DEBUG(L"window '{}' not found, process may already be terminated", kQLNCacheWindow);
        return ERROR_SUCCESS;
    }
    KM_LOG_DEBUG(L"sending WM_CLOSE to window '{}'", kQLNCacheWindow);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    for (int i = 0; i < kWindowCloseChecks; ++i) {
        ::Sleep(kWindowCloseCheckIntervalMs);
        if (!::IsWindow(window)) {
            KM_LOG_DEBUG(L"window '{}' closed gracefully", kQLNCacheWindow);
            return ERROR_SUCCESS;
        }
    }
    KM_LOG_DEBUG(L"WM_CLOSE failed for window '{}', trying direct termination", kQLNCacheWindow);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (TerminateProcessById(pid) == ERROR_SUCCESS) {
        KM_LOG_DEBUG(L"process terminated directly via window '{}'", kQLNCacheWindow);
        return ERROR_SUCCESS;
    }
    KM_LOG_ERROR(L"all window-based termination methods failed for '{}'", kQLNCacheWindow);
    return ERROR_FUNCTION_FAILED;
}

bool KMWinOSUtils::TerminateProcessByName(const std::wstring& name) noexcept {
    std::vector<DWORD> ids;
    if (!GetProcessIds(name, ids, false)) {
        KM_LOG_ERROR(L"failed to get process IDs for '{}'", name);
        return false;
    }
    if (ids.empty()) {
        KM_LOG_DEBUG(L"no process found for '{}'", name);
        return false;
    }
    bool all = true;
    for (const DWORD pid : ids) {
        // Every process gets its attempt, also after one failed.
        if (TerminateProcessById(pid) != ERROR_SUCCESS) all = false;
    }
    return all;
}

bool KMWinOSUtils::IsProcessRunning(const std::wstring& name) noexcept {
    std::shared_ptr<ProcessProbe> probe;
    try {
        probe = std::make_shared<ProcessProbe>();
        probe->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!probe->done) return false;
        // The thread owns a copy of the name and of the probe: when the wait
        // below times out the caller is gone, but the thread may still be
        // inside the snapshot calls and must be left to finish (killing it
        // could leave a loader or heap lock held).
        std::thread([probe, name] {
            std::vector<DWORD> ids;
            const bool ok = GetProcessIds(name, ids, true);
            probe->found = ok && !ids.empty();
            ::SetEvent(probe->done.get());
        }).detach();
    } catch (...) {
        return false;
    }
    if (::WaitForSingleObject(probe->done.get(), kProbeTimeoutMs) == WAIT_OBJECT_0) {
        const bool found = probe->found;
        KM_LOG_DEBUG(L"{} {}", name, found ? L"running" : L"not running");
        return found;
    }
    KM_LOG_ERROR(L"timeout for {}", name);
    return false;
}

bool KMWinOSUtils::MakeProcessExist(const std::wstring& path) noexcept {
    if (IsProcessRunning(L"explorer.exe")) return true;
    if (!RunProgram(path)) {
        KM_LOG_ERROR(L"{}: failed to start, path: {}", L"explorer.exe", path);
        return false;
    }
    KM_LOG_INFO(L"{}: start successfully, path: {}", L"explorer.exe", path);
    return true;
}

bool KMWinOSUtils::IsQLNCacheProcessRunning() noexcept {
    const HWND window = FindQLNCacheWindow();
    if (window && ::IsWindow(window)) {
        KM_LOG_DEBUG(L"{} is running", kQLNCacheExe);
        return true;
    }
    return IsProcessRunning(kQLNCacheExe);
}

bool KMWinOSUtils::RunQLNCacheProcess() noexcept {
    if (IsQLNCacheProcessRunning()) {
        KM_LOG_INFO(L"QLNCache.exe: already running");
        return true;
    }
    std::wstring path;
    try {
        path = GetAppDirectory() + kQLNCacheExe;
    } catch (...) {
        KM_LOG_ERROR(L"QLNCache.exe: failed to start");
        return false;
    }
    KM_LOG_INFO(L"QLNCache.exe: starting {}", path);
    if (!RunProgram(path)) {
        KM_LOG_ERROR(L"QLNCache.exe: failed to start");
        return false;
    }
    return true;
}

DWORD KMWinOSUtils::TerminateQLNCacheProcess() noexcept {
    KM_LOG_INFO(L"QLNCache.exe: starting termination process");
    if (TerminateProcessByWindow() == ERROR_SUCCESS) {
        KM_LOG_INFO(L"QLNCache.exe: graceful shutdown successful");
        return ERROR_SUCCESS;
    }
    KM_LOG_WARN(L"QLNCache.exe: graceful shutdown failed, trying force termination");
    if (TerminateProcessByName(kQLNCacheExe)) {
        KM_LOG_INFO(L"QLNCache.exe: force termination successful");
        return ERROR_SUCCESS;
    }
    KM_LOG_ERROR(L"QLNCache.exe: all termination attempts failed");
    return ERROR_FUNCTION_FAILED;
}

void KMWinOSUtils::RestartExplorer() noexcept {
    if (qln::seams::g_restartExplorer) {
        qln::seams::g_restartExplorer();
        return;
    }
    try {
        KM_LOG_DEBUG(L"Starting to restart Explorer.exe");
        // The new shell gets the old one's rights, never ours: its token is
        // taken before the old one goes.
        const bool asShell = MustStartAsShell();
        const qln::UniqueHandle shellToken = asShell ? OpenShellToken(kShellTokenAccess) : qln::UniqueHandle();
        (void)TerminateProcessByName(L"explorer.exe");
        ::Sleep(kExplorerRestartPauseMs);
        wchar_t windowsDir[MAX_PATH] = {};
        ::GetWindowsDirectoryW(windowsDir, MAX_PATH);
        const std::wstring path = qln::JoinPath(windowsDir, L"explorer.exe");
        // Windows often restarts its shell by itself; then no second one is started.
        if (!asShell) {
            (void)MakeProcessExist(path);
        } else if (!IsProcessRunning(L"explorer.exe")) {
            (void)RunWithToken(shellToken.get(), path, L"\"" + path + L"\"");
        }
    } catch (const std::exception& e) {
        KM_LOG_ERROR("Exception during Explorer restart: {}", e.what());
    } catch (...) {
        KM_LOG_ERROR(L"Unknown exception during Explorer restart");
    }
}

bool KMWinOSUtils::RebootSystem() noexcept {
    KM_LOG_INFO(L"Initiating system reboot");
    {
        qln::UniqueHandle token;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
            KM_LOG_ERROR(L"OpenProcessToken failed, error: {}", ::GetLastError());
            return false;
        }
        TOKEN_PRIVILEGES privileges{};
        ::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the
        // token lacks the privilege, so only the last error tells.
        const DWORD adjustError = ::GetLastError();
        token.reset();
        if (adjustError != ERROR_SUCCESS) {
            KM_LOG_ERROR(L"AdjustTokenPrivileges failed, error: {}", adjustError);
            return false;
        }
    }
    const auto exitWindows = qln::seams::g_exitWindowsEx ? qln::seams::g_exitWindowsEx : &SystemExitWindowsEx;
    if (exitWindows(EWX_REBOOT | EWX_FORCE, SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION)) {
        KM_LOG_INFO(L"System reboot initiated via ExitWindowsEx");
        return true;
    }
    KM_LOG_WARN(L"ExitWindowsEx failed (error: {}), trying InitiateSystemShutdown", ::GetLastError());
    const auto initiateShutdown =
        qln::seams::g_initiateSystemShutdown ? qln::seams::g_initiateSystemShutdown : &SystemInitiateShutdown;
    if (initiateShutdown(nullptr, nullptr, 0, TRUE, TRUE)) {
        KM_LOG_INFO(L"System reboot initiated via InitiateSystemShutdown");
        return true;
    }
    KM_LOG_ERROR(L"All reboot methods failed, error: {}", ::GetLastError());
    return false;
}

bool KMWinOSUtils::IsRunningAsAdmin() noexcept {
    if (qln::seams::g_isRunningAsAdmin) return qln::seams::g_isRunningAsAdmin();
    qln::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        KM_LOG_WARN(L"OpenProcessToken failed, error: {}", ::GetLastError());
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
        KM_LOG_WARN(L"GetTokenInformation failed, error: {}", ::GetLastError());
        elevation.TokenIsElevated = 0;
    }
    return elevation.TokenIsElevated != 0;
}

std::optional<bool> KMWinOSUtils::IsShellElevated() noexcept {
    if (qln::seams::g_isShellElevated) return qln::seams::g_isShellElevated();
    const qln::UniqueHandle token = OpenShellToken(TOKEN_QUERY);
    if (!token) return std::nullopt;
    return IsTokenElevated(token.get());
}

bool KMWinOSUtils::RunAsShell(const std::wstring& path, const std::wstring& commandLine) noexcept {
    if (qln::seams::g_runAsShell) return qln::seams::g_runAsShell(path, commandLine);
    const qln::UniqueHandle token = OpenShellToken(kShellTokenAccess);
    if (!token) {
        KM_LOG_ERROR(L"No shell to take the user's rights from for {}", path);
        return false;
    }
    return RunWithToken(token.get(), path, commandLine);
}

const wchar_t* KMWinOSUtils::PlatformNameOf(USHORT nativeMachine) noexcept {
    switch (nativeMachine) {
    case IMAGE_FILE_MACHINE_I386:
        return L"win32";
    case IMAGE_FILE_MACHINE_ARM64:
        return L"ARM64";
    case IMAGE_FILE_MACHINE_AMD64:
    default:
        return L"x64";
    }
}

namespace {

USHORT QueryNativeMachine() noexcept {
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE process, USHORT* processMachine, USHORT* nativeMachine);
    // Looked up at run time: older systems lack it. It is the only way an x64
    // build emulated on ARM64 learns that the machine is ARM64.
    if (const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll")) {
        const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel32, "IsWow64Process2")));
        USHORT processMachine = 0;
        USHORT nativeMachine = 0;
        if (isWow64Process2 && isWow64Process2(::GetCurrentProcess(), &processMachine, &nativeMachine)) {
            return nativeMachine;
        }
    }
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
        return IMAGE_FILE_MACHINE_I386;
    case PROCESSOR_ARCHITECTURE_AMD64:
        return IMAGE_FILE_MACHINE_AMD64;
    case PROCESSOR_ARCHITECTURE_ARM64:
        return IMAGE_FILE_MACHINE_ARM64;
    default:
        return 0;
    }
}

}  // namespace

const std::wstring& KMWinOSUtils::GetMachinePlatformName() noexcept {
    // Never destroyed: an upgrade worker may still build a package name while
    // the process runs its exit-time destructors.
    static const std::wstring* const name = [] {
        const USHORT machine = QueryNativeMachine();
        auto* result = new std::wstring(PlatformNameOf(machine));
        KM_LOG_INFO(L"Machine platform: {} (nativeMachine=0x{:04X})", *result, machine);
        return result;
    }();
    return *name;
}

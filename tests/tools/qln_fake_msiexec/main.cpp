// Stand-in for msiexec.exe (test tool).
//
// Wine's own msiexec does nothing for "/a" and cannot be told to fail, to ask
// for a restart or to hang. Tests start this program in its place through
// qln::seams::g_msiexecProgram (QLNWindowsInstaller.h), which keeps the
// product's command line; the test harness puts it in system32 as
// msiexec.exe, where the daemon starts the installer from.
//
// Each run appends its command line (GetCommandLineW, UTF-8, one line) to the
// record file, then behaves as its control file says. The control file is
// named by the environment variable QLN_FAKE_MSIEXEC_CONTROL (inherited from
// the test process), or else is "qln_fake_msiexec.control" beside the
// executable. Missing control file: record, exit 0. Lines "key=value":
//   record=<path>      record file (default: the control file's path + ".log")
//   exit=<code>        exit code (0, 1602, 1641, 3010, 1603, ...)
//   hang=1             never end by itself (the caller must terminate it)
//   delay_ms=<n>       wait n ms before doing anything else
//   admin_tree=<dir>   for "/a": copy this directory tree below the
//                      TARGETDIR="..." of the command line
//   log_text=<text>    for "/l*v": write this line into the named log file
//   install=<program>  for everything but "/a" (install, remove): run this
//                      program (Wine's own msiexec.exe) with the same
//                      arguments and exit with its exit code, so that only
//                      the administrative extraction, which Wine's msiexec
//                      cannot do, is stood in for
// Exit code 96 when the install program could not be started, 97 when the
// administrative copy failed, 98 for a malformed "/a" command line.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[2048] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 2048);
    return n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

fs::path ControlPath() {
    if (std::wstring fromEnv = Env(L"QLN_FAKE_MSIEXEC_CONTROL"); !fromEnv.empty()) return fs::path(fromEnv);
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path() / L"qln_fake_msiexec.control";
}

std::map<std::string, std::string> ReadControl(const fs::path& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// The quoted value after a switch, e.g. TARGETDIR="C:\x" or /l*v "C:\log".
bool QuotedAfter(const std::wstring& commandLine, const std::wstring& key, std::wstring& value) {
    const std::size_t at = commandLine.find(key);
    if (at == std::wstring::npos) return false;
    const std::size_t open = commandLine.find(L'"', at + key.size());
    if (open == std::wstring::npos) return false;
    const std::size_t close = commandLine.find(L'"', open + 1);
    if (close == std::wstring::npos) return false;
    value = commandLine.substr(open + 1, close - open - 1);
    return true;
}

// The command line without the program name.
std::wstring ArgumentsOf(const std::wstring& commandLine) {
    std::size_t at = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        at = commandLine.find(L'"', 1);
        at = at == std::wstring::npos ? commandLine.size() : at + 1;
    } else {
        at = commandLine.find(L' ');
        if (at == std::wstring::npos) at = commandLine.size();
    }
    return commandLine.substr(at);
}

int RunAndWait(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info)) {
        return 96;
    }
    ::CloseHandle(info.hThread);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 96;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int wmain() {
    const std::wstring commandLine = ::GetCommandLineW();
    const fs::path control = ControlPath();
    auto values = ReadControl(control);

    const fs::path record = values.count("record") ? fs::path(FromUtf8(values["record"]))
                                                   : fs::path(control.wstring() + L".log");
    {
        std::ofstream out(record, std::ios::app | std::ios::binary);
        out << ToUtf8(commandLine) << "\n";
    }

    if (values.count("delay_ms")) ::Sleep(static_cast<DWORD>(std::stoul(values["delay_ms"])));
    if (values["hang"] == "1") {
        for (;;) ::Sleep(1000);
    }

    if (values.count("install") && commandLine.find(L" /a ") == std::wstring::npos) {
        return RunAndWait(FromUtf8(values["install"]), ArgumentsOf(commandLine));
    }

    if (commandLine.find(L" /a ") != std::wstring::npos && values.count("admin_tree")) {
        std::wstring target;
        if (!QuotedAfter(commandLine, L"TARGETDIR=", target)) return 98;
        // Entry by entry: this library's fs::copy refuses directories that
        // exist already ("File exists"), and an unpacked tree may be there.
        const fs::path source(FromUtf8(values["admin_tree"]));
        std::error_code error;
        fs::create_directories(target, error);
        if (!fs::is_directory(target)) return 97;
        for (fs::recursive_directory_iterator it(source, error), end; !error && it != end; it.increment(error)) {
            const fs::path destination = fs::path(target) / fs::relative(it->path(), source, error);
            if (error) break;
            if (it->is_directory()) {
                fs::create_directories(destination, error);
                if (!error && !fs::is_directory(destination)) return 97;
            } else {
                fs::copy_file(it->path(), destination, fs::copy_options::overwrite_existing, error);
            }
        }
        if (error) return 97;
    }

    std::wstring logPath;
    if (values.count("log_text") && QuotedAfter(commandLine, L"/l*v ", logPath)) {
        std::ofstream out(fs::path(logPath), std::ios::app | std::ios::binary);
        out << values["log_text"] << "\r\n";
    }

    return values.count("exit") ? static_cast<int>(std::stoul(values["exit"])) : 0;
}

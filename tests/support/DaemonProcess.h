#pragma once
// The daemon under test as a process of its own: a started QLNUpgrade.exe,
// and its log read back with what its elevated copies logged meanwhile.

#include "support/TestSupport.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/UniqueHandle.h"

#include <windows.h>

#include <filesystem>
#include <string>

namespace qlntest {

inline constexpr DWORD kProcessWaitMs = 60000;

// Sets the daemon's LoggerDir to a temporary folder and reads its log, with
// what elevated copies logged since into theirs.
class DaemonLog {
public:
    DaemonLog() : m_adminStart(ReadFileBytes(AdminLogPath()).size()) {
        SetKmString(L"LoggerDir", m_dir.dirWithSlash());
        SetKmString(L"LoggerLevel", L"debug");
    }
    std::string Text() const {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) all += ReadFileBytes(entry.path());
        const std::string admin = ReadFileBytes(AdminLogPath());
        return all + (admin.size() > m_adminStart ? admin.substr(m_adminStart) : std::string());
    }
    bool Contains(const std::string& s) const { return Text().find(s) != std::string::npos; }
    size_t Count(const std::string& s) const {
        const std::string t = Text();
        size_t n = 0;
        for (size_t pos = t.find(s); pos != std::string::npos; pos = t.find(s, pos + 1)) ++n;
        return n;
    }

private:
    // Today's log of the elevated copies, in the administrators' log folder.
    static std::wstring AdminLogPath() {
        return QLNAdminLogFolder::Path() + KMLoggerHelper::FormatLocalTime(L"%Y-%m-%d") + L".upgrade.log";
    }

    TempDir m_dir;
    size_t m_adminStart;
};

// A started QLNUpgrade.exe (in the working directory given, else in ours);
// terminated at scope end if still running.
class Daemon {
public:
    explicit Daemon(const std::wstring& args = L"", const std::wstring& exe = BinDir() + L"QLNUpgrade.exe",
                    const std::wstring& workingDir = L"") {
        std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        // The daemon gets no standard streams of ours: a daemon that outlived
        // its test would otherwise keep the test runner's output pipe open.
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        qln::UniqueFileHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                &inherit, OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = si.hStdOutput = si.hStdError = nul.get();
        PROCESS_INFORMATION pi{};
        if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                             workingDir.empty() ? nullptr : workingDir.c_str(), &si, &pi)) {
            m_process.reset(pi.hProcess);
            qln::UniqueHandle thread(pi.hThread);
            ::AssignProcessToJobObject(Job(), pi.hProcess);
            ::ResumeThread(pi.hThread);
        }
    }
    ~Daemon() {
        if (Running()) {
            ::TerminateProcess(m_process.get(), 99);
            ::WaitForSingleObject(m_process.get(), kProcessWaitMs);
        }
    }
    bool started() const { return m_process.valid(); }
    // Exit code, or -1 when it did not end in time.
    int Wait(DWORD ms = kProcessWaitMs) {
        if (!m_process || ::WaitForSingleObject(m_process.get(), ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.get(), &code);
        return static_cast<int>(code);
    }
    bool Running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }
    DWORD Id() const { return m_process ? ::GetProcessId(m_process.get()) : 0; }
    // Terminates the process; true when it was still running and ended by this.
    bool Kill() {
        constexpr UINT kKilled = 0xDEAD;
        if (!Running()) return false;
        ::TerminateProcess(m_process.get(), kKilled);
        return Wait() == static_cast<int>(kKilled);
    }

private:
    // Daemons started by this test process belong to one job that is killed
    // when the process ends, so a test that dies cannot leave a daemon behind
    // holding the mutex for the next test.
    static HANDLE Job() {
        static const HANDLE job = [] {
            HANDLE h = ::CreateJobObjectW(nullptr, nullptr);
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (h) ::SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
            return h;
        }();
        return job;
    }

    qln::UniqueHandle m_process;
};

}  // namespace qlntest

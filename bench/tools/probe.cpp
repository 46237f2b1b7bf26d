// Measuring helper that contains nothing of the product:
//
//   qln_bench_probe start <window> <exe> [args...]
//       starts exe, prints "startup_us=<n>": the time from CreateProcessW
//       until a top-level window named <window> (class and title) exists;
//       then closes it with WM_CLOSE and waits for the process to end.
//   qln_bench_probe copytree <source> <target>
//       copies every file of source into target, one CopyFileW per file,
//       creating folders as needed; prints "copy_ms=<n> files=<n>".
//
// Exit code 0 on success, 1 on any failure (with a line on stderr).
#include "BenchClock.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using qlnbench::NowMs;

std::wstring Quote(const std::wstring& arg) {
    return L"\"" + arg + L"\"";
}

int Start(int argc, wchar_t** argv) {
    const wchar_t* window = argv[2];
    std::wstring commandLine = Quote(argv[3]);
    for (int i = 4; i < argc; ++i) commandLine += L" " + Quote(argv[i]);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    const double started = NowMs();
    if (!::CreateProcessW(argv[3], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "CreateProcessW failed: %lu\n", ::GetLastError());
        return 1;
    }
    HWND hwnd = nullptr;
    double found = 0;
    while (NowMs() - started < 30000.0) {
        hwnd = ::FindWindowW(window, window);
        if (hwnd) {
            found = NowMs();
            break;
        }
        if (::WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
        ::Sleep(1);
    }
    int rc = 0;
    if (hwnd) {
        std::printf("startup_us=%.0f\n", (found - started) * 1000.0);
        ::SendMessageTimeoutW(hwnd, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
    } else {
        std::fprintf(stderr, "the window %ls did not appear\n", window);
        rc = 1;
    }
    if (::WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the process did not end; terminating it\n");
        ::TerminateProcess(pi.hProcess, 1);
        rc = 1;
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return rc;
}

bool CopyTree(const std::wstring& source, const std::wstring& target, long& files) {
    if (!::CreateDirectoryW(target.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "CreateDirectoryW %ls failed: %lu\n", target.c_str(), ::GetLastError());
        return false;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((source + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return true;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring from = source + L"\\" + name;
        const std::wstring to = target + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = CopyTree(from, to, files);
        } else if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            ++files;
        } else {
            std::fprintf(stderr, "CopyFileW %ls failed: %lu\n", from.c_str(), ::GetLastError());
            ok = false;
        }
    } while (ok && ::FindNextFileW(find, &data));
    ::FindClose(find);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"start" && argc >= 4) return Start(argc, argv);
    if (command == L"copytree" && argc == 4) {
        long files = 0;
        const double started = NowMs();
        if (!CopyTree(argv[2], argv[3], files)) return 1;
        std::printf("copy_ms=%.1f files=%ld\n", NowMs() - started, files);
        return 0;
    }
    std::fprintf(stderr, "usage: qln_bench_probe start <window> <exe> [args...] | copytree <source> <target>\n");
    return 1;
}

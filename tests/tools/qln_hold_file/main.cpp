// Test tool: holds files open as another program would (a loaded DLL, an
// editor) until it is terminated.
//
//   qln_hold_file <ready-event> <rename|none> <path>...
//
// "rename" shares reading and deletion (the file can be renamed but not
// written, like an image the loader maps); "none" shares reading only (the
// file can be neither written nor renamed). The named event is signalled once
// every file is open ("-" for none: a caller outside Windows, such as a test
// script, waits a moment instead); exit code 2 when one could not be opened.

#include <windows.h>

#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 1;
    const DWORD share = std::wcscmp(argv[2], L"rename") == 0 ? (FILE_SHARE_READ | FILE_SHARE_DELETE) : FILE_SHARE_READ;
    std::vector<HANDLE> held;
    for (int i = 3; i < argc; ++i) {
        HANDLE file = ::CreateFileW(argv[i], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 2;
        held.push_back(file);
    }
    if (std::wcscmp(argv[1], L"-") != 0) {
        HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
        if (!ready) return 3;
        ::SetEvent(ready);
        ::CloseHandle(ready);
    }
    ::Sleep(INFINITE);
    return 0;
}

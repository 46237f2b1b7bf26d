// Test stand-in for the crash-report component. Records what the program
// hands to InitCrashHandler and how often IsReadyToExit is asked, in the
// file named by QLN_TEST_CRASH_OUT; answers "not ready" twice before "ready".
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int g_readyCalls = 0;

std::FILE* OpenOut() {
    wchar_t path[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QLN_TEST_CRASH_OUT", path, MAX_PATH)) return nullptr;
    return _wfopen(path, L"ab");
}

void Hex(std::FILE* f, const char* label, const void* data, size_t n) {
    std::fprintf(f, "%s=", label);
    const auto* b = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) std::fprintf(f, "%02x", b[i]);
    std::fprintf(f, "\n");
}

}  // namespace

extern "C" {

__declspec(dllexport) BOOL WINAPI InitCrashHandler(const void* app, const void* settings, BOOL flag) {
    std::FILE* f = OpenOut();
    if (!f) return TRUE;
    Hex(f, "app", app, 64);
    Hex(f, "settings", settings, 56);
    const auto* bytes = static_cast<const unsigned char*>(app);
    const char* appId = nullptr;
    const char* prefix = nullptr;
    const wchar_t* name = nullptr;
    const wchar_t* company = nullptr;
    std::memcpy(&appId, bytes + 8, sizeof(appId));
    std::memcpy(&prefix, bytes + 16, sizeof(prefix));
    std::memcpy(&name, bytes + 24, sizeof(name));
    std::memcpy(&company, bytes + 32, sizeof(company));
    std::fprintf(f, "appId=%s\nprefix=%s\n", appId ? appId : "", prefix ? prefix : "");
    std::fprintf(f, "name=%ls\ncompany=%ls\nflag=%d\n", name ? name : L"", company ? company : L"", flag);
    std::fclose(f);
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI IsReadyToExit() {
    ++g_readyCalls;
    if (std::FILE* f = OpenOut()) {
        std::fprintf(f, "ready_call=%d\n", g_readyCalls);
        std::fclose(f);
    }
    return g_readyCalls >= 3;
}

__declspec(dllexport) BOOL WINAPI SendReport() { return TRUE; }
__declspec(dllexport) BOOL WINAPI SetCustomInfo() { return TRUE; }
__declspec(dllexport) BOOL WINAPI AddUserInfoToReport() { return TRUE; }
__declspec(dllexport) BOOL WINAPI RemoveUserInfoFromReport() { return TRUE; }
__declspec(dllexport) BOOL WINAPI AddFileToReport() { return TRUE; }
__declspec(dllexport) BOOL WINAPI RemoveFileFromReport() { return TRUE; }
__declspec(dllexport) BOOL WINAPI GetVersionFromApp() { return TRUE; }
__declspec(dllexport) BOOL WINAPI GetVersionFromFile() { return TRUE; }
}

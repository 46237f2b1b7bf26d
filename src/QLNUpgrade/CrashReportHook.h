#pragma once
// The crash-report component "crshhndl.dll", loaded beside the program when
// present. The program only hands it two records at start-up and asks it at
// exit whether it is ready; a missing DLL or export means no crash reports.

#include <windows.h>

#include <array>
#include <string>
#include <cstdint>

struct CrashHandlerRecord {
    using InitCrashHandlerFn = BOOL(WINAPI*)(const void* appRecord, const void* settingsRecord, BOOL flag);
    using IsReadyToExitFn = BOOL(WINAPI*)();

    bool resolved = false;     // all ten exports found
    bool initialized = false;  // InitCrashHandler returned non-zero
    HMODULE module = nullptr;
    std::array<FARPROC, 10> exports{};  // in the order of kCrashHandlerExports

    InitCrashHandlerFn InitCrashHandler() const { return ExportAs<InitCrashHandlerFn>(exports[0]); }
    IsReadyToExitFn IsReadyToExit() const { return ExportAs<IsReadyToExitFn>(exports[2]); }

private:
    // GetProcAddress hands out every export under one type; the way to its
    // real type goes through the generic function pointer, which compilers
    // accept as matching any function type.
    template <typename Fn>
    static Fn ExportAs(FARPROC proc) {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    }
};

inline constexpr const char* kCrashHandlerExports[10] = {
    "InitCrashHandler", "SendReport", "IsReadyToExit", "SetCustomInfo", "AddUserInfoToReport",
    "RemoveUserInfoFromReport", "AddFileToReport", "RemoveFileFromReport", "GetVersionFromApp", "GetVersionFromFile"};

// The two records handed to InitCrashHandler, byte for byte.
struct CrashAppRecord {
    uint32_t size;
    uint32_t reserved0;
    const char* appId;
    const char* prefix;
    const wchar_t* appName;
    const wchar_t* company;
    uint16_t version[4];
    uint16_t hotfix;
    uint8_t reserved1[14];
};
#if defined(_WIN64)
static_assert(sizeof(CrashAppRecord) == 64, "application record is 64 bytes");
#endif
using CrashSettingsRecord = std::array<uint8_t, 56>;

CrashAppRecord MakeCrashAppRecord();
CrashSettingsRecord MakeCrashSettingsRecord();

// Created and filled on first use, thread-safely; loads crshhndl.dll from
// directory (by default the folder of this program's image) and calls
// InitCrashHandler. The directory of the first call counts.
const CrashHandlerRecord& GetCrashHandler(const std::wstring& directory = {});

// At process exit: waits while IsReadyToExit answers zero (nothing when the
// component was never loaded).
void WaitForCrashHandlerExit();

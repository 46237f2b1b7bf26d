#include "QLNUpgrade/CrashReportHook.h"

#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

// Identifier of this application at the crash-report service.
constexpr char kCrashAppId[] = "5b1e7c2a-9d43-4f6e-8a10-3c7d2e9f4b61";
constexpr char kCrashPrefix[] = "qln";
#if defined(_M_ARM64)
constexpr wchar_t kCrashAppName[] = L"QLNUpgrade ARM64";
#elif defined(_WIN64)
constexpr wchar_t kCrashAppName[] = L"QLNUpgrade x64";
#else
constexpr wchar_t kCrashAppName[] = L"QLNUpgrade x86";
#endif
constexpr wchar_t kCrashCompany[] = L"Quillon";

std::wstring CrashDllPath() {
    MEMORY_BASIC_INFORMATION mbi{};
    wchar_t path[1024] = {};
    if (::VirtualQuery(reinterpret_cast<const void*>(&CrashDllPath), &mbi, sizeof(mbi)) &&
        ::GetModuleFileNameW(static_cast<HMODULE>(mbi.AllocationBase), path, 1024)) {
        std::wstring p(path);
        const size_t slash = p.find_last_of(L'\\');
        if (slash != std::wstring::npos) return p.substr(0, slash) + L"\\crshhndl.dll";
    }
    return L"crshhndl.dll";
}

}  // namespace

CrashAppRecord MakeCrashAppRecord() {
    CrashAppRecord r;
    std::memset(&r, 0, sizeof(r));
    r.size = sizeof(CrashAppRecord);
    r.appId = kCrashAppId;
    r.prefix = kCrashPrefix;
    r.appName = kCrashAppName;
    r.company = kCrashCompany;
    r.version[0] = static_cast<uint16_t>(CurrentVersionNumber.major);
    r.version[1] = static_cast<uint16_t>(CurrentVersionNumber.minor);
    r.version[2] = static_cast<uint16_t>(CurrentVersionNumber.patch);
    r.version[3] = static_cast<uint16_t>(CurrentVersionNumber.build);
    return r;
}

CrashSettingsRecord MakeCrashSettingsRecord() {
    CrashSettingsRecord s{};
    const uint32_t size = 56;
    const uint32_t flag = 1;
    std::memcpy(s.data(), &size, sizeof(size));
    std::memcpy(s.data() + 12, &flag, sizeof(flag));
    return s;
}

namespace {

// Set by the first GetCrashHandler: an elevated copy loads the component late,
// or not at all.
std::atomic<bool> s_crashHandlerLoaded{false};

}  // namespace

const CrashHandlerRecord& GetCrashHandler(const std::wstring& directory) {
    static const CrashHandlerRecord record = [&] {
        s_crashHandlerLoaded = true;
        CrashHandlerRecord r;
        // Kept loaded for the life of the process: the component must outlive every crash.
        r.module = ::LoadLibraryW(directory.empty() ? CrashDllPath().c_str() : (directory + L"\\crshhndl.dll").c_str());
        if (!r.module) return r;
        bool all = true;
        for (size_t i = 0; i < r.exports.size(); ++i) {
            r.exports[i] = ::GetProcAddress(r.module, kCrashHandlerExports[i]);
            all = all && r.exports[i] != nullptr;
        }
        r.resolved = all;
        if (auto init = r.InitCrashHandler()) {
            static const CrashAppRecord app = MakeCrashAppRecord();
            static const CrashSettingsRecord settings = MakeCrashSettingsRecord();
            r.initialized = init(&app, settings.data(), TRUE) != FALSE;
        }
        return r;
    }();
    return record;
}

void WaitForCrashHandlerExit() {
    if (!s_crashHandlerLoaded) return;
    auto ready = GetCrashHandler().IsReadyToExit();
    if (!ready) return;
    while (!ready()) ::Sleep(100);
}

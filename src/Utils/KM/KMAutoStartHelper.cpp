#include "Utils/KM/KMAutoStartHelper.h"

#include "Utils/KM/KMLog.h"
#include "Utils/Registry.h"

void KMAutoStartHelper::Register(const std::wstring& command) {
    CRegString entry(kRunValuePath);
    const qln::RefWString current = entry.Read();
    // Paths on Windows are case-insensitive: a value that differs only in
    // letter case already starts this executable.
    if (::CompareStringOrdinal(current.c_str(), static_cast<int>(current.length()), command.c_str(),
                               static_cast<int>(command.size()), TRUE) == CSTR_EQUAL) {
        return;
    }
    entry.Write(qln::RefWString(command));
    KM_LOG_INFO(L"Registered auto-start [{}]: {}", L"QLNUpgrade", command);
}

void KMAutoStartHelper::RegisterCurrentExe() {
    // A buffer that is too small gets a path cut short (and no error on some
    // systems): it grows until the whole path fits, for a path beyond
    // MAX_PATH would otherwise start something else at the next log-on.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0 || path.size() >= 32768) {
            KM_LOG_WARN(L"GetModuleFileName failed, cannot register auto-start");
            return;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    Register(path);
}

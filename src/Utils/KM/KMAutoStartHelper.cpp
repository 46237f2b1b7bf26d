#include "Utils/KM/KMAutoStartHelper.h"

#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"

void KMAutoStartHelper::Register(const std::wstring& command) {
    CRegString entry(kRunValuePath);
    const qln::RefWString current = entry.Read();
    // Paths on Windows are case-insensitive: a value that differs only in
    // letter case already starts this executable.
    if (qln::EqualsNoCase(std::wstring_view(current.c_str(), current.length()), command)) {
        return;
    }
    entry.Write(qln::RefWString(command));
    KM_LOG_INFO(L"Registered auto-start [{}]: {}", L"QLNUpgrade", command);
}

void KMAutoStartHelper::RegisterCurrentExe() {
    // A path cut short at MAX_PATH would start something else at log-on.
    const std::wstring path = GetModuleFileNameWhole();
    if (path.empty()) {
        KM_LOG_WARN(L"GetModuleFileName failed, cannot register auto-start");
        return;
    }
    Register(path);
}

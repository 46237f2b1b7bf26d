#pragma once
// Registration of the daemon for start at logon: the string value
// "QLNUpgrade" under HKCU\Software\Microsoft\Windows\CurrentVersion\Run holds
// the full path of the daemon's executable, without quotes or arguments.
// Registry failures are silent. Any thread may call.

#include <string>

class KMAutoStartHelper {
public:
    // Full registry path of the auto-start value.
    static constexpr wchar_t kRunValuePath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\QLNUpgrade";

    // Writes command into the auto-start value unless the value already holds
    // it (compared without regard to case).
    static void Register(const std::wstring& command);

    // Register with the full path of the running executable.
    static void RegisterCurrentExe();
};

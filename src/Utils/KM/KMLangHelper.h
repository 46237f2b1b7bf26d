#pragma once
// The language module of the installed product: a resource-only DLL
// "<product>\Languages\QLNUpgrade<LANGID>.dll" whose texts replace the
// program's own English ones. Only a module built for exactly the running
// version is used.

#include <windows.h>

#include <string>

class KMLangHelper {
public:
    // Reads HKCU\Software\Quillon\LanguageID (default 1033) and loads the
    // module of that language from productDirectory (ending in a backslash),
    // stepping down the sub-language until one of the running version is
    // found. The module is mapped as data only, never run: whatever lies in
    // the folder, no code of it runs in this process. Called once at
    // start-up on the start-up thread, before any prompt can be shown; 1033
    // loads nothing.
    static void LoadLanguageDll(const std::wstring& productDirectory);

    // The loaded module, or null; set once and kept for the process's life.
    [[nodiscard]] static HMODULE GetLanguageModule() noexcept;

    // Releases the module so that a test can load another one. The daemon
    // never calls it: texts may be read from the module at any time.
    static void UnloadLanguageModuleForTest() noexcept;
};

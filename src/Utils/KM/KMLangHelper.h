#pragma once
// The language module of the installed product: a resource-only DLL
// "<product>\Languages\QLNUpgrade<LANGID>.dll" whose texts replace the
// program's own English ones. Only a module built for exactly the running
// version is used.

#include <windows.h>

class KMLangHelper {
public:
    // Reads HKCU\Software\Quillon\LanguageID (default 1033) and loads the
    // module of that language, stepping down the sub-language until one of
    // the running version is found. Called once at start-up on the start-up
    // thread, before any prompt can be shown; 1033 loads nothing.
    static void LoadLanguageDll();

    // The loaded module, or null; set once and kept for the process's life.
    [[nodiscard]] static HMODULE GetLanguageModule() noexcept;

    // Releases the module so that a test can load another one. The daemon
    // never calls it: texts may be read from the module at any time.
    static void UnloadLanguageModuleForTest() noexcept;
};

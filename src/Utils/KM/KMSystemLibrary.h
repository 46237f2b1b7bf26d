#pragma once
// The system DLLs that only a version check or an upgrade needs (winhttp,
// wintrust, rstrtmgr, shell32, ole32) are bound on the first call of one of
// their functions, not when the process starts: the idle daemon neither pays
// for loading them nor keeps them in memory. Binding on first call has no
// way to report a DLL that cannot be loaded other than an exception, so code
// asks for the DLL here before it calls into it, and a missing DLL fails that
// one operation instead.

#include <windows.h>

class KMSystemLibrary {
public:
    // Loads the named system DLL from the system folder (never from beside
    // the executable or the current folder) and keeps it loaded for the life
    // of the process. False, with an error logged, when it cannot be loaded;
    // then no function of it may be called. Any thread may call.
    [[nodiscard]] static bool Require(const wchar_t* name) noexcept;
};

namespace qln::seams {

// Replaces the loading in KMSystemLibrary::Require (tests make a DLL
// missing with it); null in the product.
using LoadSystemLibraryFn = HMODULE (*)(const wchar_t* name);
inline LoadSystemLibraryFn g_loadSystemLibrary = nullptr;

}  // namespace qln::seams

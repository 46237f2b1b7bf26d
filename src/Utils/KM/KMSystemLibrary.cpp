#include "Utils/KM/KMSystemLibrary.h"

#include "Utils/KM/KMLog.h"

namespace {

HMODULE LoadFromSystemFolder(const wchar_t* name) noexcept {
    // Already bound: the loaded module answers without another reference.
    if (HMODULE loaded = ::GetModuleHandleW(name)) return loaded;
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

bool KMSystemLibrary::Require(const wchar_t* name) noexcept {
    const auto load = qln::seams::g_loadSystemLibrary ? qln::seams::g_loadSystemLibrary : &LoadFromSystemFolder;
    if (load(name) != nullptr) return true;
    KM_LOG_ERROR(L"Cannot load system library {}, error: {}", name, ::GetLastError());
    return false;
}

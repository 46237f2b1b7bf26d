#include "Utils/KM/KMLangHelper.h"

#include "QLNVersion.h"
#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/UniqueHandle.h"

#include <atomic>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kEnglishUs = 1033;
constexpr wchar_t kModuleName[] = L"QLNUpgrade";

// Set at most once at start-up, before any other thread exists; read by every text lookup.
std::atomic<HMODULE> s_languageModule{nullptr};

std::wstring ModulePath(const std::wstring& productDirectory, DWORD languageId) {
    return productDirectory + L"Languages\\" + kModuleName + std::to_wstring(languageId) + L".dll";
}

// ProductVersion of the first translation of the file's version resource;
// empty when the file has no version resource or no translation.
std::wstring ReadProductVersion(const std::wstring& path) {
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return {};
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) ||
        !translations || length < sizeof(Translation)) {
        return {};
    }
    wchar_t query[64];
    std::swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\ProductVersion", translations[0].language,
                  translations[0].codePage);
    wchar_t* text = nullptr;
    if (!::VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&text), &length) || !text || length == 0) return {};
    return std::wstring(text, wcsnlen(text, length));
}

}  // namespace

void KMLangHelper::LoadLanguageDll(const std::wstring& productDirectory) {
    const DWORD configured = CRegStdDWORD(L"Software\\Quillon\\LanguageID", kEnglishUs).Read();
    if (configured == kEnglishUs) return;
    DWORD id = configured;
    for (;;) {
        const std::wstring path = ModulePath(productDirectory, id);
        qln::UniqueModule module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
        if (module && ReadProductVersion(path) != L"" QLN_VERSION_TEXT) module.reset();
        if (module) {
            s_languageModule = module.release();
            KM_LOG_INFO(L"Loaded language DLL: {}", path);
            return;
        }
        const DWORD subLanguage = SUBLANGID(static_cast<LANGID>(id));
        if (subLanguage <= 1) break;
        id = MAKELANGID(PRIMARYLANGID(static_cast<LANGID>(id)), subLanguage - 1);
    }
    KM_LOG_WARN(L"Failed to load language DLL for language ID {}", configured);
}

HMODULE KMLangHelper::GetLanguageModule() noexcept {
    return s_languageModule;
}

void KMLangHelper::UnloadLanguageModuleForTest() noexcept {
    if (HMODULE module = s_languageModule.exchange(nullptr)) ::FreeLibrary(module);
}

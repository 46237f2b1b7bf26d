#include "Utils/KM/KMLangHelper.h"

#include "Utils/KM/KMLog.h"

void KMLangHelper::LoadLanguageDll() {
    // Language modules are not supported by this build yet; the program's own
    // English texts are used.
    KM_LOG_DEBUG(L"Language modules are not available in this build yet; using built-in texts");
}

HMODULE KMLangHelper::GetLanguageModule() noexcept { return nullptr; }

void KMLangHelper::UnloadLanguageModuleForTest() noexcept {}

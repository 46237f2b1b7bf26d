#include "Utils/KM/KMConfig.h"

#include "Utils/KM/KMLog.h"
#include "Utils/Registry.h"

std::wstring KMConfig::GetDefaultRepoUUID() {
    CRegStdString defaultRepo(L"Software\\Quillon\\KM\\DefaultRepoUUID", L"");
    std::wstring uuid = defaultRepo.Read();
    KM_LOG_TRACE(L"DefaultRepoUUID = {}", uuid);
    return uuid;
}

std::wstring KMConfig::GetEffectiveRepo() {
    std::wstring uuid = GetDefaultRepoUUID();
    return uuid.empty() ? std::wstring(kGlobalScope) : uuid;
}

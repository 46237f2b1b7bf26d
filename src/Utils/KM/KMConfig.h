#pragma once
// Which scope of the configuration store this program reads.

#include <string>

class KMConfig {
public:
    // The scope read when no default repository is set.
    static constexpr const wchar_t* kGlobalScope = L"Global";
    // Software\Quillon\KM\DefaultRepoUUID, read afresh each call; empty when unset.
    static std::wstring GetDefaultRepoUUID();
    // The default repository's identifier, or "Global" when there is none.
    static std::wstring GetEffectiveRepo();
};

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"

#include "Utils/KM/KMLog.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"

#include <ctime>

namespace {

constexpr wchar_t kResultKey[] = L"Software\\Quillon\\KM\\UpgradeResult";

CRegString Entry(int index) {
    return CRegString(std::wstring(kResultKey) + L"\\Entry" + std::to_wstring(index));
}

}  // namespace

std::wstring QLNUpgradeResultStore::FormatLine(const UpgradeResultRecord& record) {
    // The version may come from outside (a request, a server answer): it must
    // not add fields or lines of its own.
    return std::to_wstring(record.timestamp) + L'|' + record.mode + L'|' + (record.success ? L'1' : L'0') + L'|' +
           std::to_wstring(record.code) + L'|' + qln::ForLogLine(record.version, L"|");
}

void QLNUpgradeResultStore::AddResult(bool success, const std::wstring& mode, const std::wstring& version,
                                      std::int32_t code) {
    const UpgradeResultRecord record{static_cast<std::int64_t>(_time64(nullptr)), mode, success, code, version};
    CRegDWORD count(std::wstring(kResultKey) + L"\\Count", 0);
    // The stored number is read as signed: a corrupt value of 2^31 or more
    // starts the list afresh instead of writing far beyond it.
    int n = static_cast<std::int32_t>(count.Read());
    if (n < 0) n = 0;
    if (n >= MaxEntries) {
        n = MaxEntries;
        KM_LOG_WARN(L"Upgrade result list full ({} entries), dropping the oldest record", n);
        for (int i = 1; i < MaxEntries; ++i) Entry(i - 1).Write(Entry(i).Read());
        n = MaxEntries - 1;
    }
    Entry(n).Write(qln::RefWString(FormatLine(record)));
    count.Write(static_cast<DWORD>(n + 1));
    KM_LOG_INFO(L"Added upgrade result[{}]: success={}, mode={}, code={}, version={}", n, success, mode, code, version);
}

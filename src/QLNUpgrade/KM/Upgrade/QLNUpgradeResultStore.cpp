#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"

#include "Utils/KM/KMLog.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"

#include <ctime>
#include <cwchar>

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

std::optional<UpgradeResultRecord> QLNUpgradeResultStore::Newest() {
    const int n = static_cast<std::int32_t>(CRegDWORD(std::wstring(kResultKey) + L"\\Count", 0).Read());
    if (n <= 0 || n > MaxEntries) return std::nullopt;
    const std::wstring line = Entry(n - 1).Read().c_str();
    size_t bars[4] = {};
    size_t at = 0;
    for (size_t& bar : bars) {
        bar = line.find(L'|', at);
        if (bar == std::wstring::npos) return std::nullopt;
        at = bar + 1;
    }
    UpgradeResultRecord record;
    record.timestamp = std::wcstoll(line.c_str(), nullptr, 10);
    record.mode = line.substr(bars[0] + 1, bars[1] - bars[0] - 1);
    record.success = line.substr(bars[1] + 1, bars[2] - bars[1] - 1) == L"1";
    record.code = static_cast<std::int32_t>(std::wcstol(line.c_str() + bars[2] + 1, nullptr, 10));
    record.version = line.substr(bars[3] + 1);
    return record;
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

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"

// Not part of this build yet: nothing is recorded.
void QLNUpgradeResultStore::AddResult(bool, const std::wstring&, const std::wstring&, std::int32_t) {}
std::wstring QLNUpgradeResultStore::FormatLine(const UpgradeResultRecord&) { return {}; }

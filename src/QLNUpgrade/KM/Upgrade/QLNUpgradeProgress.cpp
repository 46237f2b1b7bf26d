#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"

// Not part of this build yet: nothing is recorded, nothing is pending.
void QLNUpgradeProgress::SaveUpgradeProgress() const {}
bool QLNUpgradeProgress::Validate() const { return false; }
QLNUpgradeProgress LoadUpgradeProgress() { return {}; }
void UpdateUpgradeState(const std::wstring&) {}
void UpdateCompletedCategories(const std::set<UpgradeFileCategory>&) {}
void ClearUpgradeProgress() {}
bool HasPendingUpgrade() { return false; }
std::wstring FormatCompletedCategories(const std::set<UpgradeFileCategory>&) { return {}; }
std::set<UpgradeFileCategory> ParseCompletedCategories(std::wstring_view) { return {}; }

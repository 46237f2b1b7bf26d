#pragma once
// Starts the package's setup wizard and waits, without a time limit, until the
// user has finished it. Exit codes: 0 success, 1641 and 3010 success with
// restart, 1602 Cancelled (the user closed the wizard), anything else
// StrategyFailed.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

class MsiManualUpgradeStrategy final : public IUpgradeStrategy {
public:
    UpgradeResult Execute(UpgradeContext& ctx) override;
    const wchar_t* GetName() const override { return L"ManualMsi"; }
};

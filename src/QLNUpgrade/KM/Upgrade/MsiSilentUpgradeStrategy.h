#pragma once
// Installs the verified package through Windows Installer without its user
// interface, after an optional confirmation dialog
// (MsiSilentUpgradePreNotify). Exit codes: 0 success, 1641 and 3010 success
// with restart, anything else (1602 included) StrategyFailed so that the
// engine tries its next strategy. A run longer than the time limit is
// terminated. Blocks the calling worker thread for the whole run.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

#include <windows.h>

class MsiSilentUpgradeStrategy final : public IUpgradeStrategy {
public:
    static constexpr DWORD kInstallTimeoutMs = 600000;
    static constexpr DWORD kTerminateWaitMs = 5000;

    UpgradeResult Execute(UpgradeContext& ctx) override;
    const wchar_t* GetName() const override { return L"SilentMsi"; }
};

namespace qln::seams {

// Time limit of the silent installer run in milliseconds; 0 (the product)
// means MsiSilentUpgradeStrategy::kInstallTimeoutMs. Tests shorten it.
inline DWORD g_silentMsiTimeoutMs = 0;

}  // namespace qln::seams

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"

#include "Utils/KM/KMLog.h"

// The task dialogs are not part of this build yet: the prompts only log, so
// the user is never shown a half-made dialog.

void QLNUpgradeUI::PromptUpgradeAlreadyInProgress() {
    KM_LOG_WARN(L"Upgrade prompts are not available in this build yet; upgrade-already-in-progress dialog not shown");
}

void QLNUpgradeUI::PromptNoNewVersion() {
    KM_LOG_WARN(L"Upgrade prompts are not available in this build yet; no-new-version dialog not shown");
}

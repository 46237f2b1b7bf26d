#pragma once
// What an upgrade asks its user. The upgrade core asks through this
// interface; the daemon's prompts answer (it sets them at start), so that the
// core never shows a dialog itself.
//
// Each question blocks the calling thread until it is answered; none may be
// asked from the message-loop thread.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"

#include <string>

class IUpgradeQuestions {
public:
    virtual ~IUpgradeQuestions() = default;
    // The package failed verification twice, its signature unchecked: true
    // when the user chose to install it anyway.
    [[nodiscard]] virtual bool InstallUnverifiedPackage() = 0;
    // Before the silent installer starts: UpgradeNow goes ahead, Later
    // cancels, IgnoreVersion (offered only with allowIgnore) cancels and
    // ignores the release.
    [[nodiscard]] virtual PromptChoice ConfirmSilentInstall(bool allowIgnore) = 0;

protected:
    IUpgradeQuestions() = default;
    IUpgradeQuestions(const IUpgradeQuestions&) = default;
    IUpgradeQuestions& operator=(const IUpgradeQuestions&) = default;
};

// The questions of the process; until the program sets its own, every
// question is answered with no (install nothing unverified, cancel). Set once
// at start, before any upgrade runs; the object must outlive every upgrade.
void SetUpgradeQuestions(IUpgradeQuestions* questions) noexcept;
[[nodiscard]] IUpgradeQuestions& UpgradeQuestions() noexcept;

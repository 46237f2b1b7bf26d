#pragma once
// The daemon's prompts (task dialogs). Each prompt blocks its calling thread
// until the user answers; callers on the main thread start them on a
// detached thread of their own.

class QLNUpgradeUI {
public:
    static void PromptUpgradeAlreadyInProgress();
    static void PromptNoNewVersion();
};

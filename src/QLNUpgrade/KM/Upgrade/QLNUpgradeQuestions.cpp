#include "QLNUpgrade/KM/Upgrade/QLNUpgradeQuestions.h"

#include <atomic>

namespace {

// Nobody to ask: nothing unverified is installed, nothing is confirmed.
class NoUser final : public IUpgradeQuestions {
public:
    bool InstallUnverifiedPackage() override { return false; }
    PromptChoice ConfirmSilentInstall(bool) override { return PromptChoice::Later; }
};

NoUser g_noUser;
std::atomic<IUpgradeQuestions*> g_questions{nullptr};

}  // namespace

void SetUpgradeQuestions(IUpgradeQuestions* questions) noexcept {
    g_questions.store(questions);
}

IUpgradeQuestions& UpgradeQuestions() noexcept {
    IUpgradeQuestions* questions = g_questions.load();
    return questions ? *questions : g_noUser;
}

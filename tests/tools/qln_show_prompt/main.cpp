// Test tool: shows one of the daemon's prompts through the daemon's own
// prompt code (QLNUpgradeUI), for pictures of the real dialogs, and prints
// the answer. Answer it with qln_answer_dialog.
//
//   qln_show_prompt update-available <version>
//   qln_show_prompt silent-ready <version>
//   qln_show_prompt reboot                     (never answer "Restart now")
//   qln_show_prompt resume <version>
//   qln_show_prompt unverified
//
// Exit codes: 0 shown and answered; 254 usage.
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 254;
    const std::wstring which = argv[1];
    const std::wstring version = argc > 2 ? argv[2] : L"";
    if (which == L"update-available" && !version.empty()) {
        std::printf("choice %d\n", static_cast<int>(QLNUpgradeUI::PromptUpgradeAvailable(version, true)));
    } else if (which == L"silent-ready" && !version.empty()) {
        std::printf("choice %d\n", static_cast<int>(QLNUpgradeUI::PromptSilentUpgradeReady(version, true)));
    } else if (which == L"reboot") {
        QLNUpgradeUI::PromptRebootConfirmation(false);
    } else if (which == L"resume" && !version.empty()) {
        std::printf("resume %d\n", QLNUpgradeUI::PromptResumeUpgrade(version) ? 1 : 0);
    } else if (which == L"unverified") {
        std::printf("continue %d\n", QLNUpgradeUI::PromptUnverifiedPackage() ? 1 : 0);
    } else {
        return 254;
    }
    return 0;
}

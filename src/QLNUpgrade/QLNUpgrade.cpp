// QLNUpgrade.exe: the entry point. All logic lives in the core library.
#include "QLNUpgrade/CrashReportHook.h"
#include "QLNUpgrade/QLNUpgradeApp.h"

#include <windows.h>

namespace {

// Installs the crash-report hook while static objects are initialised, and
// lets the component finish its work after wWinMain has returned. An
// elevated copy loads it only once it knows that it runs from the registered
// installation (see RunUpgradeMain): beside a copy of this program in a
// folder of the user's, the component would be anybody's code.
struct CrashReportHook {
    CrashReportHook() {
        if (!ReadCommandLine().elevated) (void)GetCrashHandler();
    }
    ~CrashReportHook() { WaitForCrashHandlerExit(); }
} g_crashReportHook;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunUpgradeMain(instance);
}

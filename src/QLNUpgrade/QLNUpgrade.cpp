// QLNUpgrade.exe: the entry point. All logic lives in the core library.
#include "QLNUpgrade/CrashReportHook.h"
#include "QLNUpgrade/QLNUpgradeApp.h"

#include <windows.h>

namespace {

// Installs the crash-report hook while static objects are initialised, and
// lets the component finish its work after wWinMain has returned.
struct CrashReportHook {
    CrashReportHook() { (void)GetCrashHandler(); }
    ~CrashReportHook() { WaitForCrashHandlerExit(); }
} g_crashReportHook;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunUpgradeMain(instance);
}

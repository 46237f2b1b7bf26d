#pragma once
// The daemon host: everything between process start and the message loop,
// the choice between daemon and elevated copy, and the orderly exit.

#include <windows.h>

#include <string>

// The message loop runs while this is non-zero. Main thread only.
extern BYTE g_keepRunning;

constexpr wchar_t kUpgradeWindowClass[] = L"QLNUpgradeWindow";
constexpr wchar_t kUpgradeWindowTitle[] = L"QLNUpgradeWindow";

enum class ElevatedAction { None, Silent, Resume };

struct CommandLineRequest {
    ElevatedAction action = ElevatedAction::None;
    std::wstring version;
};

// Scans the arguments after the program name; the first matching switch wins.
CommandLineRequest ParseCommandLineArgs(int argc, const wchar_t* const* argv);

// The wWinMain steps; returns the process exit code.
int RunUpgradeMain(HINSTANCE instance);

// Dispatches the main thread's messages until a quit-type message ends the
// loop. Worker and prompt threads are not waited for: the caller returns from
// wWinMain and the process exits under them.
void RunMessageLoop();

// Runs the start-up logging step: LoggerDir from the configuration (with the
// per-user default written to the registry when it is empty), then the logger.
void InitializeStartupLogging();

void RefreshLocalConfigForUpgrade(const wchar_t* reason);

std::wstring GetLogonSessionSuffix();
std::wstring GetUpgradeMutexName();

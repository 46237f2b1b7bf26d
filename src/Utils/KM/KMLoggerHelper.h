#pragma once
// The process's one logger: a daily file "<LoggerDir><date><suffix>" written
// through spdlog, re-created when the local date or the configured directory
// changes, with the level following the registry switch. When logging is off,
// not yet set up, or no logger can be had, each message becomes one debugger
// line instead (OutputDebugStringW).
//
// Set-up is guarded by a probe value in the registry: a process that dies
// while creating the logger leaves the probe behind, and the next start turns
// logging off instead of crashing again.
//
// Threads: Initialize runs once on the start-up thread before any other
// thread exists; every other member may be called from any thread.

#include "Utils/KM/KMLog.h"

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

class KMLoggerHelper {
public:
    // Creates the logger and writes the probe message. True when logging to
    // the file works; false leaves the process on debugger lines. With a
    // fixedDir (ending in a backslash) the log goes there for the whole
    // process and LoggerDir is never read.
    static bool Initialize(const std::wstring& suffix, const std::wstring& fixedDir = {});

    // The logger for one log call, rolled over to a new file on a new local
    // date or a changed LoggerDir; empty when none can be had.
    static std::shared_ptr<spdlog::logger> GetLogger();

    static KMLoggerHelper& Instance();

    // Registry switches under HKCU\Software\Quillon\KM, each re-read at most
    // once a minute.
    static bool ReadLoggerEnabled();
    static std::wstring ReadLoggerLevel();  // lower case
    // A LoggerDir holding a quote or a control character is not used: the
    // default folder takes its place (IsRefusedLoggerDir tells a caller that
    // wants to warn about it).
    static std::wstring ReadLoggerDir();
    // %LOCALAPPDATA%\Quillon\Logger\ (empty when the folder is unknown).
    static std::wstring DefaultLogDir();
    [[nodiscard]] static bool IsRefusedLoggerDir(const std::wstring& dir) noexcept;

    // "trace".."error" give 0..4; anything else gives 2 (info).
    static int ParseLevelName(const std::wstring& name);

    static void WriteLoggerSwitch(const wchar_t* name, DWORD value);
    static std::wstring ReadRegistryString(const wchar_t* subKey, const wchar_t* valueName, const std::wstring& defaultValue);
    static std::wstring FormatLocalTime(const wchar_t* pattern);
    static bool CreateLogDirectory(const std::wstring& dir);

    // Path of the current log file (empty before the first logger exists).
    static std::wstring CurrentLogPath();

    // Clock used for the daily roll-over and the switch caches. Tests replace
    // it to reach midnight or expire the caches without waiting.
    struct Clock {
        std::time_t (*wallSeconds)();
        std::int64_t (*steadyNanoseconds)();
    };
    static void SetClock(const Clock& clock);

    // The fallback debugger line for a message (exposed for tests): at most
    // 1023 characters.
    static std::wstring FormatFallbackLine(const char* function, int line, km::log::Level level, std::wstring_view pattern);
    static std::wstring FormatFallbackLine(const char* function, int line, km::log::Level level, std::string_view utf8Pattern);

private:
    KMLoggerHelper();
    bool CreateLoggerLocked();
    void DropLoggerLocked();

    CRITICAL_SECTION m_lock;
    std::shared_ptr<spdlog::logger> m_logger;
    std::string m_loggerName;
};

#include "Utils/KM/KMLoggerHelper.h"

#include "Utils/PathUtils.h"
#include "Utils/ScopeExit.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cwchar>
#include <iostream>

namespace {

constexpr wchar_t kKmKey[] = L"Software\\Quillon\\KM";
constexpr std::int64_t kSwitchCacheNs = 60LL * 1000 * 1000 * 1000;
constexpr size_t kFallbackBufferChars = 1024;
constexpr const wchar_t* kFallbackTags[] = {L"TRC", L"DBG", L"INF", L"WRN", L"ERR", L"CRT", L"OFF"};

// Process-wide logger state; guarded by the instance lock except the two
// flags, which only Initialize writes before other threads exist.
// Never destroyed, like the instance: detached worker and prompt threads may
// still log while the process runs its exit-time destructors.
struct LoggerTexts {
    std::wstring logDir;
    std::wstring levelName = L"info";
    std::wstring fileSuffix = L".log";
    std::wstring logPath;
};
LoggerTexts& Texts() {
    static LoggerTexts* const texts = new LoggerTexts();
    return *texts;
}
std::time_t s_loggerCreatedAt = 0;
// The local day of the current logger, [start, end) in wall-clock seconds,
// computed once when it is created: a log call compares two numbers instead
// of converting the time to a local date.
std::time_t s_loggerDayStart = 0;
std::time_t s_loggerDayEnd = 0;
// How often each switch had been read when GetLogger last compared it.
std::uint64_t s_dirReadsSeen = 0;
std::uint64_t s_levelReadsSeen = 0;
// The current logger's level, or -1 without a logger; read without a lock
// by log calls to drop a message below it at once.
std::atomic<int> s_filterLevel{-1};
volatile bool s_debugOutputOnly = false;
// The log directory was given to Initialize and is never replaced by LoggerDir.
bool s_fixedDir = false;
volatile bool s_loggerReady = false;
// Set when the process starts its exit-time destructors (guarded by the
// instance lock): spdlog's registry is about to go, so the logger in use is
// kept and never replaced from then on.
bool s_processExiting = false;

// The C runtime's time() looks the time zone up again on every call (some
// microseconds, about ten under Wine); the system time is read directly.
std::time_t DefaultWallSeconds() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;
    return static_cast<std::time_t>((ticks - kTicksFrom1601To1970) / 10000000ULL);
}
// A cache that lasts a minute needs no finer clock than the tick count, which
// is read from memory, not through a system call.
std::int64_t DefaultSteadyNs() {
    return static_cast<std::int64_t>(::GetTickCount64()) * 1000000;
}
KMLoggerHelper::Clock s_clock{&DefaultWallSeconds, &DefaultSteadyNs};

// A registry switch re-read at most once a minute.
template <typename T>
class CachedSwitch {
public:
    template <typename ReadFn>
    T Get(ReadFn read) {
        std::lock_guard<std::mutex> lock(m_mutex);
        RefreshLocked(read);
        return m_value;
    }

    // Re-reads the value when it is due and returns how often it has been
    // read, so that a caller can skip comparing a copy it compared before.
    template <typename ReadFn>
    std::uint64_t Refresh(ReadFn read) {
        std::lock_guard<std::mutex> lock(m_mutex);
        RefreshLocked(read);
        return m_reads;
    }

    // True while the next Get would return the cached copy without reading.
    bool Fresh() const noexcept {
        const std::int64_t readAt = m_readAt.load(std::memory_order_acquire);
        const std::int64_t now = s_clock.steadyNanoseconds();
        return readAt != kNever && now >= readAt && now - readAt < kSwitchCacheNs;
    }

private:
    static constexpr std::int64_t kNever = INT64_MIN;

    template <typename ReadFn>
    void RefreshLocked(ReadFn read) {
        const std::int64_t now = s_clock.steadyNanoseconds();
        const std::int64_t readAt = m_readAt.load(std::memory_order_relaxed);
        if (readAt == kNever || now - readAt >= kSwitchCacheNs || now < readAt) {
            m_value = read();
            ++m_reads;
            m_readAt.store(now, std::memory_order_release);
        }
    }

    std::mutex m_mutex;
    T m_value{};
    std::uint64_t m_reads = 0;
    std::atomic<std::int64_t> m_readAt{kNever};
};

// The switches are never destroyed either (see LoggerTexts).
CachedSwitch<bool>& EnabledSwitch() {
    static auto* const s = new CachedSwitch<bool>();
    return *s;
}
CachedSwitch<std::wstring>& LevelSwitch() {
    static auto* const s = new CachedSwitch<std::wstring>();
    return *s;
}
CachedSwitch<std::wstring>& DirSwitch() {
    static auto* const s = new CachedSwitch<std::wstring>();
    return *s;
}

bool ReadEnabledFromRegistry() {
    qln::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKmKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return true;
    DWORD type = 0;
    std::array<BYTE, 32 * sizeof(wchar_t)> data{};
    DWORD size = static_cast<DWORD>(data.size());
    if (::RegQueryValueExW(key.get(), L"LoggerEnabled", nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return true;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        wchar_t text[32];
        std::memcpy(text, data.data(), sizeof(text));
        text[31] = L'\0';
        const std::wstring lower = qln::ToLowerAscii(std::wstring(text, wcsnlen(text, 32)));
        return !(lower == L"false" || lower == L"0");
    }
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD v = 0;
        std::memcpy(&v, data.data(), sizeof(v));
        return v != 0;
    }
    return true;
}

spdlog::level::level_enum ToSpd(km::log::Level level) {
    return static_cast<spdlog::level::level_enum>(static_cast<int>(level));
}

std::tm LocalTm(std::time_t t, bool* ok) {
    std::tm tm{};
    *ok = localtime_s(&tm, &t) == 0;
    return tm;
}

// Sets [start, end) to the local day that holds t; an empty range when the
// time cannot be converted, so that the next log call replaces the logger.
void LocalDayBounds(std::time_t t, std::time_t& start, std::time_t& end) {
    start = end = t;
    bool ok = false;
    std::tm day = LocalTm(t, &ok);
    if (!ok) return;
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    day.tm_isdst = -1;
    std::tm next = day;
    next.tm_mday += 1;
    const std::time_t first = std::mktime(&day);
    const std::time_t after = std::mktime(&next);
    if (first == static_cast<std::time_t>(-1) || after == static_cast<std::time_t>(-1) || after <= first) return;
    start = first;
    end = after;
}

// Stores the switch's value in current when it differs; the texts are
// compared only when the switch was read anew since the last call.
bool TakeIfChanged(CachedSwitch<std::wstring>& value, std::wstring (*read)(), std::uint64_t& readsSeen,
                   std::wstring& current) {
    const std::uint64_t reads = value.Refresh(read);
    if (reads == readsSeen) return false;
    readsSeen = reads;
    std::wstring latest = value.Get(read);
    if (latest == current) return false;
    current = std::move(latest);
    return true;
}

std::wstring ReadLevelFromRegistry() {
    return qln::ToLowerAscii(KMLoggerHelper::ReadRegistryString(kKmKey, L"LoggerLevel", L"info"));
}
std::wstring ReadDirFromRegistry() {
    std::wstring dir = KMLoggerHelper::ReadRegistryString(kKmKey, L"LoggerDir", L"");
    // The folder ends up on the installer's command line (its log goes beside
    // ours), where a quote would let the value add arguments of its own.
    if (KMLoggerHelper::IsRefusedLoggerDir(dir)) return KMLoggerHelper::DefaultLogDir();
    return dir;
}

// Fixed-size wide buffer that silently truncates; no allocation.
class FallbackBuffer {
public:
    void Append(std::wstring_view s) {
        for (wchar_t c : s) Put(c);
    }
    void AppendUtf8(std::string_view s) {
        if (s.empty() || m_len >= kFallbackBufferChars - 1) return;
        const int room = static_cast<int>(kFallbackBufferChars - 1 - m_len);
        int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(std::min<size_t>(s.size(), INT_MAX)), m_buf + m_len, room);
        if (n == 0) {
            // Too long for the room left: convert what fits, character by character.
            for (char c : s) Put(static_cast<wchar_t>(static_cast<unsigned char>(c)));
            return;
        }
        m_len += static_cast<size_t>(n);
    }
    void AppendNumber(int v) {
        wchar_t tmp[16];
        const int n = std::swprintf(tmp, 16, L"%d", v);
        Append(std::wstring_view(tmp, n > 0 ? static_cast<size_t>(n) : 0));
    }
    void Put(wchar_t c) {
        if (m_len < kFallbackBufferChars - 1) m_buf[m_len++] = c;
    }
    const wchar_t* c_str() {
        m_buf[m_len] = L'\0';
        return m_buf;
    }
    std::wstring_view view() const { return std::wstring_view(m_buf, m_len); }

private:
    wchar_t m_buf[kFallbackBufferChars];
    size_t m_len = 0;
};

template <typename PatternAppender>
void BuildFallback(FallbackBuffer& buf, const char* function, int line, km::log::Level level, PatternAppender appendPattern) {
    buf.Append(L"[QLN] [");
    const std::string name = km::log::FunctionName(function);
    for (char c : name) buf.Put(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    buf.Put(L':');
    buf.AppendNumber(line);
    buf.Append(L"] [");
    const int idx = static_cast<int>(level);
    buf.Append(kFallbackTags[(idx >= 0 && idx <= 6) ? idx : 2]);
    buf.Append(L"] ");
    appendPattern(buf);
    buf.Put(L'\n');
}

}  // namespace

// ---------------------------------------------------------------------------

KMLoggerHelper::KMLoggerHelper() {
    ::InitializeCriticalSection(&m_lock);
    spdlog::details::registry::instance();
    // Registered after the registry came to be, so it runs before the
    // registry is destroyed at exit.
    std::atexit([] {
        auto& inst = Instance();
        ::EnterCriticalSection(&inst.m_lock);
        s_processExiting = true;
        ::LeaveCriticalSection(&inst.m_lock);
    });
    Texts().levelName = ReadLoggerLevel();
}

KMLoggerHelper& KMLoggerHelper::Instance() {
    // Never destroyed: log calls may come from static destructors and detached threads.
    static KMLoggerHelper* instance = new KMLoggerHelper();
    return *instance;
}

void KMLoggerHelper::SetClock(const Clock& clock) {
    s_clock = clock;
}

bool KMLoggerHelper::ReadLoggerEnabled() {
    return EnabledSwitch().Get(&ReadEnabledFromRegistry);
}

std::wstring KMLoggerHelper::ReadLoggerLevel() {
    return LevelSwitch().Get(&ReadLevelFromRegistry);
}

std::wstring KMLoggerHelper::ReadLoggerDir() {
    return DirSwitch().Get(&ReadDirFromRegistry);
}

std::wstring KMLoggerHelper::DefaultLogDir() {
    const std::wstring data = GetLocalDataDirectory();
    return data.empty() ? std::wstring() : data + L"Logger\\";
}

bool KMLoggerHelper::IsRefusedLoggerDir(const std::wstring& dir) noexcept {
    return qln::HasQuoteOrControl(dir);
}

int KMLoggerHelper::ParseLevelName(const std::wstring& name) {
    static const wchar_t* const names[] = {L"trace", L"debug", L"info", L"warning", L"error"};
    const std::wstring lower = qln::ToLowerAscii(name);
    for (int i = 0; i < 5; ++i) {
        if (lower == names[i]) return i;
    }
    return 2;
}

void KMLoggerHelper::WriteLoggerSwitch(const wchar_t* name, DWORD value) {
    qln::UniqueHkey key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kKmKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) return;
    ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

std::wstring KMLoggerHelper::ReadRegistryString(const wchar_t* subKey, const wchar_t* valueName, const std::wstring& defaultValue) {
    qln::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return defaultValue;
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return defaultValue;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return defaultValue;
    std::wstring buf(size / sizeof(wchar_t) + 1, L'\0');
    DWORD size2 = size;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size2) != ERROR_SUCCESS)
        return defaultValue;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return defaultValue;
    buf.resize(std::min<size_t>(buf.size(), size2 / sizeof(wchar_t)));
    const size_t nul = buf.find(L'\0');
    if (nul != std::wstring::npos) buf.resize(nul);
    return buf;
}

std::wstring KMLoggerHelper::FormatLocalTime(const wchar_t* pattern) {
    bool ok = false;
    const std::tm tm = LocalTm(s_clock.wallSeconds(), &ok);
    if (!ok) return {};
    wchar_t buf[128] = {};
    const size_t n = std::wcsftime(buf, 128, pattern, &tm);
    return std::wstring(buf, n);
}

bool KMLoggerHelper::CreateLogDirectory(const std::wstring& dir) {
    // Every level is created from the left; levels that cannot be created but
    // need not be (a drive, a server or share name) do no harm, and only the
    // directory itself decides the result.
    return dir.empty() || CreateDirectoryPath(dir);
}

std::wstring KMLoggerHelper::CurrentLogPath() {
    auto& inst = Instance();
    ::EnterCriticalSection(&inst.m_lock);
    std::wstring path = Texts().logPath;
    ::LeaveCriticalSection(&inst.m_lock);
    return path;
}

bool KMLoggerHelper::CreateLoggerLocked() {
    // Never throws: the callers hold the instance lock, and a failure here
    // must leave the process on debugger lines, not take it down.
    std::string name;
    try {
        if (Texts().logDir.empty()) return false;
        if (!CreateLogDirectory(Texts().logDir)) {
            std::cerr << "Failed to create log directory: " << qln::WideToUtf8(Texts().logDir) << "\n";
            return false;
        }
        Texts().logPath = Texts().logDir + FormatLocalTime(L"%Y-%m-%d") + Texts().fileSuffix;
        name = "Quillon_Logger_" + qln::WideToUtf8(FormatLocalTime(L"%Y%m%d_%H%M%S"));
        std::shared_ptr<spdlog::logger> logger;
        try {
            logger = spdlog::synchronous_factory::create<spdlog::sinks::basic_file_sink_mt>(name, Texts().logPath, false);
        } catch (const spdlog::spdlog_ex& ex) {
            std::cerr << "Failed to create logger: " << ex.what() << "\n";
            return false;
        }
        if (!logger) {
            std::cerr << "Failed to create logger: unknown error\n";
            return false;
        }
        Texts().levelName = ReadLoggerLevel();
        const auto level = static_cast<spdlog::level::level_enum>(ParseLevelName(Texts().levelName));
        logger->set_level(level);
        logger->flush_on(level);
        logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%s:%#] [%!] %v", spdlog::pattern_time_type::local, "\r\n"));
        s_loggerCreatedAt = s_clock.wallSeconds();
        LocalDayBounds(s_loggerCreatedAt, s_loggerDayStart, s_loggerDayEnd);
        s_filterLevel.store(static_cast<int>(level), std::memory_order_release);
        m_logger = std::move(logger);
        m_loggerName = name;
        return true;
    } catch (const std::exception& ex) {
        std::cerr << "Failed to create logger: " << ex.what() << "\n";
    } catch (...) {
        std::cerr << "Failed to create logger: unknown error\n";
    }
    // A logger registered before the failure would block the next creation under its name.
    try {
        if (!name.empty()) spdlog::drop(name);
    } catch (...) {
    }
    return false;
}

void KMLoggerHelper::DropLoggerLocked() {
    if (!m_logger) return;
    s_filterLevel.store(-1, std::memory_order_release);
    spdlog::drop(m_loggerName);
    m_logger.reset();
    m_loggerName.clear();
}

bool KMLoggerHelper::Initialize(const std::wstring& suffix, const std::wstring& fixedDir) {
    constexpr wchar_t kProbe[] = L"LoggerProbeInProgress";
    {
        qln::UniqueHkey key;
        DWORD type = 0, value = 0, size = sizeof(value);
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKmKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS &&
            ::RegQueryValueExW(key.get(), kProbe, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
            type == REG_DWORD && value != 0) {
            WriteLoggerSwitch(L"LoggerEnabled", 0);
            WriteLoggerSwitch(kProbe, 0);
            s_debugOutputOnly = true;
            s_loggerReady = false;
            return false;
        }
    }
    WriteLoggerSwitch(kProbe, 1);
    if (!ReadLoggerEnabled()) {
        WriteLoggerSwitch(kProbe, 0);
        s_debugOutputOnly = true;
        s_loggerReady = false;
        return false;
    }
    s_debugOutputOnly = false;
    s_loggerReady = false;
    // From here on every way out resets the probe: a probe left at 1 by a
    // process that lives on would turn logging off for good at the next start.
    try {
        auto& inst = Instance();
        ::EnterCriticalSection(&inst.m_lock);
        const auto unlock = qln::ScopeExit([&] { ::LeaveCriticalSection(&inst.m_lock); });
        Texts().fileSuffix = suffix;
        s_fixedDir = !fixedDir.empty();
        Texts().logDir = s_fixedDir ? fixedDir : ReadLoggerDir();
        inst.DropLoggerLocked();
        if (!inst.CreateLoggerLocked()) {
            WriteLoggerSwitch(kProbe, 0);
            return false;
        }
        try {
            const std::string func = km::log::FunctionName(KM_LOG_FUNCTION_TEXT);
            inst.m_logger->log(spdlog::source_loc{__FILE__, __LINE__, func.c_str()}, spdlog::level::info,
                               "Logger probe: initialization successful");
            inst.m_logger->flush();
        } catch (...) {
            WriteLoggerSwitch(kProbe, 0);
            inst.DropLoggerLocked();
            s_debugOutputOnly = true;
            return false;
        }
        WriteLoggerSwitch(kProbe, 0);
        s_loggerReady = true;
        return true;
    } catch (...) {
        WriteLoggerSwitch(kProbe, 0);
        s_loggerReady = false;
        return false;
    }
}

std::shared_ptr<spdlog::logger> KMLoggerHelper::GetLogger() {
    auto& inst = Instance();
    ::EnterCriticalSection(&inst.m_lock);
    // Released on every way out, also when a registry read or spdlog throws.
    const auto unlock = qln::ScopeExit([&] { ::LeaveCriticalSection(&inst.m_lock); });
    if (!s_loggerReady) return {};
    if (s_processExiting) return inst.m_logger;
    if (inst.m_logger) {
        const std::time_t now = s_clock.wallSeconds();
        if (now >= s_loggerDayStart && now < s_loggerDayEnd) {
            if (!s_fixedDir && TakeIfChanged(DirSwitch(), &ReadDirFromRegistry, s_dirReadsSeen, Texts().logDir))
                inst.DropLoggerLocked();
        } else {
            inst.DropLoggerLocked();
        }
    }
    if (!inst.m_logger && !inst.CreateLoggerLocked()) return {};
    if (TakeIfChanged(LevelSwitch(), &ReadLevelFromRegistry, s_levelReadsSeen, Texts().levelName)) {
        const int parsed = ParseLevelName(Texts().levelName);
        inst.m_logger->set_level(static_cast<spdlog::level::level_enum>(parsed));
        s_filterLevel.store(parsed, std::memory_order_release);
    }
    return inst.m_logger;
}

std::wstring KMLoggerHelper::FormatFallbackLine(const char* function, int line, km::log::Level level, std::wstring_view pattern) {
    FallbackBuffer buf;
    BuildFallback(buf, function, line, level, [&](FallbackBuffer& b) { b.Append(pattern); });
    return std::wstring(buf.view());
}

std::wstring KMLoggerHelper::FormatFallbackLine(const char* function, int line, km::log::Level level, std::string_view utf8Pattern) {
    FallbackBuffer buf;
    BuildFallback(buf, function, line, level, [&](FallbackBuffer& b) { b.AppendUtf8(utf8Pattern); });
    return std::wstring(buf.view());
}

// ---------------------------------------------------------------------------
// The log call.

namespace km::log {

namespace {

template <typename Pattern>
std::shared_ptr<spdlog::logger> BeginImpl(Level level, const SourceLoc& loc, Pattern pattern) noexcept {
    try {
        if (!s_debugOutputOnly && s_loggerReady) {
            // Below the level of a logger that exists, and while the level
            // switch is cached, the message is dropped without the logger or
            // its lock: nothing would be written either way. (A change of
            // date or directory waits for the next message that is written.)
            if (static_cast<int>(level) < s_filterLevel.load(std::memory_order_acquire) && LevelSwitch().Fresh()) {
                return {};
            }
            auto logger = KMLoggerHelper::GetLogger();
            if (logger) {
                if (logger->should_log(ToSpd(level))) return logger;
                return {};
            }
        }
        FallbackBuffer buf;
        if constexpr (std::is_same_v<Pattern, std::wstring_view>) {
            BuildFallback(buf, loc.function, loc.line, level, [&](FallbackBuffer& b) { b.Append(pattern); });
        } else {
            BuildFallback(buf, loc.function, loc.line, level, [&](FallbackBuffer& b) { b.AppendUtf8(pattern); });
        }
        ::OutputDebugStringW(buf.c_str());
    } catch (...) {
        // Logging never takes the program down.
    }
    return {};
}

}  // namespace

std::shared_ptr<spdlog::logger> Begin(Level level, const SourceLoc& loc, std::wstring_view pattern) noexcept {
    return BeginImpl(level, loc, pattern);
}

std::shared_ptr<spdlog::logger> Begin(Level level, const SourceLoc& loc, std::string_view utf8Pattern) noexcept {
    return BeginImpl(level, loc, utf8Pattern);
}

void Write(const std::shared_ptr<spdlog::logger>& logger, Level level, const SourceLoc& loc, std::string_view utf8Message) noexcept {
    try {
        const std::string func = FunctionName(loc.function);
        // Arguments come from the registry, configuration files, other
        // programs' messages and servers: none of them may start a line of
        // its own. Most messages hold nothing to replace and are not copied.
        const bool plain = std::none_of(utf8Message.begin(), utf8Message.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F || byte == 0xE2;
        });
        const std::string sanitised = plain ? std::string() : qln::ForLogLine(utf8Message);
        const std::string_view message = plain ? utf8Message : std::string_view(sanitised);
        logger->log(spdlog::log_clock::now(), spdlog::source_loc{loc.file, loc.line, func.c_str()}, ToSpd(level),
                    spdlog::string_view_t(message.data(), message.size()));
    } catch (...) {
    }
}

std::string ToUtf8(std::wstring_view text) noexcept {
    try {
        return qln::WideToUtf8(text);
    } catch (...) {
        return {};
    }
}

}  // namespace km::log

// The logger: file name and line format, the probe protocol, the switches,
// roll-over by date and directory, and the fallback line.
#include "support/TestSupport.h"

#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <filesystem>
#include <regex>

namespace {

using qlntest::SetKmDword;
using qlntest::SetKmString;
using qlntest::SetKmValue;

std::optional<DWORD> GetDword(const wchar_t* name) { return qlntest::HkcuDword(qlntest::kKmKey, name); }

// Test clock: wall time and steady time that the test moves by hand.
std::atomic<std::time_t> g_wall{0};
std::atomic<std::int64_t> g_steady{0};
std::time_t TestWall() { return g_wall.load(); }
std::int64_t TestSteady() { return g_steady.load(); }

class ManualClock {
public:
    ManualClock() {
        g_wall = std::time(nullptr);
        g_steady = 1'000'000'000'000;
        KMLoggerHelper::SetClock({&TestWall, &TestSteady});
    }
    ~ManualClock() {
        KMLoggerHelper::SetClock({[] { return std::time(nullptr); },
                                  [] {
                                      return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                                           std::chrono::steady_clock::now().time_since_epoch())
                                                                           .count());
                                  }});
    }
    void AdvanceSeconds(std::int64_t s) {
        g_wall += static_cast<std::time_t>(s);
        g_steady += s * 1'000'000'000;
    }
};

std::wstring DateName(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    wchar_t buf[64];
    std::wcsftime(buf, 64, L"%Y-%m-%d.upgrade.log", &tm);
    return buf;
}

TEST(KMLogger, WritesDailyFileWithPatternAndProbeLine) {
    qlntest::LogCapture log;
    KM_LOG_INFO(L"hello {} {}", L"world", 42);
    KM_LOG_WARN("utf8 pattern {}", std::string("\xC3\xA9"));

    ASSERT_TRUE(std::filesystem::exists(log.FilePath()));
    EXPECT_EQ(KMLoggerHelper::CurrentLogPath(), log.FilePath().wstring());
    const std::string raw = qlntest::ReadFileBytes(log.FilePath());
    EXPECT_NE(raw.find("\r\n"), std::string::npos) << "lines end in CR LF";

    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(\[info\] .*\] Logger probe: initialization successful$)")))
        << lines[0];

    const std::regex pattern(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[info\] \[KMLoggerHelperTests\.cpp:\d+\] \[.*TestBody\] hello world 42$)");
    EXPECT_EQ(log.Matching("hello world").size(), 1u);
    EXPECT_TRUE(std::regex_match(log.Matching("hello world").front(), pattern)) << log.Matching("hello world").front();
    EXPECT_TRUE(log.Contains("[warning]"));
    EXPECT_TRUE(log.Contains("utf8 pattern \xC3\xA9"));
}

TEST(KMLogger, LevelFromRegistryFiltersAndIsFollowedAfterTheCacheExpires) {
    ManualClock clock;
    qlntest::TempDir dir;
    SetKmString(L"LoggerDir", dir.dirWithSlash());
    SetKmString(L"LoggerLevel", L"WaRnInG");
    ASSERT_TRUE(KMLoggerHelper::Initialize(L".upgrade.log"));
    KM_LOG_INFO(L"dropped info");
    KM_LOG_WARN(L"kept warning");

    SetKmString(L"LoggerLevel", L"debug");
    KM_LOG_DEBUG(L"debug while cached");  // switch still cached: dropped
    clock.AdvanceSeconds(60);
    KM_LOG_DEBUG(L"debug after expiry");
    // The flush level stays at the set-up level: a warning flushes the lines before it.
    KM_LOG_WARN(L"flush marker");

    const std::string text = qlntest::ReadFileBytes(dir.path() / DateName(g_wall));
    EXPECT_EQ(text.find("dropped info"), std::string::npos);
    EXPECT_NE(text.find("kept warning"), std::string::npos);
    EXPECT_EQ(text.find("debug while cached"), std::string::npos);
    EXPECT_NE(text.find("debug after expiry"), std::string::npos);
}

TEST(KMLogger, ParseLevelNameAcceptsOnlyTheFiveNames) {
    EXPECT_EQ(KMLoggerHelper::ParseLevelName(L"trace"), 0);
    EXPECT_EQ(KMLoggerHelper::ParseLevelName(L"DEBUG"), 1);
    EXPECT_EQ(KMLoggerHelper::ParseLevelName(L"Info"), 2);
    EXPECT_EQ(KMLoggerHelper::ParseLevelName(L"warning"), 3);
    EXPECT_EQ(KMLoggerHelper::ParseLevelName(L"error"), 4);
    for (const wchar_t* other : {L"warn", L"critical", L"off", L"", L" info", L"err"})
        EXPECT_EQ(KMLoggerHelper::ParseLevelName(other), 2) << other;
}

TEST(KMLogger, LeftoverProbeTurnsLoggingOff) {
    qlntest::TempDir dir;
    SetKmString(L"LoggerDir", dir.dirWithSlash());
    SetKmDword(L"LoggerProbeInProgress", 1);
    EXPECT_FALSE(KMLoggerHelper::Initialize(L".upgrade.log"));
    EXPECT_EQ(GetDword(L"LoggerEnabled"), DWORD{0});
    EXPECT_EQ(GetDword(L"LoggerProbeInProgress"), DWORD{0});
    KM_LOG_ERROR(L"goes to the debugger only");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no log file may be opened";
}

TEST(KMLogger, DirectoryOutsideTheAnsiCodePage) {
    qlntest::TempDir base;
    // Greek and CJK: no ANSI code page holds both, so only wide file calls reach the folder.
    const std::wstring dir = base.dirWithSlash() + L"\u0394\u03b9\u03ac\u03b3\u03c1\u03b1\u03bc\u03bc\u03b1_\u65e5\u5fd7\\";
    SetKmString(L"LoggerDir", dir);
    ASSERT_TRUE(KMLoggerHelper::Initialize(L".upgrade.log"));
    KM_LOG_INFO(L"written beside \u65e5\u5fd7");
    const std::wstring path = KMLoggerHelper::CurrentLogPath();
    EXPECT_EQ(path.substr(0, dir.size()), dir);
    const std::string text = qlntest::ReadFileBytes(path);
    EXPECT_NE(text.find("Logger probe: initialization successful"), std::string::npos);
    EXPECT_NE(text.find("written beside \xE6\x97\xA5\xE5\xBF\x97"), std::string::npos);
}

TEST(KMLogger, ExceptionDuringCreationReleasesTheLockAndTheProbe) {
    qlntest::TempDir dir;
    SetKmString(L"LoggerDir", dir.dirWithSlash());
    // The wall clock is first asked while the logger is created, under the lock.
    KMLoggerHelper::SetClock({[]() -> std::time_t { throw std::runtime_error("clock broke"); }, &TestSteady});
    EXPECT_FALSE(KMLoggerHelper::Initialize(L".upgrade.log"));
    EXPECT_EQ(GetDword(L"LoggerProbeInProgress"), DWORD{0}) << "a probe left at 1 turns logging off at the next start";
    // Another thread gets the lock (a held critical section would block it for good).
    auto other = std::async(std::launch::async, [] { return KMLoggerHelper::CurrentLogPath(); });
    EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ManualClock clock;
    EXPECT_TRUE(KMLoggerHelper::Initialize(L".upgrade.log")) << "the next set-up works";
    EXPECT_NE(GetDword(L"LoggerEnabled"), std::optional<DWORD>(0));
}

TEST(KMLogger, SuccessfulSetUpClearsTheProbe) {
    qlntest::LogCapture log;
    EXPECT_EQ(GetDword(L"LoggerProbeInProgress"), DWORD{0});
}

struct EnabledCase {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    bool expectEnabled;
};

void PrintTo(const EnabledCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<BYTE> Wide(const std::wstring& s) {
    const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
    return std::vector<BYTE>(p, p + (s.size() + 1) * sizeof(wchar_t));
}

class LoggerEnabledSwitch : public ::testing::TestWithParam<EnabledCase> {};

TEST_P(LoggerEnabledSwitch, DecidesWhetherTheFileIsWritten) {
    const auto& c = GetParam();
    qlntest::TempDir dir;
    SetKmString(L"LoggerDir", dir.dirWithSlash());
    SetKmValue(L"LoggerEnabled", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    EXPECT_EQ(KMLoggerHelper::ReadLoggerEnabled(), c.expectEnabled);
    EXPECT_EQ(KMLoggerHelper::Initialize(L".upgrade.log"), c.expectEnabled);
    EXPECT_EQ(std::filesystem::is_empty(dir.path()), !c.expectEnabled);
    EXPECT_EQ(GetDword(L"LoggerProbeInProgress"), DWORD{0});
}

const DWORD kZero = 0, kTwo = 2;
const unsigned long long kQwordZero = 0;

INSTANTIATE_TEST_SUITE_P(
    Values, LoggerEnabledSwitch,
    ::testing::Values(EnabledCase{"FALSE", REG_SZ, Wide(L"FALSE"), false}, EnabledCase{"zero_text", REG_SZ, Wide(L"0"), false},
                      EnabledCase{"expand_false", REG_EXPAND_SZ, Wide(L"false"), false},
                      EnabledCase{"dword0", REG_DWORD, {0, 0, 0, 0}, false}, EnabledCase{"no", REG_SZ, Wide(L"no"), true},
                      EnabledCase{"off", REG_SZ, Wide(L"off"), true}, EnabledCase{"dword2", REG_DWORD, {2, 0, 0, 0}, true},
                      EnabledCase{"qword0", REG_QWORD, {0, 0, 0, 0, 0, 0, 0, 0}, true},
                      EnabledCase{"binary0", REG_BINARY, {0, 0, 0, 0}, true},
                      EnabledCase{"too_long", REG_SZ, Wide(L"false" + std::wstring(40, L' ')), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KMLogger, ChangedDirectoryMovesLoggingToANewFile) {
    ManualClock clock;
    qlntest::TempDir first, second;
    SetKmString(L"LoggerDir", first.dirWithSlash());
    ASSERT_TRUE(KMLoggerHelper::Initialize(L".upgrade.log"));
    KM_LOG_INFO(L"line in first");

    SetKmString(L"LoggerDir", second.dirWithSlash() + L"sub/dir/");
    KM_LOG_INFO(L"still first (cached switch)");
    clock.AdvanceSeconds(61);
    KM_LOG_INFO(L"line in second");

    const std::wstring name = DateName(g_wall);
    const std::string a = qlntest::ReadFileBytes(first.path() / name);
    EXPECT_NE(a.find("line in first"), std::string::npos);
    EXPECT_NE(a.find("still first"), std::string::npos);
    EXPECT_EQ(a.find("line in second"), std::string::npos);
    // Forward slashes: every level is created; the file path keeps them.
    const auto secondFile = second.path() / L"sub" / L"dir" / name;
    EXPECT_NE(qlntest::ReadFileBytes(secondFile).find("line in second"), std::string::npos);
    EXPECT_EQ(KMLoggerHelper::CurrentLogPath(), second.dirWithSlash() + L"sub/dir/" + name);
}

TEST(KMLogger, NewLocalDateRollsOverToANewFile) {
    ManualClock clock;
    qlntest::TempDir dir;
    SetKmString(L"LoggerDir", dir.dirWithSlash());
    ASSERT_TRUE(KMLoggerHelper::Initialize(L".upgrade.log"));
    KM_LOG_INFO(L"before midnight");
    const std::wstring today = DateName(g_wall);
    clock.AdvanceSeconds(24 * 3600);
    KM_LOG_INFO(L"after midnight");
    const std::wstring tomorrow = DateName(g_wall);
    ASSERT_NE(today, tomorrow);
    const std::string old = qlntest::ReadFileBytes(dir.path() / today);
    EXPECT_NE(old.find("before midnight"), std::string::npos);
    EXPECT_EQ(old.find("after midnight"), std::string::npos);
    EXPECT_NE(qlntest::ReadFileBytes(dir.path() / tomorrow).find("after midnight"), std::string::npos);
}

TEST(KMLogger, EmptyDirectoryMeansNoLogger) {
    EXPECT_FALSE(KMLoggerHelper::Initialize(L".upgrade.log"));
    EXPECT_EQ(GetDword(L"LoggerProbeInProgress"), DWORD{0});
    EXPECT_EQ(KMLoggerHelper::GetLogger(), nullptr);
}

TEST(KMLogger, FallbackLineFormatAndTruncation) {
    const std::wstring line = KMLoggerHelper::FormatFallbackLine("int wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)", 12,
                                                                 km::log::Level::Warning, std::wstring_view(L"value {}"));
    EXPECT_EQ(line, L"[QLN] [wWinMain:12] [WRN] value {}\n");
    EXPECT_EQ(KMLoggerHelper::FormatFallbackLine("void f()", 1, km::log::Level::Trace, std::string_view("x")), L"[QLN] [f:1] [TRC] x\n");

    const std::wstring longPattern(2000, L'x');
    const std::wstring cut = KMLoggerHelper::FormatFallbackLine("void f()", 1, km::log::Level::Error, std::wstring_view(longPattern));
    EXPECT_EQ(cut.size(), 1023u);
    EXPECT_EQ(cut.substr(0, 20), L"[QLN] [f:1] [ERR] xx");
    const std::string longUtf8(3000, 'y');
    EXPECT_EQ(KMLoggerHelper::FormatFallbackLine("void f()", 1, km::log::Level::Debug, std::string_view(longUtf8)).size(), 1023u);
}

TEST(KMLogger, FunctionNamesAreClassAndMethod) {
    using km::log::FunctionName;
    EXPECT_EQ(FunctionName("static bool KMLoggerHelper::Initialize(const std::wstring&)"), "KMLoggerHelper::Initialize");
    EXPECT_EQ(FunctionName("std::shared_ptr<spdlog::logger> KMLoggerHelper::GetLogger()"), "KMLoggerHelper::GetLogger");
    EXPECT_EQ(FunctionName("LRESULT WndProc(HWND, UINT, WPARAM, LPARAM)"), "WndProc");
    EXPECT_EQ(FunctionName("QLNVersionChecker::QLNVersionChecker()"), "QLNVersionChecker::QLNVersionChecker");
    EXPECT_EQ(FunctionName("void {anonymous}::Run()"), "Run");
    EXPECT_EQ(FunctionName("void (anonymous namespace)::Outer::Run()"), "Outer::Run");
    EXPECT_EQ(FunctionName("bool X::F(int)::<lambda()>"), "X::F::<lambda_1>::operator ()");
    EXPECT_EQ(FunctionName("KMLoggerHelper::Initialize"), "KMLoggerHelper::Initialize");
}

TEST(KMLogger, CreateLogDirectoryBuildsEveryLevel) {
    qlntest::TempDir dir;
    const std::wstring target = dir.dirWithSlash() + L"a/b\\c";
    EXPECT_TRUE(KMLoggerHelper::CreateLogDirectory(target));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / L"a" / L"b" / L"c"));
    EXPECT_TRUE(KMLoggerHelper::CreateLogDirectory(target)) << "existing directories count as created";
    EXPECT_TRUE(KMLoggerHelper::CreateLogDirectory(L""));
    qlntest::WriteFileBytes(dir.path() / L"file", "x");
    EXPECT_FALSE(KMLoggerHelper::CreateLogDirectory(dir.dirWithSlash() + L"file\\below\\"));
}

}  // namespace

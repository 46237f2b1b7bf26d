#pragma once
// The log call. Every message carries a level, an fmt-style pattern with
// "{}" placeholders, its arguments and the source location (file, line and
// Class::Method). Wide patterns (L"...") are the rule; a narrow pattern is
// UTF-8 and is used where the text is UTF-8 already (HTTP, configuration).
//
//   KM_LOG_INFO(L"Checking version from {}", url);
//
// Arguments are formatted only when the message will actually be written.

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace spdlog {
class logger;
}

namespace km::log {

enum class Level : int { Trace = 0, Debug = 1, Info = 2, Warning = 3, Error = 4, Critical = 5, Off = 6 };

struct SourceLoc {
    const char* file;
    int line;
    const char* function;  // raw compiler text; see FunctionName()
};

// "Class::Method" for members, the bare name for free functions, and the
// enclosing name followed by "::<lambda_1>::operator ()" inside a lambda.
std::string FunctionName(const char* compilerText);

// Decides how a message is delivered: returns the logger when the message is
// to be formatted and written, otherwise writes the fallback line when that
// is the route and returns empty. Never throws.
std::shared_ptr<spdlog::logger> Begin(Level level, const SourceLoc& loc, std::wstring_view pattern) noexcept;
std::shared_ptr<spdlog::logger> Begin(Level level, const SourceLoc& loc, std::string_view utf8Pattern) noexcept;
// Hands a formatted UTF-8 message to the logger. Never throws.
void Write(const std::shared_ptr<spdlog::logger>& logger, Level level, const SourceLoc& loc, std::string_view utf8Message) noexcept;
std::string ToUtf8(std::wstring_view text) noexcept;

template <typename... Args>
void Log(Level level, const SourceLoc& loc, fmt::wformat_string<Args...> pattern, Args&&... args) noexcept {
    const fmt::basic_string_view<wchar_t> view = pattern;
    auto logger = Begin(level, loc, std::wstring_view(view.data(), view.size()));
    if (!logger) return;
    try {
        Write(logger, level, loc, ToUtf8(fmt::format(pattern, std::forward<Args>(args)...)));
    } catch (...) {
        Write(logger, level, loc, ToUtf8(std::wstring_view(view.data(), view.size())));
    }
}

template <typename... Args>
void Log(Level level, const SourceLoc& loc, fmt::format_string<Args...> pattern, Args&&... args) noexcept {
    const fmt::string_view view = pattern;
    auto logger = Begin(level, loc, std::string_view(view.data(), view.size()));
    if (!logger) return;
    try {
        Write(logger, level, loc, fmt::format(pattern, std::forward<Args>(args)...));
    } catch (...) {
        Write(logger, level, loc, std::string_view(view.data(), view.size()));
    }
}

}  // namespace km::log

#if defined(_MSC_VER)
#define KM_LOG_FUNCTION_TEXT __FUNCTION__
#else
#define KM_LOG_FUNCTION_TEXT __PRETTY_FUNCTION__
#endif

#define KM_LOG(level, ...)                                                                          \
    ::km::log::Log(level, ::km::log::SourceLoc{__FILE__, __LINE__, KM_LOG_FUNCTION_TEXT}, __VA_ARGS__)

#define KM_LOG_TRACE(...) KM_LOG(::km::log::Level::Trace, __VA_ARGS__)
#define KM_LOG_DEBUG(...) KM_LOG(::km::log::Level::Debug, __VA_ARGS__)
#define KM_LOG_INFO(...) KM_LOG(::km::log::Level::Info, __VA_ARGS__)
#define KM_LOG_WARN(...) KM_LOG(::km::log::Level::Warning, __VA_ARGS__)
#define KM_LOG_ERROR(...) KM_LOG(::km::log::Level::Error, __VA_ARGS__)

#pragma once
// Hands every message the process's logger writes to a test's function, on
// the thread that logs it and at the moment it is logged, for tests that must
// see the state of the code under test while a given line is written. The
// function may log and call back into the code under test.
//
//   qlntest::LogTap tap([&](const std::string& message) { ... });

#include <functional>
#include <memory>
#include <string>

namespace spdlog::sinks {
class sink;
}

namespace qlntest {

class LogTap {
public:
    // Needs a logger (a LogCapture set up first); the tap ends when the
    // logger is replaced (a new day or log folder).
    explicit LogTap(std::function<void(const std::string& message)> onMessage);
    ~LogTap();
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;

private:
    std::shared_ptr<spdlog::sinks::sink> m_sink;
};

}  // namespace qlntest

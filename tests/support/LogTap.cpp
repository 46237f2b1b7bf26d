#include "support/LogTap.h"

#include "Utils/KM/KMLoggerHelper.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace qlntest {

namespace {

// Recursive: the test's function may log, which comes back here.
class CallbackSink final : public spdlog::sinks::base_sink<std::recursive_mutex> {
public:
    explicit CallbackSink(std::function<void(const std::string&)> onMessage) : m_onMessage(std::move(onMessage)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        m_onMessage(std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}

private:
    std::function<void(const std::string&)> m_onMessage;
};

}  // namespace

LogTap::LogTap(std::function<void(const std::string& message)> onMessage)
    : m_sink(std::make_shared<CallbackSink>(std::move(onMessage))) {
    const auto logger = KMLoggerHelper::GetLogger();
    EXPECT_TRUE(logger) << "no logger to tap";
    if (logger) logger->sinks().push_back(m_sink);
}

LogTap::~LogTap() {
    if (const auto logger = KMLoggerHelper::GetLogger()) {
        auto& sinks = logger->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), m_sink), sinks.end());
    }
}

}  // namespace qlntest

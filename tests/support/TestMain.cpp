// Test entry point: every test starts and ends with a clean product registry.
#include "support/TestSupport.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeResultStore.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/StringConv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

namespace {

class RegistryReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { qlntest::ClearProductRegistry(); }
    void OnTestEnd(const ::testing::TestInfo&) override { qlntest::ClearProductRegistry(); }
};

// The product reads its logger and configuration settings once per process,
// so a test that changes them sees its own only in a process of its own;
// ctest starts one per test. Say so when a run holds more.
class ProcessPerTestNote : public ::testing::EmptyTestEventListener {
    void OnTestProgramStart(const ::testing::UnitTest& unitTest) override {
        if (unitTest.test_to_run_count() <= 1) return;
        std::printf("Note: %d tests in one process. These suites expect a process per test, as ctest runs them; "
                    "tests that change the logger or configuration settings may fail here.\n",
                    unitTest.test_to_run_count());
    }
};

// Started by RelaunchElevated as "the elevated copy" (the tests' executable is
// the running module): records its command line and ends with the scripted
// exit code instead of running tests.
bool RunAsElevatedCopy(int argc, wchar_t** argv, int& exitCode) {
    bool elevated = false;
    for (int i = 1; i < argc; ++i)
        elevated = elevated || _wcsicmp(argv[i], L"--elevated-silent") == 0 || _wcsicmp(argv[i], L"--elevated-resume") == 0 ||
                   _wcsicmp(argv[i], L"--elevated-manual") == 0;
    if (!elevated) return false;
    const std::wstring record = qlntest::Env(L"QLN_TEST_ELEVATED_RECORD");
    if (!record.empty()) qlntest::WriteFileBytes(record, qln::WideToUtf8(::GetCommandLineW()));
    // A copy of the same account ends the user's interrupted run either way.
    if (!qlntest::Env(L"QLN_TEST_ELEVATED_CLEARS_RECORD").empty()) ClearUpgradeProgress();
    // "mode|code|version": the history line the copy writes.
    const std::wstring history = qlntest::Env(L"QLN_TEST_ELEVATED_HISTORY");
    if (const size_t bar = history.find(L'|'), bar2 = history.find(L'|', bar + 1); bar2 != std::wstring::npos) {
        const int code = _wtoi(history.c_str() + bar + 1);
        QLNUpgradeResultStore::AddResult(code < 4, history.substr(0, bar), history.substr(bar2 + 1), code);
    }
    // A copy that stopped the status cache asks the daemon to start it.
    if (!qlntest::Env(L"QLN_TEST_ELEVATED_STOPS_CACHE").empty()) {
        if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, KMWinOSUtils::kQLNCacheStoppedEvent)) {
            ::SetEvent(event);
            ::CloseHandle(event);
        }
    }
    const std::wstring code = qlntest::Env(L"QLN_TEST_ELEVATED_EXIT");
    exitCode = code.empty() ? 0 : _wtoi(code.c_str());
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (int exitCode = 0; RunAsElevatedCopy(argc, argv, exitCode)) return exitCode;
    // As the program does at start.
    KMHttpUtils::SetExtraHeadersSource(&KMConfigManager::ExtraHttpHeaders);
    static QLNUpgradePrompts prompts;
    SetUpgradeQuestions(&prompts);
    ::testing::InitGoogleMock(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new RegistryReset);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ProcessPerTestNote);
    return RUN_ALL_TESTS();
}

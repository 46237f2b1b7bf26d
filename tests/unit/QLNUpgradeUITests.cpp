// The prompts, driven through the real comctl32 task dialog: the test reads
// each live dialog's texts and buttons and answers it with TDM_CLICK_BUTTON or
// the close box, while a recording seam keeps the exact configuration.
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeUI.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "Utils/KM/KMLangHelper.h"
#include "Utils/KM/KMWinOSUtils.h"
#include "Utils/PathUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr int kClose = -1;  // answer with the close box

struct SeenDialog {
    // From the configuration handed to TaskDialogIndirect.
    DWORD flags = 0;
    PCWSTR icon = nullptr;
    int defaultButton = 0;
    UINT width = 0;
    LONG_PTR refData = 0;
    std::wstring title;
    std::vector<std::pair<int, std::wstring>> buttons;
    // From the live dialog.
    std::vector<std::wstring> statics;
    std::vector<std::wstring> buttonTexts;
};

std::mutex g_seenLock;
std::vector<SeenDialog> g_seen;

HRESULT WINAPI RecordingTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verify) {
    SeenDialog seen;
    seen.flags = config->dwFlags;
    seen.icon = config->pszMainIcon;
    seen.defaultButton = config->nDefaultButton;
    seen.width = config->cxWidth;
    seen.refData = config->lpCallbackData;
    seen.title = config->pszWindowTitle;
    for (UINT i = 0; i < config->cButtons; ++i) seen.buttons.emplace_back(config->pButtons[i].nButtonID, config->pButtons[i].pszButtonText);
    {
        std::lock_guard lock(g_seenLock);
        g_seen.push_back(seen);
    }
    using Fn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    auto real = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(::LoadLibraryW(L"comctl32.dll"), "TaskDialogIndirect")));
    return real ? real(config, button, radio, verify) : E_NOTIMPL;
}

HRESULT WINAPI FailingTaskDialog(const TASKDIALOGCONFIG*, int*, int*, BOOL*) { return E_OUTOFMEMORY; }

std::vector<std::wstring> ChildTexts(HWND dialog, const wchar_t* className) {
    struct Ctx {
        const wchar_t* cls;
        std::vector<std::wstring> out;
    } ctx{className, {}};
    ::EnumChildWindows(
        dialog,
        [](HWND child, LPARAM p) -> BOOL {
            auto* c = reinterpret_cast<Ctx*>(p);
            wchar_t cls[64] = {}, text[4096] = {};
            ::GetClassNameW(child, cls, 64);
            ::GetWindowTextW(child, text, 4096);
            if (_wcsicmp(cls, c->cls) == 0 && text[0]) c->out.push_back(text);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&ctx));
    return ctx.out;
}

// Answers the next dialogs in order; each answer is a button id or kClose.
class DialogDriver {
public:
    explicit DialogDriver(std::vector<int> answers) {
        m_thread = std::thread([this, answers] {
            HWND previous = nullptr;
            for (size_t i = 0; i < answers.size(); ++i) {
                HWND dialog = nullptr;
                for (int tries = 0; tries < 400 && !dialog; ++tries) {
                    HWND found = ::FindWindowW(L"#32770", L"Quillon");
                    if (found && found != previous && ::IsWindow(found)) dialog = found;
                    else std::this_thread::sleep_for(std::chrono::milliseconds(25));
                }
                if (!dialog) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it lay out its controls
                SeenDialog live;
                live.statics = ChildTexts(dialog, L"Static");
                live.buttonTexts = ChildTexts(dialog, L"Button");
                {
                    std::lock_guard lock(m_lock);
                    m_live.push_back(live);
                }
                if (answers[i] == kClose) ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
                else ::PostMessageW(dialog, TDM_CLICK_BUTTON, static_cast<WPARAM>(answers[i]), 0);
                for (int tries = 0; tries < 200 && ::IsWindow(dialog); ++tries) std::this_thread::sleep_for(std::chrono::milliseconds(25));
                previous = dialog;
            }
        });
    }
    ~DialogDriver() { Join(); }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }
    // Configuration and live view of every dialog shown, in order.
    std::vector<SeenDialog> Dialogs() {
        Join();
        std::lock_guard a(g_seenLock), b(m_lock);
        std::vector<SeenDialog> all = g_seen;
        for (size_t i = 0; i < all.size() && i < m_live.size(); ++i) {
            all[i].statics = m_live[i].statics;
            all[i].buttonTexts = m_live[i].buttonTexts;
        }
        return all;
    }

private:
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<SeenDialog> m_live;
};

bool HasText(const std::vector<std::wstring>& texts, const std::wstring& wanted) {
    for (const auto& t : texts) {
        if (t == wanted) return true;
    }
    return false;
}

int g_rebootCalls = 0;
int g_explorerRestarts = 0;

class PromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        qlntest::ClearProductRegistry();
        m_log.emplace();
        g_seen.clear();
        g_rebootCalls = 0;
        g_explorerRestarts = 0;
    }
    qlntest::ScopedSeam<qln::seams::TaskDialogIndirectFn> m_dialogs{qln::seams::g_taskDialogIndirect,
                                                                    &RecordingTaskDialog};
    // A reboot that fails at both system calls; an Explorer restart that is only counted.
    qlntest::ScopedSeam<qln::seams::ExitWindowsExFn> m_exitWindows{
        qln::seams::g_exitWindowsEx, [](UINT, DWORD) -> BOOL { ++g_rebootCalls; return FALSE; }};
    qlntest::ScopedSeam<qln::seams::InitiateSystemShutdownFn> m_shutdown{
        qln::seams::g_initiateSystemShutdown, [](LPWSTR, LPWSTR, DWORD, BOOL, BOOL) -> BOOL { return FALSE; }};
    qlntest::ScopedSeam<qln::seams::RestartExplorerFn> m_explorer{qln::seams::g_restartExplorer,
                                                                  [] { ++g_explorerRestarts; }};
    std::optional<qlntest::LogCapture> m_log;
};

const std::wstring kNew = L"1.17.KM17.3000";
const std::wstring kCurrent = CurrentVersion;

struct ChoiceCase {
    const char* name;
    int (*run)();
    int answer;
    int expected;  // mapped result of the prompt
    std::wstring main, content;
    std::vector<std::wstring> buttons;
    int defaultButton;
    PCWSTR icon;
    DWORD flags;
};

const ChoiceCase kChoiceCases[] = {
    {"AvailableIgnore", [] { return static_cast<int>(QLNUpgradeUI::PromptUpgradeAvailable(kNew, true)); }, IDIGNORE, 2,
     L"Quillon " + kNew + L" is available",
     L"Your current version: " + kCurrent + L"\nLatest version: " + kNew + L"\n\nDo you want to upgrade now?",
     {L"Upgrade now", L"Later", L"Ignore this Version"}, IDYES, TD_INFORMATION_ICON, 0x818},
    {"AvailableClosed", [] { return static_cast<int>(QLNUpgradeUI::PromptUpgradeAvailable(kNew, false)); }, kClose, 1,
     L"Quillon " + kNew + L" is available",
     L"Your current version: " + kCurrent + L"\nLatest version: " + kNew + L"\n\nDo you want to upgrade now?",
     {L"Upgrade now", L"Later"}, IDYES, TD_INFORMATION_ICON, 0x818},
    {"SilentReadyNow", [] { return static_cast<int>(QLNUpgradeUI::PromptSilentUpgradeReady(kNew, true)); }, IDYES, 0,
     L"Quillon " + kNew + L" is ready to install",
     L"A new version of Quillon has been downloaded and is ready to be installed silently.\n\nClick \"Upgrade now\" to "
     L"proceed, or \"Later\" to postpone.",
     {L"Upgrade now", L"Later", L"Ignore this Version"}, IDYES, TD_INFORMATION_ICON, 0x818},
    {"SilentReadyLater", [] { return static_cast<int>(QLNUpgradeUI::PromptSilentUpgradeReady(kNew, false)); }, IDNO, 1,
     L"Quillon " + kNew + L" is ready to install",
     L"A new version of Quillon has been downloaded and is ready to be installed silently.\n\nClick \"Upgrade now\" to "
     L"proceed, or \"Later\" to postpone.",
     {L"Upgrade now", L"Later"}, IDYES, TD_INFORMATION_ICON, 0x818},
    {"ResumeYes", [] { return static_cast<int>(QLNUpgradeUI::PromptResumeUpgrade(kNew)); }, IDYES, 1,
     L"A previous upgrade was interrupted",
     L"An upgrade to version " + kNew +
         L" was not completed last time.\n\nIt is recommended to complete the upgrade now to avoid potential issues.",
     {L"Upgrade now", L"Later"}, IDYES, TD_WARNING_ICON, 0x18},
    {"UnverifiedClosed", [] { return static_cast<int>(QLNUpgradeUI::PromptUnverifiedPackage()); }, kClose, 0,
     L"Installer package verification failed",
     L"The installer package could not be verified (file may be incomplete or corrupted).\n\nDo you still want to "
     L"continue with the installation?",
     {L"Continue anyway", L"Cancel upgrade"}, IDNO, TD_WARNING_ICON, 0x18},
    {"UnverifiedContinue", [] { return static_cast<int>(QLNUpgradeUI::PromptUnverifiedPackage()); }, IDYES, 1,
     L"Installer package verification failed",
     L"The installer package could not be verified (file may be incomplete or corrupted).\n\nDo you still want to "
     L"continue with the installation?",
     {L"Continue anyway", L"Cancel upgrade"}, IDNO, TD_WARNING_ICON, 0x18},
};

class ChoicePrompt : public PromptTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ChoicePrompt, ShowsItsTextsAndMapsTheAnswer) {
    const ChoiceCase& c = GetParam();
    DialogDriver driver({c.answer});
    EXPECT_EQ(c.run(), c.expected);
    const auto dialogs = driver.Dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    const SeenDialog& d = dialogs[0];
    EXPECT_EQ(d.title, L"Quillon");
    EXPECT_EQ(d.flags, c.flags);
    EXPECT_EQ(d.icon, c.icon);
    EXPECT_EQ(d.defaultButton, c.defaultButton);
    EXPECT_EQ(d.width, 200u);
    EXPECT_EQ(d.refData, c.flags & TDF_CALLBACK_TIMER ? 1 : 0);
    ASSERT_EQ(d.buttons.size(), c.buttons.size());
    const int ids[] = {IDYES, IDNO, IDIGNORE};
    for (size_t i = 0; i < c.buttons.size(); ++i) {
        EXPECT_EQ(d.buttons[i].first, ids[i]);
        EXPECT_EQ(d.buttons[i].second, c.buttons[i]);
        EXPECT_TRUE(HasText(d.buttonTexts, c.buttons[i])) << "live dialog lacks button " << i;
    }
    EXPECT_TRUE(HasText(d.statics, c.main));
    EXPECT_TRUE(HasText(d.statics, c.content));
}

INSTANTIATE_TEST_SUITE_P(Prompts, ChoicePrompt, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PromptTest, OneButtonDialogs) {
    DialogDriver driver({IDOK, kClose});
    QLNUpgradeUI::PromptNoNewVersion();
    QLNUpgradeUI::PromptUpgradeAlreadyInProgress();
    const auto dialogs = driver.Dialogs();
    ASSERT_EQ(dialogs.size(), 2u);
    for (const auto& d : dialogs) {
        EXPECT_EQ(d.flags, 0x08u);
        EXPECT_EQ(d.icon, TD_INFORMATION_ICON);
        EXPECT_EQ(d.refData, 0);
        EXPECT_EQ(d.width, 200u);
        ASSERT_EQ(d.buttons.size(), 1u);
        EXPECT_EQ(d.buttons[0], std::make_pair(IDOK, std::wstring(L"OK")));
        EXPECT_EQ(d.defaultButton, IDOK);
    }
    EXPECT_TRUE(HasText(dialogs[0].statics, L"You are up to date"));
    EXPECT_TRUE(HasText(dialogs[0].statics, L"Quillon is already the latest version (current: " + kCurrent +
                                                L"). No update is needed at this time.\n\nIf you have any questions, "
                                                L"please contact Marlow helper."));
    EXPECT_TRUE(HasText(dialogs[1].statics, L"An upgrade is already in progress"));
    EXPECT_TRUE(m_log->Contains("Showing no-new-version dialog"));
    EXPECT_TRUE(m_log->Contains("Showing upgrade-already-in-progress dialog"));
}

TEST_F(PromptTest, FailedDialogIsTheNegativeAnswer) {
    qlntest::ScopedSeam failing(qln::seams::g_taskDialogIndirect, &FailingTaskDialog);
    EXPECT_EQ(QLNUpgradeUI::PromptUpgradeAvailable(kNew, true), PromptChoice::Later);
    EXPECT_FALSE(QLNUpgradeUI::PromptUnverifiedPackage());
    QLNUpgradeUI::PromptRebootConfirmation(false);
    QLNUpgradeUI::PromptUpgradeSuccess();
    EXPECT_EQ(g_rebootCalls, 0);
    EXPECT_EQ(g_explorerRestarts, 0);
    EXPECT_TRUE(m_log->Contains("TaskDialogIndirect failed (hr=0x8007000E), returning IDNO"));
    EXPECT_TRUE(m_log->Contains("User chose to restart later"));
    EXPECT_TRUE(m_log->Contains("] TaskDialogIndirect failed (hr=0x8007000E)"));
}

// Reboot question, then the Explorer check where the flow leads to it.
struct RebootCase {
    const char* name;
    bool byMsi;
    std::vector<int> answers;
    int dialogs;
    int reboots;
    int explorerRestarts;
    const char* logLine;
};

class RebootFlow : public PromptTest, public ::testing::WithParamInterface<RebootCase> {};

TEST_P(RebootFlow, FollowsTheAnswers) {
    const RebootCase& c = GetParam();
    DialogDriver driver(c.answers);
    QLNUpgradeUI::PromptRebootConfirmation(c.byMsi);
    const auto dialogs = driver.Dialogs();
    ASSERT_EQ(static_cast<int>(dialogs.size()), c.dialogs);
    EXPECT_EQ(dialogs[0].buttons[0].second, L"Restart now");
    EXPECT_TRUE(HasText(dialogs[0].statics, L"Upgrade completed. A restart is needed for some changes to take effect."));
    if (c.dialogs == 2) {
        EXPECT_EQ(dialogs[1].defaultButton, IDNO);
        EXPECT_EQ(dialogs[1].buttons[0].second, L"Restart Explorer");
        EXPECT_EQ(dialogs[1].buttons[1].second, L"Everything is fine");
    }
    EXPECT_EQ(g_rebootCalls, c.reboots);
    EXPECT_EQ(g_explorerRestarts, c.explorerRestarts);
    EXPECT_TRUE(m_log->Contains(c.logLine)) << c.logLine;
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, RebootFlow,
    ::testing::Values(
        RebootCase{"ReplaceLater", false, {kClose}, 1, 0, 0, "User chose to restart later"},
        RebootCase{"MsiLaterExplorerFine", true, {IDNO, IDNO}, 2, 0, 0, "User confirmed Explorer is working fine, no restart needed"},
        RebootCase{"RebootFailsThenRestartExplorer", false, {IDYES, IDYES}, 2, 1, 1,
                   "Failed to initiate system reboot, falling back to Explorer check"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PromptTest, FailureNotificationsByResult) {
    {
        // Fallback accepted: the worker is told to run the manual installer; its failure is shown.
        DialogDriver driver({IDYES, IDOK});
        EXPECT_TRUE(QLNUpgradeUI::HandleFailureNotification(UpgradeType::Silent, UpgradeResult::FallbackToManual, L""));
        QLNUpgradeUI::ReportManualFallback(UpgradeResult::Failed, L"installer exited with 1603");
        const auto d = driver.Dialogs();
        ASSERT_EQ(d.size(), 2u);
        EXPECT_TRUE(HasText(d[0].statics, L"Silent upgrade failed. Would you like to launch the installer for a manual upgrade?"));
        EXPECT_EQ(d[0].buttons[0].second, L"Manual install");
        EXPECT_EQ(d[0].buttons[1].second, L"Cancel");
        EXPECT_EQ(d[1].icon, TD_WARNING_ICON);
        EXPECT_TRUE(HasText(d[1].statics, L"Failed to launch the installer: installer exited with 1603"));
        EXPECT_TRUE(m_log->Contains("User confirmed fallback to manual install"));
    }
    g_seen.clear();
    {
        // Fallback after a manual run is unexpected; an empty error reads "Unknown error".
        DialogDriver driver({IDOK});
        EXPECT_FALSE(QLNUpgradeUI::HandleFailureNotification(UpgradeType::Manual, UpgradeResult::FallbackToManual, L""));
        const auto d = driver.Dialogs();
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].icon, TD_ERROR_ICON);
        EXPECT_TRUE(HasText(d[0].statics, L"Upgrade failed: Unknown error"));
        EXPECT_TRUE(m_log->Contains("[error] ") && m_log->Contains("Unexpected upgrade result 9 \xE2\x80\x94 Unknown error"));
    }
    g_seen.clear();
    {
        // Own string table text of 40635, not the shorter built-in one.
        DialogDriver driver({IDOK});
        EXPECT_FALSE(QLNUpgradeUI::HandleFailureNotification(UpgradeType::Silent, UpgradeResult::MsiVerificationFailed,
                                                             L"size mismatch"));
        const auto d = driver.Dialogs();
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].icon, TD_ERROR_ICON);
        EXPECT_TRUE(HasText(d[0].statics, L"The installer package verification failed: size mismatch.\n\nIf you have any "
                                          L"questions, please contact Marlow helper."));
    }
    g_seen.clear();
    // Results that are not failures, or not shown, show nothing; a manual
    // run that succeeded reports nothing either.
    for (UpgradeResult r : {UpgradeResult::Success, UpgradeResult::SuccessByReplaceNeedReboot, UpgradeResult::InvalidVersion,
                            UpgradeResult::Cancelled}) {
        EXPECT_FALSE(QLNUpgradeUI::HandleFailureNotification(UpgradeType::Silent, r, L"x"));
    }
    QLNUpgradeUI::ReportManualFallback(UpgradeResult::Success, L"x");
    EXPECT_TRUE(g_seen.empty());
}

TEST_F(PromptTest, SuccessNotificationsByTypeAndResult) {
    // A manual upgrade shows nothing, not even the reboot question.
    for (UpgradeResult r : {UpgradeResult::Success, UpgradeResult::SuccessNeedReboot, UpgradeResult::SuccessByReplace,
                            UpgradeResult::SuccessByReplaceNeedReboot}) {
        QLNUpgradeUI::HandleSuccessNotification(UpgradeType::Manual, r);
    }
    // Without SilentUpgradeSuccessNotify plain successes show nothing either.
    QLNUpgradeUI::HandleSuccessNotification(UpgradeType::Silent, UpgradeResult::SuccessByReplace);
    QLNUpgradeUI::HandleSuccessNotification(UpgradeType::Silent, UpgradeResult::Failed);
    EXPECT_TRUE(g_seen.empty());

    DialogDriver driver({kClose, IDNO});
    QLNUpgradeUI::HandleSuccessNotification(UpgradeType::Resume, UpgradeResult::SuccessNeedReboot);
    const auto d = driver.Dialogs();
    ASSERT_EQ(d.size(), 2u) << "installer upgrade: restart later still asks about Explorer";
    EXPECT_EQ(d[0].buttons[1].second, L"Restart later");
    EXPECT_EQ(d[1].buttons[0].second, L"Restart Explorer");
}

TEST(PromptFlash, CallbackFlashesWhileMinimisedAndStops) {
    HWND hwnd = ::CreateWindowExW(0, L"STATIC", L"flash", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    const auto timer = [&](WPARAM ms) { QLNUpgradeUI::DialogCallback(hwnd, TDN_TIMER, ms, 0, 1); };

    QLNUpgradeUI::DialogCallback(hwnd, TDN_CREATED, 0, 0, 1);
    EXPECT_TRUE(::IsIconic(hwnd)) << "a flashing dialog comes up minimised";
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, -1);
    timer(200);
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, 0);
    timer(1700);
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, 3);
    EXPECT_FALSE(QLNUpgradeUI::GetFlashState().stopped);

    // Restored by the user within the first half second: flashing goes on
    // until the first tick after 500 ms, then stops for good.
    QLNUpgradeUI::DialogCallback(hwnd, TDN_CREATED, 0, 0, 1);
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, -1) << "a new flashing dialog resets the state";
    ::ShowWindow(hwnd, SW_RESTORE);
    timer(400);
    EXPECT_FALSE(QLNUpgradeUI::GetFlashState().stopped);
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, 0);
    timer(600);
    EXPECT_TRUE(QLNUpgradeUI::GetFlashState().stopped);
    timer(1200);
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, 0) << "nothing changes once stopped";

    // A new flashing dialog resets the state; left minimised it stops after a minute.
    QLNUpgradeUI::DialogCallback(hwnd, TDN_CREATED, 0, 0, 1);
    EXPECT_FALSE(QLNUpgradeUI::GetFlashState().stopped);
    timer(60000);
    EXPECT_FALSE(QLNUpgradeUI::GetFlashState().stopped);
    EXPECT_EQ(QLNUpgradeUI::GetFlashState().lastStep, 120);
    timer(60001);
    EXPECT_TRUE(QLNUpgradeUI::GetFlashState().stopped);

    // A dialog that does not flash leaves the state alone.
    QLNUpgradeUI::DialogCallback(hwnd, TDN_CREATED, 0, 0, 0);
    EXPECT_TRUE(QLNUpgradeUI::GetFlashState().stopped);
    ::DestroyWindow(hwnd);
}

TEST(PromptText, FormatTextReplacesOnlyPercentS) {
    EXPECT_EQ(QLNUpgradeUI::FormatText(L"a %s b %s c", {L"1", L"2"}), L"a 1 b 2 c");
    EXPECT_EQ(QLNUpgradeUI::FormatText(L"%s %s %d %%", {L"x"}), L"x  %d %");
    EXPECT_EQ(QLNUpgradeUI::FormatText(L"trailing %", {}), L"trailing %");
}

// The language module: which file is accepted, and what its texts replace.
struct LangCase {
    const char* name;
    DWORD languageId;
    std::vector<std::pair<DWORD, int>> modules;  // language id -> variant
    DWORD loadedId;                               // 0: none
};

class LanguageModule : public ::testing::TestWithParam<LangCase> {
protected:
    void TearDown() override {
        KMLangHelper::UnloadLanguageModuleForTest();
        std::error_code ec;
        for (const auto& p : m_placed) {
            std::filesystem::remove(p, ec);
            std::filesystem::remove(p.wstring() + L".ran", ec);
        }
    }
    void Place(DWORD id, int variant) {
        const std::filesystem::path dir = GetProductDirectory() + L"Languages";
        std::filesystem::create_directories(dir);
        const auto target = dir / (L"QLNUpgrade" + std::to_wstring(id) + L".dll");
        std::filesystem::copy_file(qlntest::BinDir() + L"lang\\qln_lang_" + std::to_wstring(variant) + L".dll", target,
                                   std::filesystem::copy_options::overwrite_existing);
        m_placed.push_back(target);
    }
    std::vector<std::filesystem::path> m_placed;
};

TEST_P(LanguageModule, AcceptsOnlyTheRunningVersion) {
    const LangCase& c = GetParam();
    qlntest::ClearProductRegistry();
    qlntest::LogCapture log;
    if (c.languageId) {
        const DWORD id = c.languageId;
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillon", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
        ::RegSetValueExW(key, L"LanguageID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&id), sizeof(id));
        ::RegCloseKey(key);
    }
    for (const auto& [id, variant] : c.modules) Place(id, variant);

    KMLangHelper::LoadLanguageDll(GetProductDirectory());
    for (const auto& placed : m_placed) {
        EXPECT_FALSE(std::filesystem::exists(placed.wstring() + L".ran")) << "a language module's code ran";
    }
    const std::wstring builtIn35 = L"The installer package verification failed: %s";
    if (c.loadedId) {
        ASSERT_NE(KMLangHelper::GetLanguageModule(), nullptr);
        EXPECT_TRUE(log.Contains("Loaded language DLL: ") &&
                    log.Contains("QLNUpgrade" + std::to_string(c.loadedId) + ".dll"));
        EXPECT_EQ(QLNUpgradeUI::LoadUIString(40635, builtIn35.c_str()), L"LANG 40635 %s");
        EXPECT_EQ(QLNUpgradeUI::LoadUIString(40615, L"built-in"), L"LANG 40615");
    } else {
        EXPECT_EQ(KMLangHelper::GetLanguageModule(), nullptr);
        const std::string warning = "Failed to load language DLL for language ID " + std::to_string(c.languageId);
        EXPECT_EQ(log.Contains(warning), c.languageId != 0 && c.languageId != 1033);
        if (c.languageId == 0 || c.languageId == 1033) {
            EXPECT_FALSE(log.Contains("language DLL"));
        }
        EXPECT_EQ(QLNUpgradeUI::LoadUIString(40615, L"built-in"), L"built-in");
            EXPECT_NE(QLNUpgradeUI::LoadUIString(40635, builtIn35.c_str()).find(L"please contact Marlow helper"), std::wstring::npos)
            << "own table, not the shorter built-in";
    }
    // Ids the module lacks come from the own table, or the built-in text, or nothing.
    EXPECT_EQ(QLNUpgradeUI::LoadUIString(40640, L"x"), L"OK");
    EXPECT_EQ(QLNUpgradeUI::LoadUIString(40611, L"built-in 40611"), L"built-in 40611");
    EXPECT_EQ(QLNUpgradeUI::LoadUIString(40611), L"");
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, LanguageModule,
    ::testing::Values(LangCase{"NoSetting", 0, {{1033, 0}}, 0}, LangCase{"English", 1033, {{1033, 0}}, 0},
                      LangCase{"RightVersion", 1031, {{1031, 0}}, 1031},
                      LangCase{"EntryCodeNeverRuns", 1031, {{1031, 4}}, 1031},
                      LangCase{"PreviousBuild", 1031, {{1031, 1}}, 0},
                      LangCase{"LowerCaseKm", 1031, {{1031, 2}}, 0},
                      LangCase{"NoVersionResource", 1031, {{1031, 3}}, 0},
                      LangCase{"SubLanguageStepsDown", 0x0807, {{0x0807, 1}, {0x0407, 0}}, 0x0407},
                      LangCase{"SubLanguageZeroTriesOnePath", 0x0007, {{0x0407, 0}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#pragma once
// Turns a target version into an installed release: checks the request, has
// the installer package downloaded and verified, then runs an ordered chain of
// strategies until one returns anything but StrategyFailed.
//
// One engine per worker run or elevated run, used by one thread only. Every
// outcome of UpgradeSilently and UpgradeManual goes to the result history.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeTypes.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeWorkspace.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class QLNVersionInfo;

using UpgradeStrategyChain = std::vector<std::unique_ptr<IUpgradeStrategy>>;

// The silent chain in its fixed order (replace first, then the silent
// installer), each member only when its switch is on; may be empty.
UpgradeStrategyChain MakeSilentStrategyChain(bool byReplace, bool byMsi);
// The manual chain: the interactive installer only.
UpgradeStrategyChain MakeManualStrategyChain();

// True when installRoot is the folder of the installation that Windows
// Installer registered for the product (its install location, else the
// folder of its registered bin\QLNUpgrade.exe), compared as folders, not
// as spellings. The registered place is logged when it is another.
[[nodiscard]] bool IsRegisteredInstallRoot(const std::wstring& installRoot);

class QLNUpgradeEngine final {
public:
    // Who runs the engine. The daemon cleans its own staging folder; an
    // elevated copy leaves the user's folders and the status cache to the
    // daemon that started it, which does both once the copy has ended.
    enum class Role { Daemon, ElevatedCopy };

    // installRoot: the installation the run acts on, without a trailing
    // backslash; by default the parent of this program's folder. An elevated
    // copy is given the one it derived from the real path of its image.
    explicit QLNUpgradeEngine(Role role = Role::Daemon, std::wstring installRoot = {});
    QLNUpgradeEngine(const QLNUpgradeEngine&) = delete;
    QLNUpgradeEngine& operator=(const QLNUpgradeEngine&) = delete;

    // Chain by SilentUpgradeByReplace / SilentUpgradeByMsi; FallbackToManual
    // when every strategy failed (or none is switched on).
    UpgradeResult UpgradeSilently(const std::wstring& version);
    // The interactive installer; Failed when it failed.
    UpgradeResult UpgradeManual(const std::wstring& version);
    // Repeats an interrupted upgrade from the start; Success when none is recorded.
    UpgradeResult ResumeUpgrade();

    // Fills info from the version sources (asking the service) and, when the
    // release is newer, downloads its package ahead of time (failure ignored).
    // False when no source gave version information. Blocks for the requests.
    static bool LoadVersionInfo(QLNVersionInfo& info);

    // Text of the last error; emptied when a pipeline starts.
    [[nodiscard]] const std::wstring& LastError() const noexcept { return lastError; }

    // The installation root for an application directory: without trailing
    // backslashes, cut before its last backslash (unchanged when none is left
    // past the first character).
    [[nodiscard]] static std::wstring InstallRootOf(std::wstring appDirectory);

    // Test seam: replaces the chain the public entry points build (the silent
    // or the manual one, by the type). nullptr restores the real chains. Set
    // it before any engine runs.
    using ChainFactory = UpgradeStrategyChain (*)(UpgradeType type);
    static void SetChainFactory(ChainFactory factory) noexcept;

private:
    // The pipeline, its history line, then what is left of its workspace;
    // the lock goes last, unless a resume still holds it.
    UpgradeResult RunAndRecord(const std::wstring& version, UpgradeType type, UpgradeStrategyChain chain,
                               UpgradeResult fallback);
    UpgradeResult Upgrade(const std::wstring& version, UpgradeType type, UpgradeStrategyChain chain, UpgradeResult fallback);
    void SetError(const std::wstring& text);
    // An elevated copy, or a run with administrator rights: it installs from
    // and restores from the protected workspace only.
    [[nodiscard]] bool UsesWorkspace() const;
    // An elevated copy acts only on the installation that Windows Installer
    // registered for the product: a copy of the program in a folder of the
    // user's, started elevated, would otherwise install there with its
    // rights. True for the daemon; false (with the error set) otherwise.
    [[nodiscard]] bool IsRegisteredInstallation();
    // With administrator rights: the machine-wide lock of this installation,
    // taken once per entry point and kept until its outcome is recorded.
    // False (with the error set) when another run holds it.
    [[nodiscard]] bool LockInstallation(const std::wstring& installRoot);
    // Interrupted deployments of other releases in this installation's
    // workspace: a newer release's rolled back, this or an older release's
    // let go of, a folder named by no release left alone. False when one
    // could not be rolled back.
    [[nodiscard]] bool SettleOtherDeployments(const std::wstring& installRoot, const std::wstring& version);
    // Rolls back the interrupted deployment of version kept in the open
    // workspace, when version is newer than the running release.
    void RollBackInterrupted(const std::wstring& installRoot, const std::wstring& version);
    // Once the outcome is stored: the workspace goes, unless it keeps an
    // interrupted deployment that a later run must finish or roll back.
    void FinishWorkspace(UpgradeResult result, const std::wstring& version);
    // The history line in the run's own mode; a rollback the run made is
    // told in the log, since readers of the history know only its modes.
    void RecordOutcome(const wchar_t* mode, const std::wstring& version, UpgradeResult result);

    const Role m_role;
    const std::wstring m_installRoot;
    bool m_registered = false;  // IsRegisteredInstallation found it so
    QLNDeploymentLock m_lock;
    QLNUpgradeWorkspace m_workspace;
    bool m_rolledBack = false;  // the run rolled an interrupted deployment back
    std::wstring lastError;
    std::atomic<bool> upgrading{false};
    bool resuming = false;
};

#pragma once
// Fixtures for tests that run the upgrade engine: a package placed in the
// one-day cache of its version (so the engine verifies it without a
// download), and scripted strategies in place of the real chains.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeEngine.h"

#include <functional>
#include <string>
#include <vector>

namespace qlntest {

// The release the test packages are built for (newer than the running one).
inline constexpr wchar_t kPackageVersion[] = L"1.16.KM16.2400";

// Copies a package (the run's signed test package by default) to where the
// engine looks for the version's cached package; the staging directory is
// removed at scope end. Fails the test when the source is missing.
class StagedPackage {
public:
    explicit StagedPackage(const std::wstring& version = kPackageVersion, std::wstring source = L"");
    ~StagedPackage();
    StagedPackage(const StagedPackage&) = delete;
    StagedPackage& operator=(const StagedPackage&) = delete;
    // Places the package again (a pipeline removes its staging directory).
    void Restage();
    const std::wstring& Path() const { return m_path; }
    const std::wstring& StagingDir() const { return m_stagingDir; }

private:
    std::wstring m_source;
    std::wstring m_stagingDir;
    std::wstring m_path;
};

// One scripted strategy: what it leaves in errorText, what it returns, and
// an optional action run first (it sees the context).
struct ScriptedStep {
    UpgradeResult result = UpgradeResult::Success;
    std::wstring errorText;
    std::function<void(UpgradeContext&)> action;
};

// While alive, every chain the engine builds (silent or manual) is made of
// these steps, named "ScriptA", "ScriptB", ... in order.
class ScriptedStrategies {
public:
    explicit ScriptedStrategies(std::vector<ScriptedStep> steps = {});
    ~ScriptedStrategies();
    ScriptedStrategies(const ScriptedStrategies&) = delete;
    ScriptedStrategies& operator=(const ScriptedStrategies&) = delete;
    void Set(std::vector<ScriptedStep> steps);
    // The context each strategy was given, as it was when Execute began.
    std::vector<UpgradeContext> Seen() const;
    // The chain types asked for, in order.
    std::vector<UpgradeType> ChainTypes() const;
};

// Makes root (a folder of the test's) the installation that Windows
// Installer has registered for the product: Wine's own msiexec installs the
// run's registration package (1.16.KM16.2381, bin\QLNUpgrade.exe only)
// there, and removes it again at scope end.
class RegisteredInstallation {
public:
    explicit RegisteredInstallation(const std::wstring& root);
    ~RegisteredInstallation();
    RegisteredInstallation(const RegisteredInstallation&) = delete;
    RegisteredInstallation& operator=(const RegisteredInstallation&) = delete;

private:
    std::wstring m_package;
};

// Runs Wine's own msiexec (not the stand-in) with the arguments; its exit code.
int WineMsiexec(const std::wstring& arguments);

// The subject of a certificate (a DER file) as the package check names a
// signer.
std::wstring CertificateSubject(const std::wstring& derFile);

// REG_SZ or REG_DWORD under HKCU\<key>; empty / 0 when missing.
std::wstring ReadHkcuString(const std::wstring& key, const wchar_t* name);
DWORD ReadHkcuDword(const std::wstring& key, const wchar_t* name);
bool HkcuKeyExists(const std::wstring& key);
// The history line Entry<index>, from its third field on ("mode|success|code|version").
std::wstring HistoryTail(int index);

}  // namespace qlntest

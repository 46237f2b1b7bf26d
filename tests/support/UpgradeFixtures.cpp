#include "support/UpgradeFixtures.h"

#include "QLNUpgrade/KM/Upgrade/QLNMsiPackage.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "support/TestSupport.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>

#include <wincrypt.h>

#include <filesystem>
#include <memory>
#include <mutex>

namespace qlntest {

namespace {

std::mutex g_lock;
std::vector<ScriptedStep> g_steps;
std::vector<UpgradeContext> g_seen;
std::vector<UpgradeType> g_types;

constexpr const wchar_t* kNames[] = {L"ScriptA", L"ScriptB", L"ScriptC", L"ScriptD"};

class ScriptedStrategy final : public IUpgradeStrategy {
public:
    ScriptedStrategy(ScriptedStep step, const wchar_t* name) : m_step(std::move(step)), m_name(name) {}
    UpgradeResult Execute(UpgradeContext& ctx) override {
        {
            std::lock_guard<std::mutex> lock(g_lock);
            g_seen.push_back(ctx);
        }
        if (m_step.action) m_step.action(ctx);
        ctx.errorText = m_step.errorText;
        return m_step.result;
    }
    const wchar_t* GetName() const override { return m_name; }

private:
    ScriptedStep m_step;
    const wchar_t* m_name;
};

UpgradeStrategyChain ScriptedChain(UpgradeType type) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_types.push_back(type);
    UpgradeStrategyChain chain;
    for (size_t i = 0; i < g_steps.size() && i < std::size(kNames); ++i)
        chain.push_back(std::make_unique<ScriptedStrategy>(g_steps[i], kNames[i]));
    return chain;
}

}  // namespace

StagedPackage::StagedPackage(const std::wstring& version, std::wstring source) : m_source(std::move(source)) {
    if (m_source.empty()) m_source = Env(L"QLN_TEST_MSI_SIGNED");
    QLNVersionInfo info;
    info.version = version;
    const std::wstring url = QLNMsiPackage::BuildDownloadUrl(info);
    m_stagingDir = QLNMsiPackage::BuildStagingDir(info);
    m_path = m_stagingDir + L"\\" + QLNMsiPackage::PackageFileNameOf(url, info);
    Restage();
}

void StagedPackage::Restage() {
    ASSERT_FALSE(m_source.empty()) << "QLN_TEST_MSI_SIGNED is not set (the harness builds the test packages)";
    std::error_code ec;
    std::filesystem::create_directories(m_stagingDir, ec);
    ASSERT_TRUE(::CopyFileW(m_source.c_str(), m_path.c_str(), FALSE)) << "copy to " << std::filesystem::path(m_path).string();
    // A fresh copy keeps the source's write time; the cache must see it as
    // new, but not as written in the future (the cache compares whole
    // milliseconds), so it is dated a minute back.
    qln::UniqueFileHandle file(::CreateFileW(m_path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart -= 60ULL * 10000000ULL;
    const FILETIME written{t.LowPart, t.HighPart};
    ASSERT_TRUE(file && ::SetFileTime(file.get(), nullptr, nullptr, &written));
}

StagedPackage::~StagedPackage() {
    std::error_code ec;
    std::filesystem::remove_all(m_stagingDir, ec);
}

ScriptedStrategies::ScriptedStrategies(std::vector<ScriptedStep> steps) {
    Set(std::move(steps));
    QLNUpgradeEngine::SetChainFactory(&ScriptedChain);
}

ScriptedStrategies::~ScriptedStrategies() {
    QLNUpgradeEngine::SetChainFactory(nullptr);
    std::lock_guard<std::mutex> lock(g_lock);
    g_steps.clear();
    g_seen.clear();
    g_types.clear();
}

void ScriptedStrategies::Set(std::vector<ScriptedStep> steps) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_steps = std::move(steps);
    g_seen.clear();
    g_types.clear();
}

std::vector<UpgradeContext> ScriptedStrategies::Seen() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_seen;
}

std::vector<UpgradeType> ScriptedStrategies::ChainTypes() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_types;
}

std::wstring ReadHkcuString(const std::wstring& key, const wchar_t* name) {
    return HkcuString(key, name).value_or(std::wstring());
}

DWORD ReadHkcuDword(const std::wstring& key, const wchar_t* name) {
    return HkcuDword(key, name).value_or(0);
}

bool HkcuKeyExists(const std::wstring& key) {
    qln::UniqueHkey handle;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

std::wstring HistoryTail(int index) {
    const std::wstring line =
        ReadHkcuString(L"Software\\Quillon\\KM\\UpgradeResult", (L"Entry" + std::to_wstring(index)).c_str());
    const size_t bar = line.find(L'|');
    return bar == std::wstring::npos ? line : line.substr(bar + 1);
}

int WineMsiexec(const std::wstring& arguments) {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    return RunProcess(L"\"" + std::wstring(system) + L"\\qln_wine_msiexec.exe\" " + arguments, 300000);
}

RegisteredInstallation::RegisteredInstallation(const std::wstring& root) : m_package(Env(L"QLN_TEST_MSI_REGISTRATION")) {
    EXPECT_FALSE(m_package.empty()) << "QLN_TEST_MSI_REGISTRATION is not set (the harness builds the test packages)";
    EXPECT_EQ(WineMsiexec(L"/i \"" + m_package + L"\" /qn INSTALLDIR=\"" + root + L"\\\""), 0) << "registering the installation";
}

RegisteredInstallation::~RegisteredInstallation() {
    if (!m_package.empty()) WineMsiexec(L"/x \"" + m_package + L"\" /qn");
}

std::wstring CertificateSubject(const std::wstring& derFile) {
    const std::string der = ReadFileBytes(derFile);
    PCCERT_CONTEXT cert = ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                         static_cast<DWORD>(der.size()));
    if (!cert) return {};
    std::wstring subject(::CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0), L'\0');
    ::CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, subject.data(),
                     static_cast<DWORD>(subject.size()));
    ::CertFreeCertificateContext(cert);
    subject.resize(subject.empty() ? 0 : subject.size() - 1);
    return subject;
}

}  // namespace qlntest

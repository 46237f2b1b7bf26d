#include "support/TestSupport.h"

#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cwchar>
#include <fstream>
#include <sstream>

namespace qlntest {

void ClearProductRegistry() {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillon");
}

void SetHkcuValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), type, data, size), ERROR_SUCCESS)
        << qln::WideToUtf8(key + L"\\" + name);
}

void SetHkcuString(const std::wstring& key, const std::wstring& name, const std::wstring& text, DWORD type) {
    SetHkcuValue(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetHkcuDword(const std::wstring& key, const std::wstring& name, DWORD value) {
    SetHkcuValue(key, name, REG_DWORD, &value, sizeof(value));
}

std::optional<std::wstring> HkcuString(const std::wstring& key, const std::wstring& name) {
    DWORD size = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, text.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(std::wcslen(text.c_str()));
    return text;
}

std::optional<DWORD> HkcuDword(const std::wstring& key, const std::wstring& name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> VcNumber(const wchar_t* name) {
    std::uint64_t value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kVersionCheckKey, name, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, nullptr, &value,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

ServerConfigFile::ServerConfigFile(const std::wstring& scope, const Values& values)
    : m_path(KMConfigManager::GetCacheFilePath(scope)) {
    EXPECT_FALSE(m_path.empty());
    EXPECT_EQ(::GetFileAttributesW(m_path.c_str()), INVALID_FILE_ATTRIBUTES) << "stale cache file";
    nlohmann::json configs = nlohmann::json::array();
    for (const auto& [key, value] : values) {
        configs.push_back({{"configKey", key}, {"configValue", value}, {"clientEditable", false}});
    }
    EXPECT_TRUE(KMConfigManager::WriteJsonToCacheFile(m_path, {{"configs", configs}}));
}

ServerConfigFile::~ServerConfigFile() {
    ::DeleteFileW(m_path.c_str());
}

std::wstring BinDir() {
    wchar_t buf[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
    std::wstring path(buf);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring Env(const wchar_t* name) {
    wchar_t buf[4096] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, buf, static_cast<DWORD>(std::size(buf)));
    if (n == 0 || n >= std::size(buf)) return {};
    return std::wstring(buf, n);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
    static LONG counter = 0;
    const auto base = std::filesystem::temp_directory_path();
    for (int i = 0; i < 1000; ++i) {
        auto candidate = base / (L"qlntest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(::InterlockedIncrement(&counter)) + L"-" + std::to_wstring(i));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            m_path = candidate;
            return;
        }
    }
    ADD_FAILURE() << "could not create a temporary folder";
}

TempDir::~TempDir() {
    if (m_path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::wstring TempDir::dirWithSlash() const {
    std::wstring s = m_path.wstring();
    for (auto& c : s) {
        if (c == L'/') c = L'\\';
    }
    if (!s.empty() && s.back() != L'\\') s.push_back(L'\\');
    return s;
}

LogCapture::LogCapture() {
    SetKmString(L"LoggerDir", m_dir.dirWithSlash());
    SetKmString(L"LoggerLevel", L"trace");
    EXPECT_TRUE(KMLoggerHelper::Initialize(L".upgrade.log")) << "logger set-up failed";
}

std::filesystem::path LogCapture::FilePath() const {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    wchar_t name[64];
    swprintf(name, 64, L"%04u-%02u-%02u.upgrade.log", st.wYear, st.wMonth, st.wDay);
    return m_dir.path() / name;
}

std::vector<std::string> LogCapture::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(FilePath()));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LogCapture::Matching(const std::string& text) const {
    std::vector<std::string> out;
    for (auto& l : Lines()) {
        if (l.find(text) != std::string::npos) out.push_back(l);
    }
    return out;
}

int RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    qln::UniqueHandle process(pi.hProcess);
    qln::UniqueHandle thread(pi.hThread);
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

namespace {

std::wstring UnixPath(const std::wstring& path) {
    using UnixNameFn = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    const std::wstring text = name ? qln::Utf8ToWide(name) : std::wstring();
    if (name) ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

// Runs a Linux program, which gives no process handle to wait on, and waits
// until done() holds (at most ten seconds).
template <typename Done>
bool RunLinux(std::wstring commandLine, Done done) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    if (pi.hProcess) ::CloseHandle(pi.hProcess);
    if (pi.hThread) ::CloseHandle(pi.hThread);
    for (int i = 0; i < 200 && !done(); ++i) ::Sleep(50);
    return done();
}

}  // namespace

DirectoryLink::DirectoryLink(const std::wstring& link, const std::wstring& target) : m_link(link) {
    const std::wstring unixTarget = UnixPath(target), unixLink = UnixPath(link);
    m_ok = !unixTarget.empty() && !unixLink.empty() &&
           RunLinux(L"Z:\\bin\\ln -s \"" + unixTarget + L"\" \"" + unixLink + L"\"", [&] {
               const DWORD attributes = ::GetFileAttributesW(link.c_str());
               return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
           });
}

DirectoryLink::~DirectoryLink() {
    const std::wstring unixLink = UnixPath(m_link);
    if (!unixLink.empty()) {
        (void)RunLinux(L"Z:\\bin\\rm -f \"" + unixLink + L"\"",
                       [&] { return ::GetFileAttributesW(m_link.c_str()) == INVALID_FILE_ATTRIBUTES; });
    }
}

}  // namespace qlntest

#pragma once
// Shared helpers for the tests: fresh registry state, temporary folders,
// reading files back, the test servers' addresses and the log file.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qlntest {

// Removes HKCU\Software\Quillon with everything below it.
void ClearProductRegistry();

// A value under HKCU\<key>: written, failing the test when it cannot be, and
// read back as stored, nullopt when it is missing or of another type.
void SetHkcuValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size);
void SetHkcuString(const std::wstring& key, const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ);
void SetHkcuDword(const std::wstring& key, const std::wstring& name, DWORD value);
std::optional<std::wstring> HkcuString(const std::wstring& key, const std::wstring& name);
std::optional<DWORD> HkcuDword(const std::wstring& key, const std::wstring& name);

// A value directly under HKCU\Software\Quillon\KM (logger switches and the
// local configuration overrides).
inline constexpr wchar_t kKmKey[] = L"Software\\Quillon\\KM";
inline void SetKmValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    SetHkcuValue(kKmKey, name, type, data, size);
}
inline void SetKmString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    SetHkcuString(kKmKey, name, text, type);
}
inline void SetKmDword(const wchar_t* name, DWORD value) { SetHkcuDword(kKmKey, name, value); }

// The version checker's registry cache, as an earlier run or an older daemon
// left it; a number is a DWORD or a QWORD.
inline constexpr wchar_t kVersionCheckKey[] = L"Software\\Quillon\\VersionCheck";
inline void SetVcString(const wchar_t* name, const std::wstring& text) { SetHkcuString(kVersionCheckKey, name, text); }
inline void SetVcDword(const wchar_t* name, DWORD value) { SetHkcuDword(kVersionCheckKey, name, value); }
inline void SetVcQword(const wchar_t* name, std::uint64_t value) {
    SetHkcuValue(kVersionCheckKey, name, REG_QWORD, &value, sizeof(value));
}
inline std::optional<std::wstring> VcString(const wchar_t* name) { return HkcuString(kVersionCheckKey, name); }
std::optional<std::uint64_t> VcNumber(const wchar_t* name);

// Version texts of two releases newer than the running one.
inline const std::wstring kNewerText = L"1.16.KM16.2400\nRelease notes\nhttps://dl.example/2400\nfalse";
inline const std::wstring kOtherText = L"1.16.KM16.2390\nOther notes\nhttps://dl.example/2390\nfalse";

// Server values of one configuration scope, written as its cache file (not
// client-editable, so local overrides cannot replace them) before the first
// configuration read of the test; the file is removed at scope end.
class ServerConfigFile {
public:
    using Values = std::vector<std::pair<std::string, std::string>>;
    ServerConfigFile(const std::wstring& scope, const Values& values);
    ~ServerConfigFile();
    ServerConfigFile(const ServerConfigFile&) = delete;
    ServerConfigFile& operator=(const ServerConfigFile&) = delete;

private:
    std::wstring m_path;
};

// Folder of the running test executable (the build's bin folder), ending in a backslash.
std::wstring BinDir();

// Reads an environment variable; empty when unset.
std::wstring Env(const wchar_t* name);

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// A fresh folder below the system temp folder, removed with its contents at scope end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    // The folder as text, ending in a backslash (the form LoggerDir expects).
    std::wstring dirWithSlash() const;

private:
    std::filesystem::path m_path;
};

// Sets up the process logger into a temporary folder (LoggerDir registry
// value, then KMLoggerHelper::Initialize with ".upgrade.log") and reads the
// lines of today's log file back.
class LogCapture {
public:
    LogCapture();
    // All lines written so far (without line ends).
    std::vector<std::string> Lines() const;
    // Lines containing the text.
    std::vector<std::string> Matching(const std::string& text) const;
    // True when a line contains the text.
    bool Contains(const std::string& text) const { return !Matching(text).empty(); }
    std::wstring Dir() const { return m_dir.dirWithSlash(); }
    std::filesystem::path FilePath() const;

private:
    TempDir m_dir;
};

// Runs a program and waits; returns its exit code, or -1 when it could not
// be started or did not end within the time-out (it is then terminated).
int RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// A Linux symbolic link at link to the folder target (Windows paths), which
// Windows programs under Wine follow like a junction: what a program of the
// user can plant in its own folders. Removed (the link, not the target) at
// scope end.
class DirectoryLink {
public:
    DirectoryLink(const std::wstring& link, const std::wstring& target);
    ~DirectoryLink();
    DirectoryLink(const DirectoryLink&) = delete;
    DirectoryLink& operator=(const DirectoryLink&) = delete;
    bool ok() const { return m_ok; }

private:
    std::wstring m_link;
    bool m_ok = false;
};

}  // namespace qlntest

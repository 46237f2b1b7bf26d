#include "Utils/PathUtils.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <vector>

#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

namespace {

void FreeTaskMem(wchar_t* p) noexcept { ::CoTaskMemFree(p); }
using UniqueTaskMemString = qln::UniqueAny<qln::NullInvalidTraits<wchar_t*, &FreeTaskMem>>;

bool CreateOneDirectory(const std::wstring& path) noexcept {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = FALSE;
    return ::CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

bool IsDirectory(const std::wstring& path) noexcept {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// GetLongPathNameW with its size query; empty on failure.
std::wstring LongPathName(const std::wstring& path) {
    const DWORD needed = ::GetLongPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    const DWORD length = ::GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return {};
    return std::wstring(buffer.data(), length);
}

std::wstring ShortPathName(const std::wstring& path) {
    const DWORD needed = ::GetShortPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    const DWORD length = ::GetShortPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return {};
    return std::wstring(buffer.data(), length);
}

// Long name, short name, long name again: the round trip through the short
// name makes the system spell every component as it is stored on disk.
// Returns empty when the first step fails, the first long name when a later
// step fails.
std::wstring StoredCaseChain(const std::wstring& path) {
    std::wstring longName = LongPathName(path);
    if (longName.empty()) return {};
    const std::wstring shortName = ShortPathName(longName);
    if (shortName.empty()) return longName;
    std::wstring stored = LongPathName(shortName);
    return stored.empty() ? longName : stored;
}

std::wstring KnownFolder(REFKNOWNFOLDERID folder, DWORD flags) {
    UniqueTaskMemString folderPath;
    if (!KMSystemLibrary::Require(L"shell32.dll") || !KMSystemLibrary::Require(L"ole32.dll")) return {};
    if (FAILED(::SHGetKnownFolderPath(folder, flags, nullptr, folderPath.put())) || !folderPath.valid()) return {};
    return folderPath.get();
}

std::wstring DataDirectory(REFKNOWNFOLDERID folder) {
    const std::wstring known = KnownFolder(folder, KF_FLAG_CREATE);
    if (known.empty()) return {};
    std::wstring directory = known + L"\\Quillon";
    // A failure here shows where the directory is used; returning empty
    // instead would turn the callers' paths into relative ones.
    if (!::PathIsDirectoryW(directory.c_str())) ::CreateDirectoryW(directory.c_str(), nullptr);
    return AppendBackslash(directory);
}

}  // namespace

bool CreateDirectoryPath(std::wstring_view path) {
    std::wstring copy(path);
    for (auto& c : copy) {
        if (c == L'/') c = L'\\';
    }

    constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
    std::size_t position = copy.starts_with(kLongPrefix) ? kLongPrefix.size() : 0;

    // Nearly always there already (a deployment asks once per file): one
    // query instead of an attempt at every ancestor up from the drive.
    if (IsDirectory(copy)) return true;

    // The intermediate results do not matter: a drive letter or a server name
    // cannot be created, and existing ancestors are fine.
    for (std::size_t slash = copy.find(L'\\', position); slash != std::wstring::npos;
         slash = copy.find(L'\\', position)) {
        CreateOneDirectory(copy.substr(0, slash));
        position = slash + 1;
    }

    if (CreateOneDirectory(copy)) return true;
    // "Already exists" is success only for a directory: a file of that name
    // must not be reported as the directory the caller asked for.
    return ::GetLastError() == ERROR_ALREADY_EXISTS && IsDirectory(copy);
}

std::wstring NormalizePath(std::wstring_view pathView) {
    std::wstring path(pathView);
    if (path.empty()) return path;

    if (!::PathIsURLW(path.c_str()) && ::PathIsRelativeW(path.c_str())) {
        const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        if (needed == 0) return path;
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0 || length >= buffer.size()) return path;
        return std::wstring(buffer.data(), length);
    }

    wchar_t canonical[MAX_PATH] = {};
    if (path.size() < MAX_PATH && ::PathCanonicalizeW(canonical, path.c_str())) {
        const std::wstring longName = LongPathName(canonical);
        if (longName.empty()) return path;
        const std::wstring shortName = ShortPathName(longName);
        if (shortName.empty()) return path;
        const std::wstring stored = LongPathName(shortName);
        return stored.empty() ? path : stored;
    }

    const std::wstring stored = StoredCaseChain(path);
    return stored.empty() ? path : stored;
}

std::wstring GetModuleFileNameWhole() {
    const auto getName = qln::seams::g_getModuleFileName ? qln::seams::g_getModuleFileName : &::GetModuleFileNameW;
    std::vector<wchar_t> buffer(520, L'\0');
    // A buffer that is too small gets the path cut short; it grows until the
    // whole path fits (the system's limit is 32767 characters).
    while (buffer.size() <= 32768) {
        const DWORD length = getName(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
    return {};
}

std::wstring GetModulePath() {
    const std::wstring path = GetModuleFileNameWhole();
    return path.empty() ? path : NormalizePath(path);
}

std::wstring GetModuleFinalPath() {
    const std::wstring started = GetModuleFileNameWhole();
    if (started.empty()) return {};
    const qln::UniqueFileHandle file(::CreateFileW(started.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::vector<wchar_t> buffer(520, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0 || length > 32768) return {};
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
            if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
            return path;
        }
        buffer.resize(length + 1);
    }
}

std::wstring GetAppDirectory() {
    std::wstring path = GetModulePath();
    const auto slash = path.rfind(L'\\');
    path.erase(slash == std::wstring::npos ? 0 : slash + 1);
    return NormalizePath(path);
}

std::wstring GetProductDirectory() { return qln::ProductDirectoryOf(GetAppDirectory()); }

std::wstring GetRoamingDataDirectory() { return DataDirectory(FOLDERID_RoamingAppData); }

std::wstring GetLocalDataDirectory() { return DataDirectory(FOLDERID_LocalAppData); }

std::wstring GetProgramDataDirectory() {
    std::wstring directory = KnownFolder(FOLDERID_ProgramData, KF_FLAG_DONT_VERIFY);
    while (!directory.empty() && directory.back() == L'\\') directory.pop_back();
    return directory;
}

std::wstring AppendBackslash(std::wstring_view text) {
    std::wstring result(text);
    result += L'\\';
    return result;
}

namespace qln {

std::wstring ProductDirectoryOf(std::wstring_view appDirectory) {
    const auto last = appDirectory.rfind(L'\\');
    if (last == std::wstring_view::npos) return {};
    const auto parent = appDirectory.substr(0, last).rfind(L'\\');
    if (parent == std::wstring_view::npos) return {};
    return std::wstring(appDirectory.substr(0, parent + 1));
}

bool IsSameFile(const std::wstring& a, const std::wstring& b) noexcept {
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const std::wstring* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        const UniqueFileHandle file(::CreateFileW(paths[i]->c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file || !::GetFileInformationByHandle(file.get(), &info[i])) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool CopyFromHandle(HANDLE source, const std::wstring& target, DWORD& error) {
    UniqueFileHandle out(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        error = ::GetLastError();  // what is there, if anything, is not ours to delete
        return false;
    }
    error = ERROR_SUCCESS;
    LARGE_INTEGER start{};
    bool copied = ::SetFilePointerEx(source, start, nullptr, FILE_BEGIN) != FALSE;
    std::vector<char> buffer(1 << 20);
    for (DWORD read = 0; copied;) {
        copied = ::ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) != FALSE;
        if (!copied || read == 0) break;
        DWORD written = 0;
        copied = ::WriteFile(out.get(), buffer.data(), read, &written, nullptr) && written == read;
    }
    if (copied) return true;
    error = ::GetLastError();
    out.reset();
    ::DeleteFileW(target.c_str());
    return false;
}

}  // namespace qln

namespace qln {

namespace {

bool IsDeviceName(std::wstring_view component) noexcept {
    const std::wstring_view base = component.substr(0, component.find(L'.'));
    static constexpr std::wstring_view kPlain[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const auto name : kPlain) {
        if (EqualsNoCase(base, name)) return true;
    }
    if (base.size() == 4 && base[3] >= L'1' && base[3] <= L'9' &&
        (EqualsNoCase(base.substr(0, 3), L"COM") || EqualsNoCase(base.substr(0, 3), L"LPT"))) {
        return true;
    }
    return false;
}

bool IsDotEntry(const wchar_t* name) noexcept { return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0; }

}  // namespace

bool IsSafeRelativePath(std::wstring_view path) noexcept {
    if (path.empty() || path.size() >= 32767) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos) end = path.size();
        const std::wstring_view component = path.substr(start, end - start);
        if (component.empty() || component == L"." || component == L".." || component.back() == L'.' ||
            component.back() == L' ' || IsDeviceName(component)) {
            return false;
        }
        for (const wchar_t c : component) {
            if (c < 32 || c == 127 || std::wcschr(L":*?\"<>|", c) != nullptr) return false;
        }
        start = end + 1;
    }
    return true;
}

bool IsPlainFileName(std::wstring_view name) noexcept {
    return IsSafeRelativePath(name) && name.find_first_of(L"\\/") == std::wstring_view::npos;
}

bool Exists(const std::wstring& path) noexcept {
    return ::PathFileExistsW(path.c_str()) != FALSE;
}

std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
    std::wstring path(folder);
    if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
    path.append(name);
    return path;
}

void ForEachEntry(const std::wstring& directory, const wchar_t* pattern,
                  const std::function<bool(const WIN32_FIND_DATAW&)>& visit) {
    WIN32_FIND_DATAW entry{};
    UniqueFindHandle find(::FindFirstFileW(JoinPath(directory, pattern).c_str(), &entry));
    if (!find) return;
    do {
        if (!IsDotEntry(entry.cFileName) && !visit(entry)) return;
    } while (::FindNextFileW(find.get(), &entry));
}

bool RemoveDirectoryTree(const std::wstring& directory) {
    const DWORD attributes = ::GetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_NORMAL);
        return ::DeleteFileW(directory.c_str()) != FALSE;
    }
    if (IsPlainDirectory(attributes)) {
        ForEachEntry(directory, L"*", [&](const WIN32_FIND_DATAW& entry) {
            (void)RemoveDirectoryTree(JoinPath(directory, entry.cFileName));
            return true;
        });
    }
    // A read-only folder cannot be removed.
    ::SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::RemoveDirectoryW(directory.c_str()) != FALSE;
}

}  // namespace qln

#include "support/ReplaceTestSupport.h"

#include <winioctl.h>

#include <algorithm>

#include "Utils/PathUtils.h"
#include "Utils/StringConv.h"
#include "support/TestSupport.h"

namespace qlntest {

void WriteText(const std::wstring& path, const std::string& text) {
    (void)CreateDirectoryPath(path.substr(0, path.rfind(L'\\')));
    WriteFileBytes(path, text);
}

void WriteText(const std::wstring& path, const std::wstring& text) { WriteText(path, qln::WideToUtf8(text)); }

std::string ReadText(const std::wstring& path) {
    if (!Exists(path)) return "<missing>";
    return ReadFileBytes(path);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Narrow(const std::wstring& text) { return qln::WideToUtf8(text); }

std::vector<std::wstring> Sorted(std::vector<std::wstring> items) {
    std::sort(items.begin(), items.end());
    return items;
}

Junction::Junction(std::wstring link, const std::wstring& target) : m_link(std::move(link)) {
    if (!::CreateDirectoryW(m_link.c_str(), nullptr)) {
        m_error = ::GetLastError();
        return;
    }
    qln::UniqueFileHandle handle(::CreateFileW(m_link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        m_error = ::GetLastError();
        return;
    }
    const std::wstring substitute = L"\\??\\" + target;
    // REPARSE_DATA_BUFFER for a mount point: tag, sizes, then both names with NULs.
    std::vector<WORD> names(substitute.begin(), substitute.end());
    names.push_back(0);
    names.insert(names.end(), target.begin(), target.end());
    names.push_back(0);
    const WORD namesBytes = static_cast<WORD>(names.size() * sizeof(WORD));
    std::vector<BYTE> buffer(16 + namesBytes);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const WORD header[6] = {static_cast<WORD>(8 + namesBytes), 0, 0, static_cast<WORD>(substitute.size() * 2),
                            static_cast<WORD>((substitute.size() + 1) * 2), static_cast<WORD>(target.size() * 2)};
    memcpy(buffer.data(), &tag, 4);
    memcpy(buffer.data() + 4, header, 12);
    memcpy(buffer.data() + 16, names.data(), namesBytes);
    DWORD returned = 0;
    m_ok = ::DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                             nullptr, 0, &returned, nullptr) != FALSE;
    if (!m_ok) m_error = ::GetLastError();
}

Junction::~Junction() { ::RemoveDirectoryW(m_link.c_str()); }

FileHolder::FileHolder(const wchar_t* mode, std::initializer_list<std::wstring> paths) {
    static LONG counter = 0;
    const std::wstring eventName = L"qln_hold_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                                   std::to_wstring(::InterlockedIncrement(&counter));
    qln::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    std::wstring commandLine = L"\"" + BinDir() + L"qln_hold_file.exe\" " + eventName + L" " + mode;
    for (const auto& path : paths) commandLine += L" \"" + path + L"\"";

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!ready || !::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                    nullptr, &startup, &info)) {
        return;
    }
    ::CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    const HANDLE waits[] = {ready.get(), m_process.get()};
    m_ok = ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
}

void FileHolder::Release() {
    if (!m_process) return;
    ::TerminateProcess(m_process.get(), 0);
    ::WaitForSingleObject(m_process.get(), 10000);
    m_process.reset();
}

bool PendingDeletionAtRestart(const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    std::vector<wchar_t> data;
    if (::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size / sizeof(wchar_t) + 2, L'\0');
        ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                           &size);
    }
    ::RegCloseKey(key);

    // Pairs of source and destination; an empty destination means deletion.
    std::vector<std::wstring> entries;
    for (size_t i = 0; i < data.size();) {
        std::wstring entry(data.data() + i);
        i += entry.size() + 1;
        entries.push_back(entry);
    }
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        const std::wstring& source = entries[i];
        if (entries[i + 1].empty() && source.size() >= path.size() &&
            qln::EqualsNoCase(std::wstring_view(source).substr(source.size() - path.size()), path)) {
            return true;
        }
    }
    return false;
}

namespace {

void Snapshot(const std::wstring& root, const std::wstring& relative, TreeSnapshot& out) {
    const std::wstring directory = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW entry{};
    qln::UniqueFindHandle find(::FindFirstFileW((directory + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        const std::wstring key = qln::ToLowerAscii(path);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            out[key] = "<reparse>";
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[key + L"\\"] = "<dir>";
            Snapshot(root, path, out);
        } else {
            out[key] = ReadText(root + L"\\" + path) +
                       ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? "<read-only>" : "");
        }
    } while (::FindNextFileW(find.get(), &entry));
}

}  // namespace

std::string FirstDifference(const TreeSnapshot& expected, const TreeSnapshot& actual) {
    const auto side = [](const TreeSnapshot& tree, const std::wstring& key) {
        const auto it = tree.find(key);
        return it == tree.end() ? std::string("<absent>") : it->second.substr(0, 60);
    };
    auto e = expected.begin();
    auto a = actual.begin();
    while (e != expected.end() || a != actual.end()) {
        std::wstring key;
        if (a == actual.end() || (e != expected.end() && e->first < a->first)) {
            key = e->first;
        } else if (e == expected.end() || a->first < e->first) {
            key = a->first;
        } else if (e->second != a->second) {
            key = e->first;
        } else {
            ++e;
            ++a;
            continue;
        }
        return Narrow(key) + ": expected [" + side(expected, key) + "], found [" + side(actual, key) + "]";
    }
    return {};
}

std::vector<std::wstring> WriteGeneratedRelease(const std::wstring& root, int count, bool previous) {
    std::vector<std::wstring> paths = {L"bin\\Quillon.dll", L"bin\\QuillProc.exe", L"bin\\QLNShell64.dll",
                                       L"version.txt"};
    for (int i = 0; i < count; ++i) {
        const std::wstring n = std::to_wstring(i);
        const bool isNew = i % 5 == 4;
        if (previous && isNew) continue;
        switch (i % 8) {
            case 0: paths.push_back(L"bin\\qln" + n + L".dll"); break;
            case 1: paths.push_back(L"Languages\\pack" + std::to_wstring(i % 3) + L"\\lang" + n + L".dll"); break;
            case 2: paths.push_back(L"bin\\svn" + n + L".dll"); break;
            case 3: paths.push_back(L"bin\\libapr" + n + L".dll"); break;
            case 4: paths.push_back(L"Common\\common" + n + L".dll"); break;
            case 5: paths.push_back(L"System\\sys" + n + L".dll"); break;
            case 6: paths.push_back(L"System64\\sys" + n + L".dll"); break;
            default:
                paths.push_back(isNew ? L"Plugins\\p" + std::to_wstring(i % 3) + L"\\plugin" + n + L".dat"
                                      : L"Help\\help" + n + L".txt");
        }
    }
    if (previous) {
        paths.push_back(L"bin\\obsolete.dll");
        paths.push_back(L"Help\\old.txt");
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        // Sizes from 1 to 4 KiB; each release differs from the other in every file.
        const std::string line = (previous ? "old " : "new ") + Narrow(paths[i]) + "\n";
        std::string content;
        while (content.size() < 1024 * (1 + i % 4)) content += line;
        WriteText(root + L"\\" + paths[i], content);
    }
    return paths;
}

TreeSnapshot SnapshotTree(const std::wstring& root) {
    TreeSnapshot out;
    Snapshot(root, std::wstring(), out);
    return out;
}

}  // namespace qlntest

#include "Utils/ProtectedDirectory.h"

#include <sddl.h>

namespace qln {

namespace {

// Inherited by everything created below: system, administrators, owner rights.
constexpr wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";

struct LocalFreeDeleter {
    void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};

}  // namespace

bool ProtectedDirectory::Create(const std::wstring& path, DWORD& error) {
    Release();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, &descriptor,
                                                                 nullptr)) {
        error = ::GetLastError();
        return false;
    }
    const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    // An existing folder is never adopted: its access list is whatever its
    // maker chose, and files may already wait inside.
    if (!::CreateDirectoryW(path.c_str(), &attributes)) {
        error = ::GetLastError();
        return false;
    }
    return Hold(path, error);
}

bool ProtectedDirectory::Hold(const std::wstring& path, DWORD& error) {
    Release();
    UniqueFileHandle folder(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        error = ::GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(folder.get(), &info)) {
        error = ::GetLastError();
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = ERROR_DIRECTORY;
        return false;
    }
    m_folder = std::move(folder);
    error = ERROR_SUCCESS;
    return true;
}

}  // namespace qln

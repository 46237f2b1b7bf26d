#include "Utils/ProtectedDirectory.h"

#include "Utils/PathUtils.h"

#include <sddl.h>

#include <fmt/xchar.h>

#include <memory>

namespace qln {

namespace {

// Inherited by everything created below: system, administrators, owner rights.
constexpr wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";
// The same, owned by the administrators: no single account keeps the owner's
// implicit right to rewrite the list.
constexpr wchar_t kAdministratorsFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

struct LocalFreeDeleter {
    void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};
using UniqueDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

UniqueDescriptor DescriptorOf(const wchar_t* sddl, DWORD& error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        error = ::GetLastError();
    }
    return UniqueDescriptor(descriptor);
}

}  // namespace

const wchar_t* ProtectedDirectory::ProtectedSddl(bool ownedByAdministrators) noexcept {
    return ownedByAdministrators ? kAdministratorsFolderSddl : kProtectedFolderSddl;
}

bool ProtectedDirectory::IsHoldable(DWORD attributes) noexcept {
    return IsPlainDirectory(attributes);
}

bool ProtectedDirectory::Create(const std::wstring& path, DWORD& error, bool ownedByAdministrators) {
    Release();
    const UniqueDescriptor descriptor = DescriptorOf(ProtectedSddl(ownedByAdministrators), error);
    if (!descriptor) return false;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
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
    if (!IsHoldable(info.dwFileAttributes)) {
        error = ERROR_DIRECTORY;
        return false;
    }
    m_folder = std::move(folder);
    m_path = path;
    error = ERROR_SUCCESS;
    return true;
}

std::wstring ProtectedDirectory::Identity() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!m_folder || !::GetFileInformationByHandle(m_folder.get(), &info)) return {};
    return fmt::format(L"{:08x}-{:08x}{:08x}", info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
}

bool ProtectedDirectory::ReapplyProtection(DWORD& error) const {
    if (!m_folder) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    const UniqueDescriptor descriptor = DescriptorOf(kAdministratorsFolderSddl, error);
    if (!descriptor) return false;
    // The folder is held, so the path still names it.
    if (!::SetFileSecurityW(m_path.c_str(),
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            descriptor.get())) {
        error = ::GetLastError();
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

}  // namespace qln

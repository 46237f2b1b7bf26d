#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"

#include <msi.h>
#include <shellapi.h>

#include <algorithm>
#include <string_view>

#include <fmt/xchar.h>

#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/StringConv.h"

namespace {

// msi.dll is a system DLL: load it from the system directory only, so that
// a planted copy next to the daemon is never picked up.
HMODULE LoadMsiDll() noexcept {
    return ::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Looks an export up by ordinal; the exports by name differ between the
// ANSI and wide forms of the import library, the ordinals do not.
template <typename Fn>
Fn MsiOrdinal(HMODULE msi, WORD ordinal) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(msi, MAKEINTRESOURCEA(ordinal))));
}

constexpr WORD kOrdinalEnumRelatedProductsW = 205;
constexpr WORD kOrdinalGetProductInfoW = 70;

using EnumRelatedProductsWFn = UINT(WINAPI*)(LPCWSTR upgradeCode, DWORD reserved, DWORD index, LPWSTR productBuf);
using GetProductInfoWFn = UINT(WINAPI*)(LPCWSTR product, LPCWSTR property, LPWSTR value, LPDWORD valueLength);
using EnumComponentsWFn = UINT(WINAPI*)(DWORD index, LPWSTR componentBuf);
using GetComponentPathWFn = INT(WINAPI*)(LPCWSTR product, LPCWSTR component, LPWSTR path, LPDWORD pathLength);
using OpenDatabaseWFn = UINT(WINAPI*)(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database);
using DatabaseOpenViewWFn = UINT(WINAPI*)(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view);
using ViewExecuteFn = UINT(WINAPI*)(MSIHANDLE view, MSIHANDLE record);
using ViewFetchFn = UINT(WINAPI*)(MSIHANDLE view, MSIHANDLE* record);
using RecordGetStringWFn = UINT(WINAPI*)(MSIHANDLE record, UINT field, LPWSTR value, LPDWORD valueLength);
using CloseHandleFn = UINT(WINAPI*)(MSIHANDLE handle);

template <typename Fn>
Fn MsiExport(HMODULE msi, const char* name) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(msi, name)));
}

// Reads a string the Msi* way: ERROR_MORE_DATA gives the length needed.
template <typename Get>
UINT ReadMsiString(Get get, std::wstring& out) noexcept {
    out.clear();
    try {
        std::wstring buffer(MAX_PATH, L'\0');
        for (int tries = 0; tries < 3; ++tries) {
            DWORD length = static_cast<DWORD>(buffer.size());
            const UINT status = get(buffer.data(), &length);
            if (status == ERROR_MORE_DATA) {
                buffer.assign(static_cast<size_t>(length) + 1, L'\0');
                continue;
            }
            if (status == ERROR_SUCCESS) out.assign(buffer.data(), std::min<size_t>(length, buffer.size()));
            return status;
        }
        return ERROR_MORE_DATA;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Closes an MSIHANDLE through the loaded msi.dll.
class MsiHandle {
public:
    explicit MsiHandle(CloseHandleFn close) noexcept : m_close(close) {}
    ~MsiHandle() {
        if (m_handle && m_close) m_close(m_handle);
    }
    MsiHandle(const MsiHandle&) = delete;
    MsiHandle& operator=(const MsiHandle&) = delete;
    MSIHANDLE* put() noexcept { return &m_handle; }
    MSIHANDLE get() const noexcept { return m_handle; }

private:
    CloseHandleFn m_close;
    MSIHANDLE m_handle = 0;
};

}  // namespace

std::wstring QLNWindowsInstaller::SystemMsiexecPath() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : qln::JoinPath(std::wstring_view(system, length), kMsiexec);
}

std::optional<std::wstring> QLNWindowsInstaller::BuildCommandLine(Run run, const std::wstring& package,
                                                                const std::wstring& path) {
    for (const std::wstring* text : {&package, &path}) {
        if (qln::HasQuoteOrControl(*text)) {
            KM_LOG_ERROR(L"Refusing to start msiexec: the path '{}' holds a quote or a control character", *text);
            return std::nullopt;
        }
    }
    switch (run) {
        case Run::AdministrativeExtraction:
            return fmt::format(L"msiexec.exe /a \"{}\" /qn TARGETDIR=\"{}\"", package, path);
        case Run::SilentInstall: return fmt::format(L"/i \"{}\" /qn /norestart /l*v \"{}\"", package, path);
        case Run::InteractiveInstall: return fmt::format(L"/i \"{}\" /l*v \"{}\"", package, path);
    }
    return std::nullopt;
}

bool QLNWindowsInstaller::StartAdministrativeExtraction(const std::wstring& commandLine, PROCESS_INFORMATION& info,
                                                        DWORD& error) noexcept {
    info = {};
    error = ERROR_SUCCESS;
    // CreateProcessW may write into the command line buffer.
    std::wstring buffer = commandLine;
    const std::wstring program = qln::seams::g_msiexecProgram ? qln::seams::g_msiexecProgram : SystemMsiexecPath();
    if (program.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const BOOL ok = ::CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                     nullptr, &startup, &info);
    if (!ok) {
        error = ::GetLastError();
        info = {};
        return false;
    }
    return true;
}

bool QLNWindowsInstaller::StartInstaller(const std::wstring& parameters, int showCommand, bool elevate,
                                         qln::UniqueHandle& process, DWORD& error) noexcept {
    process.reset();
    error = ERROR_SUCCESS;
    const std::wstring program = qln::seams::g_msiexecProgram ? qln::seams::g_msiexecProgram : SystemMsiexecPath();
    if (program.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = elevate ? L"runas" : nullptr;
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = showCommand;
    const auto shellExecute = qln::seams::g_installerShellExecuteEx ? qln::seams::g_installerShellExecuteEx
                                                                     : &::ShellExecuteExW;
    if (!qln::seams::g_installerShellExecuteEx && !KMSystemLibrary::Require(L"shell32.dll")) {
        error = ERROR_MOD_NOT_FOUND;
        return false;
    }
    if (!shellExecute(&info)) {
        error = ::GetLastError();
        return false;
    }
    process.reset(info.hProcess);
    return true;
}

UINT QLNWindowsInstaller::EnumFirstRelatedProduct(const wchar_t* upgradeCode, wchar_t (&productCode)[39]) noexcept {
    productCode[0] = L'\0';
    qln::UniqueModule msi(LoadMsiDll());
    if (!msi) return ::GetLastError();
    const auto enumRelated = MsiOrdinal<EnumRelatedProductsWFn>(msi.get(), kOrdinalEnumRelatedProductsW);
    if (!enumRelated) return ::GetLastError();
    return enumRelated(upgradeCode, 0, 0, productCode);
}

UINT QLNWindowsInstaller::GetProductPackageName(const wchar_t* productCode, std::wstring& packageName) noexcept {
    packageName.clear();
    qln::UniqueModule msi(LoadMsiDll());
    if (!msi) return ::GetLastError();
    const auto getInfo = MsiOrdinal<GetProductInfoWFn>(msi.get(), kOrdinalGetProductInfoW);
    if (!getInfo) return ::GetLastError();
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    const UINT status = getInfo(productCode, L"PackageName", buffer, &length);
    if (status == ERROR_SUCCESS) {
        try {
            packageName = buffer;
        } catch (...) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    return status;
}

UINT QLNWindowsInstaller::GetProductVersion(const wchar_t* productCode, std::wstring& version) noexcept {
    version.clear();
    qln::UniqueModule msi(LoadMsiDll());
    if (!msi) return ::GetLastError();
    const auto getInfo = MsiOrdinal<GetProductInfoWFn>(msi.get(), kOrdinalGetProductInfoW);
    if (!getInfo) return ::GetLastError();
    return ReadMsiString([&](wchar_t* buffer, DWORD* length) { return getInfo(productCode, L"VersionString", buffer, length); },
                         version);
}

UINT QLNWindowsInstaller::GetProductInstallRoot(const wchar_t* productCode, std::wstring& root) noexcept {
    root.clear();
    qln::UniqueModule msi(LoadMsiDll());
    if (!msi) return ::GetLastError();
    const auto getInfo = MsiOrdinal<GetProductInfoWFn>(msi.get(), kOrdinalGetProductInfoW);
    const auto enumComponents = MsiExport<EnumComponentsWFn>(msi.get(), "MsiEnumComponentsW");
    const auto componentPath = MsiExport<GetComponentPathWFn>(msi.get(), "MsiGetComponentPathW");
    if (!getInfo || !enumComponents || !componentPath) return ERROR_PROC_NOT_FOUND;
    try {
        std::wstring location;
        if (ReadMsiString([&](wchar_t* buffer, DWORD* length) { return getInfo(productCode, L"InstallLocation", buffer, length); },
                          location) == ERROR_SUCCESS) {
            while (!location.empty() && location.back() == L'\\') location.pop_back();
            if (!location.empty()) {
                root = location;
                return ERROR_SUCCESS;
            }
        }
        // A package that sets no install location still registers where each
        // of its files went: the daemon's own file tells the root.
        constexpr std::wstring_view kDaemon = L"\\bin\\QLNUpgrade.exe";
        wchar_t component[39] = {};
        for (DWORD index = 0; enumComponents(index, component) == ERROR_SUCCESS; ++index) {
            std::wstring path;
            std::wstring buffer(MAX_PATH, L'\0');
            DWORD length = static_cast<DWORD>(buffer.size());
            INT state = componentPath(productCode, component, buffer.data(), &length);
            if (state == INSTALLSTATE_MOREDATA) {
                buffer.assign(static_cast<size_t>(length) + 1, L'\0');
                length = static_cast<DWORD>(buffer.size());
                state = componentPath(productCode, component, buffer.data(), &length);
            }
            if (state != INSTALLSTATE_LOCAL) continue;
            path.assign(buffer.data(), std::min<size_t>(length, buffer.size()));
            if (path.size() > kDaemon.size() && qln::EqualsNoCase(std::wstring_view(path).substr(path.size() - kDaemon.size()), kDaemon)) {
                root = path.substr(0, path.size() - kDaemon.size());
                return ERROR_SUCCESS;
            }
        }
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_FILE_NOT_FOUND;
}

UINT QLNWindowsInstaller::GetPackageProperty(const std::wstring& package, const wchar_t* property,
                                             std::wstring& value) noexcept {
    value.clear();
    qln::UniqueModule msi(LoadMsiDll());
    if (!msi) return ::GetLastError();
    const auto openDatabase = MsiExport<OpenDatabaseWFn>(msi.get(), "MsiOpenDatabaseW");
    const auto openView = MsiExport<DatabaseOpenViewWFn>(msi.get(), "MsiDatabaseOpenViewW");
    const auto execute = MsiExport<ViewExecuteFn>(msi.get(), "MsiViewExecute");
    const auto fetch = MsiExport<ViewFetchFn>(msi.get(), "MsiViewFetch");
    const auto getString = MsiExport<RecordGetStringWFn>(msi.get(), "MsiRecordGetStringW");
    const auto close = MsiExport<CloseHandleFn>(msi.get(), "MsiCloseHandle");
    if (!openDatabase || !openView || !execute || !fetch || !getString || !close) return ERROR_PROC_NOT_FOUND;
    MsiHandle database(close), view(close), record(close);
    // MSIDBOPEN_READONLY
    UINT status = openDatabase(package.c_str(), reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0)), database.put());
    if (status != ERROR_SUCCESS) return status;
    try {
        // The name is the product's own constant, never outside text.
        const std::wstring query = std::wstring(L"SELECT `Value` FROM `Property` WHERE `Property`='") + property + L"'";
        status = openView(database.get(), query.c_str(), view.put());
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (status == ERROR_SUCCESS) status = execute(view.get(), 0);
    if (status == ERROR_SUCCESS) status = fetch(view.get(), record.put());
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_NOT_FOUND;
    if (status != ERROR_SUCCESS) return status;
    return ReadMsiString([&](wchar_t* buffer, DWORD* length) { return getString(record.get(), 1, buffer, length); }, value);
}

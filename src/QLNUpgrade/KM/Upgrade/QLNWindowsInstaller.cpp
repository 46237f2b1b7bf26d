#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"

#include <shellapi.h>

#include <fmt/xchar.h>

#include "Utils/KM/KMLog.h"
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

}  // namespace

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
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const BOOL ok = ::CreateProcessW(qln::seams::g_msiexecProgram, buffer.data(), nullptr, nullptr, FALSE,
                                     CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
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
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = elevate ? L"runas" : nullptr;
    info.lpFile = qln::seams::g_msiexecProgram ? qln::seams::g_msiexecProgram : kMsiexec;
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

// The replace strategy's view of a file tree: where the product lies in an
// unpacked package, which files it holds and in which category each goes.

#include <windows.h>
#include <shlwapi.h>

#include <array>

#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

namespace {

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) noexcept {
    return text.size() >= prefix.size() && qln::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) noexcept {
    return text.size() >= suffix.size() && qln::EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}


// A directory that is a directory of its own and not a link to another place.
bool IsPlainDirectory(const std::wstring& path) noexcept {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// A product directory candidate holds "bin". A junction on the way would lead
// the deployment's source outside the unpacked tree (even to the installed
// tree itself), so every level below the extraction directory must be plain.
bool IsProductDirCandidate(const std::wstring& extractDir, const std::wstring& candidate) {
    std::wstring path = candidate + L"\\bin";
    if (!::PathFileExistsW(path.c_str())) return false;
    while (path.size() > extractDir.size()) {
        if (!IsPlainDirectory(path)) {
            KM_LOG_WARN(L"Not a plain directory, not used as product directory: {}", path);
            return false;
        }
        path.resize(path.rfind(L'\\'));
    }
    return true;
}

constexpr std::array<std::wstring_view, 5> kThirdPartyPrefixes = {L"intl3", L"libapr", L"libaprutil", L"libsasl",
                                                                  L"sasl"};

}  // namespace

bool ReplaceSilentUpgradeStrategy::NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

bool ReplaceSilentUpgradeStrategy::IsReplaceBackupFileName(std::wstring_view fileName) noexcept {
    if (fileName.size() > kBackupSuffix.size() && EndsWithNoCase(fileName, kBackupSuffix)) return true;
    // The numbered alternatives: "<name>.qlnupd.bak.<1..100>".
    const size_t dot = fileName.rfind(L'.');
    if (dot == std::wstring_view::npos || dot + 1 == fileName.size() || fileName.size() - dot > 4) return false;
    for (wchar_t c : fileName.substr(dot + 1)) {
        if (c < L'0' || c > L'9') return false;
    }
    const std::wstring_view stem = fileName.substr(0, dot);
    return stem.size() > kBackupSuffix.size() && EndsWithNoCase(stem, kBackupSuffix);
}

std::wstring ReplaceSilentUpgradeStrategy::FindExtractedProductDir(const std::wstring& extractDir) {
    const std::wstring common = extractDir + L"\\Program Files\\Quillon";
    if (IsProductDirCandidate(extractDir, common)) {
        KM_LOG_DEBUG(L"Found product dir at common path: {}", common);
        return common;
    }

    std::wstring found;
    qln::ForEachEntry(extractDir, L"*", [&](const WIN32_FIND_DATAW& entry) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
        const std::wstring candidate = qln::JoinPath(qln::JoinPath(extractDir, entry.cFileName), L"Quillon");
        if (!IsProductDirCandidate(extractDir, candidate)) return true;
        found = candidate;
        return false;
    });
    if (!found.empty()) {
        KM_LOG_DEBUG(L"Found product dir via fallback: {}", found);
        return found;
    }

    if (IsProductDirCandidate(extractDir, extractDir)) {
        KM_LOG_DEBUG(L"Extract dir itself is the product dir: {}", extractDir);
        return extractDir;
    }
    KM_LOG_ERROR(L"Could not find Quillon product directory in {}", extractDir);
    return {};
}

void ReplaceSilentUpgradeStrategy::ScanDirectoryRecursive(const std::wstring& root, const std::wstring& directory,
                                                          std::vector<std::wstring>& files, PathSet& seen) {
    qln::ForEachEntry(directory, L"*", [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring name = entry.cFileName;
        const std::wstring fullPath = qln::JoinPath(directory, name);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            // A junction or link may loop or lead outside the tree; whatever
            // it points at is not part of this tree.
            KM_LOG_WARN(L"Skipping reparse point: {}", fullPath);
            return true;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ScanDirectoryRecursive(root, fullPath, files, seen);
            return true;
        }
        const size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos && qln::EqualsNoCase(std::wstring_view(name).substr(dot), L".msi")) return true;
        if (name.size() > kBackupSuffix.size() && EndsWithNoCase(name, kBackupSuffix)) return true;

        std::wstring relativePath = fullPath.substr(root.size() + 1);
        if (seen.insert(relativePath).second) {
            files.push_back(std::move(relativePath));
            KM_LOG_DEBUG(L"Discovered additional file: {}", fullPath);
        }
        return true;
    });
}

UpgradeFileCategory ReplaceSilentUpgradeStrategy::CategorizeUpgradeFile(std::wstring_view relativePath) {
    const size_t firstSlash = relativePath.find(L'\\');
    if (firstSlash == std::wstring_view::npos) {
        return qln::EqualsNoCase(relativePath, L"version.txt") ? UpgradeFileCategory::VersionTxt
                                                                : UpgradeFileCategory::QLN;
    }
    const std::wstring_view top = relativePath.substr(0, firstSlash);
    if (qln::EqualsNoCase(top, L"Languages")) return UpgradeFileCategory::Lang;
    if (qln::EqualsNoCase(top, L"Common")) return UpgradeFileCategory::Common;
    if (qln::EqualsNoCase(top, L"System")) return UpgradeFileCategory::System;
    if (qln::EqualsNoCase(top, L"System64")) return UpgradeFileCategory::System64;
    if (!qln::EqualsNoCase(top, L"bin")) return UpgradeFileCategory::QLN;

    const std::wstring_view fileName = relativePath.substr(relativePath.rfind(L'\\') + 1);
    if (qln::EqualsNoCase(fileName, L"QLNUpgrade.exe")) return UpgradeFileCategory::QLNUpgrade;
    if (StartsWithNoCase(fileName, L"svn")) return UpgradeFileCategory::SVN;
    for (const auto prefix : kThirdPartyPrefixes) {
        if (StartsWithNoCase(fileName, prefix)) return UpgradeFileCategory::Third;
    }
    return UpgradeFileCategory::QLN;
}

ReplaceSilentUpgradeStrategy::FileInventory ReplaceSilentUpgradeStrategy::GetUpgradeFileList(
    const std::wstring& productDir) {
    std::vector<std::wstring> files;
    PathSet seen;
    ScanDirectoryRecursive(productDir, productDir, files, seen);

    FileInventory inventory;
    for (auto& path : files) {
        const UpgradeFileCategory category = CategorizeUpgradeFile(path);
        inventory[category].push_back(std::move(path));
    }

    const auto count = [&](UpgradeFileCategory category) {
        const auto it = inventory.find(category);
        return it == inventory.end() ? size_t{0} : it->second.size();
    };
    KM_LOG_INFO(L"Categorized {} files: QLN={}, Lang={}, SVN={}, Third={}, Common={}, System={}, System64={}",
                files.size(), count(UpgradeFileCategory::QLN), count(UpgradeFileCategory::Lang),
                count(UpgradeFileCategory::SVN), count(UpgradeFileCategory::Third), count(UpgradeFileCategory::Common),
                count(UpgradeFileCategory::System), count(UpgradeFileCategory::System64));

    for (const UpgradeFileCategory category : UpgradeFileCategoryOrder) {
        const auto it = inventory.find(category);
        if (it == inventory.end() || it->second.empty()) continue;
        const std::wstring_view name = UpgradeFileCategoryName(category);
        KM_LOG_INFO(L"[{}] {} files:", name, it->second.size());
        for (const auto& path : it->second) KM_LOG_INFO(L"  [{}] {}", name, path);
    }
    return inventory;
}

int32_t ReplaceSilentUpgradeStrategy::RemoveObsoleteFiles(const std::wstring& installRoot,
                                                          const PathSet& expectedFiles) {
    std::vector<std::wstring> installed;
    PathSet seen;
    ScanDirectoryRecursive(installRoot, installRoot, installed, seen);

    int32_t obsolete = 0;
    for (const auto& path : installed) {
        if (expectedFiles.count(path) != 0) continue;
        ++obsolete;
        KM_LOG_INFO(L"[DryRun] Obsolete file would be deleted: {}", qln::JoinPath(installRoot, path));
    }
    KM_LOG_INFO(L"[DryRun] Found {} obsolete files (removal disabled, set ENABLE_REMOVE_OBSOLETE_FILE to enable)",
                obsolete);
    return obsolete;
}

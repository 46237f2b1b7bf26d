#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"

#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "Utils/KM/KMLog.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"

#include <shlwapi.h>

#include <cwctype>

namespace {

constexpr wchar_t kProgressKey[] = L"Software\\Quillon\\KM\\UpgradeProgress";
constexpr wchar_t kInProgress[] = L"InProgress";
constexpr const wchar_t* kValueNames[] = {L"State",      L"TargetVersion", L"UpgradeType",
                                          L"StagingDir", L"ProductDir",    L"CompletedCategories"};
enum ValueIndex { State, TargetVersion, UpgradeType, StagingDir, ProductDir, CompletedCategories };

CRegString Value(ValueIndex index) {
    return CRegString(std::wstring(kProgressKey) + L"\\" + kValueNames[index]);
}

std::wstring ReadValue(ValueIndex index) {
    return Value(index).Read().str();
}

void WriteValue(ValueIndex index, const std::wstring& text) {
    Value(index).Write(qln::RefWString(text));
}

bool IsInProgressState(const std::wstring& state) {
    return qln::EqualsNoCase(state, kInProgress);
}

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && std::iswspace(text.front())) text.remove_prefix(1);
    while (!text.empty() && std::iswspace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::wstring FormatCompletedCategories(const std::set<UpgradeFileCategory>& categories) {
    std::wstring text;
    for (UpgradeFileCategory category : categories) {
        if (!text.empty()) text += L',';
        text += UpgradeFileCategoryName(category);
    }
    return text;
}

std::set<UpgradeFileCategory> ParseCompletedCategories(std::wstring_view text) {
    std::set<UpgradeFileCategory> categories;
    while (!text.empty()) {
        const size_t comma = text.find(L',');
        const std::wstring_view part = Trim(text.substr(0, comma));
        text = comma == std::wstring_view::npos ? std::wstring_view() : text.substr(comma + 1);
        for (int32_t value = 0; value < UpgradeFileCategoryCount; ++value) {
            const auto category = static_cast<UpgradeFileCategory>(value);
            if (!part.empty() && qln::EqualsNoCase(part, UpgradeFileCategoryName(category))) {
                categories.insert(category);
                break;
            }
        }
    }
    return categories;
}

QLNUpgradeProgress LoadUpgradeProgress() {
    QLNUpgradeProgress progress;
    progress.inProgress = IsInProgressState(ReadValue(State));
    if (!progress.inProgress) return progress;
    progress.targetVersion = ReadValue(TargetVersion);
    progress.upgradeType = ReadValue(UpgradeType);
    progress.stagingDir = ReadValue(StagingDir);
    progress.productDir = ReadValue(ProductDir);
    const std::wstring completed = ReadValue(CompletedCategories);
    progress.completedCategories = ParseCompletedCategories(completed);
    KM_LOG_INFO(L"Loaded upgrade progress: version={}, type={}, staging={}, product={}, completed={}",
                progress.targetVersion, progress.upgradeType, progress.stagingDir, progress.productDir, completed);
    return progress;
}

void QLNUpgradeProgress::SaveUpgradeProgress() const {
    const std::wstring completed = FormatCompletedCategories(completedCategories);
    WriteValue(State, inProgress ? kInProgress : L"");
    WriteValue(TargetVersion, targetVersion);
    WriteValue(UpgradeType, upgradeType);
    WriteValue(StagingDir, stagingDir);
    WriteValue(ProductDir, productDir);
    WriteValue(CompletedCategories, completed);
    KM_LOG_INFO(L"Saved upgrade progress: version={}, type={}, completed={}", targetVersion, upgradeType, completed);
}

void UpdateUpgradeState(const std::wstring& state) {
    WriteValue(State, state);
    KM_LOG_INFO(L"Updated upgrade state to: {}", state);
}

void UpdateCompletedCategories(const std::set<UpgradeFileCategory>& categories) {
    const std::wstring completed = FormatCompletedCategories(categories);
    WriteValue(CompletedCategories, completed);
    KM_LOG_DEBUG(L"Updated completed categories: {}", completed);
}

void ClearUpgradeProgress() {
    KM_LOG_INFO(L"Clearing upgrade progress: state={}, version={}, type={}, staging={}, product={}, completed={}",
                ReadValue(State), ReadValue(TargetVersion), ReadValue(UpgradeType), ReadValue(StagingDir),
                ReadValue(ProductDir), ReadValue(CompletedCategories));
    for (int index = State; index <= CompletedCategories; ++index) Value(static_cast<ValueIndex>(index)).DeleteValue();
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kProgressKey);
}

bool HasPendingUpgrade() {
    return IsInProgressState(ReadValue(State));
}

bool QLNUpgradeProgress::Validate() const {
    if (targetVersion.empty() || stagingDir.empty() || productDir.empty()) {
        KM_LOG_WARN(L"Incomplete upgrade progress data (version='{}', staging='{}', product='{}')", targetVersion,
                    stagingDir, productDir);
        return false;
    }
    if (!QLNVersionInfo::IsNewerVersion(targetVersion)) {
        KM_LOG_WARN(L"Target version '{}' is no longer newer than running version, skipping resume", targetVersion);
        return false;
    }
    if (!qln::Exists(stagingDir)) {
        KM_LOG_WARN(L"Staging directory no longer exists: {}", stagingDir);
        return false;
    }
    const std::wstring binDir = productDir + L"\\bin";
    if (!qln::Exists(binDir)) {
        KM_LOG_WARN(L"Product directory invalid (bin\\ not found): {}", productDir);
        return false;
    }
    for (const wchar_t* keyFile : {L"Quillon.dll", L"QuillProc.exe"}) {
        const std::wstring path = qln::JoinPath(binDir, keyFile);
        if (!qln::Exists(path)) {
            KM_LOG_WARN(L"Key extracted file missing: {}", path);
            return false;
        }
    }
    KM_LOG_INFO(L"Upgrade progress validation passed (version={}, productDir={})", targetVersion, productDir);
    return true;
}

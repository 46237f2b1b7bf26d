#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <string>

#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"
#include "QLNUpgrade/KM/Upgrade/QLNUpgradeConfig.h"
#include "SVN/KM/KMConfigManager.h"
#include "Utils/KM/KMConfig.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/KM/KMLog.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"

namespace {

constexpr wchar_t kVersionCheckKey[] = L"Software\\Quillon\\VersionCheck\\";

constexpr wchar_t kRawTextValue[] = L"NewVersionRawText";
constexpr wchar_t kLastNotifiedAtValue[] = L"NewVersionLastNotifiedAt";
constexpr wchar_t kIgnoreValue[] = L"NewVersionIgnore";
constexpr wchar_t kLastCleanupVersionValue[] = L"LastCleanupVersion";
constexpr wchar_t kUrlValue[] = L"URL";

constexpr wchar_t kLegacyVersionValue[] = L"NewVersion";
constexpr wchar_t kLegacyInfoValue[] = L"NewVersionInfo";
constexpr wchar_t kLegacyLinkValue[] = L"NewVersionLink";
constexpr wchar_t kLegacyForceValue[] = L"NewVersionForce";

constexpr char kLatestVersionInfoKey[] = "LatestVersionInfo";
// A version text is four short lines. A longer text from any source is no
// answer: it is neither taken, stored nor read whole.
constexpr std::size_t kMaxVersionTextUnits = 64 * 1024;
constexpr std::int32_t kVersionRequestTimeoutMs = 60000;
std::atomic<std::int32_t> g_requestTimeoutMs{kVersionRequestTimeoutMs};

std::wstring ValuePath(const wchar_t* valueName) { return std::wstring(kVersionCheckKey) + valueName; }

std::int64_t SystemSeconds() {
    // Since C++20 the epoch of system_clock is 1 January 1970 (UTC).
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QLNVersionChecker::ClockFn g_clock = &SystemSeconds;

std::wstring ReadLatestVersionInfo(const std::wstring& scope) {
    return KMConfigManager::Instance().GetConfig(scope).GetValue(kLatestVersionInfoKey, std::wstring());
}

// Takes a text that parsed as the answer: it becomes the record's raw text
// and the new registry cache.
bool Adopt(const std::wstring& text, QLNVersionInfo& info) {
    if (text.size() > kMaxVersionTextUnits) {
        KM_LOG_WARN(L"Version text of {} characters is over the limit of {}, ignoring it", text.size(),
                    kMaxVersionTextUnits);
        return false;
    }
    // The registry cache ends a text at its first NUL: a text with one would
    // be taken now and read back from the cache as another.
    if (text.find(L'\0') != std::wstring::npos) {
        KM_LOG_WARN(L"Version text contains a NUL character at {}, ignoring it", text.find(L'\0'));
        return false;
    }
    if (!QLNVersionInfo::ParseVersionText(text, info)) return false;
    info.rawText = text;
    QLNVersionChecker::SaveToRegistry(info);
    return true;
}

}  // namespace

QLNVersionChecker::QLNVersionChecker() {
    LoadFromRegistry(m_cached);
    m_lastNotifiedAt = CRegStdQWORD(ValuePath(kLastNotifiedAtValue), 0).Read();
    m_ignored = CRegStdDWORD(ValuePath(kIgnoreValue), 0).Read();
}

void QLNVersionChecker::SetClock(ClockFn clock) noexcept { g_clock = clock ? clock : &SystemSeconds; }

void QLNVersionChecker::SetRequestTimeout(std::int32_t ms) noexcept {
    g_requestTimeoutMs = ms > 0 ? ms : kVersionRequestTimeoutMs;
}

bool QLNVersionChecker::LoadVersionInfo(QLNVersionInfo& info, bool forceFetch) {
    const std::wstring scope = KMConfig::GetEffectiveRepo();

    const std::wstring scopeText = ReadLatestVersionInfo(scope);
    if (!scopeText.empty()) {
        KM_LOG_INFO(L"Latest version info from config LatestVersionInfo: {}", qln::ServerTextForLog(scopeText));
        if (Adopt(scopeText, info)) return true;
        KM_LOG_WARN(L"Config LATEST_VERSION_INFO is invalid (< 4 lines), falling back");
    } else {
        KM_LOG_DEBUG(L"Config LATEST_VERSION_INFO is empty, falling back");
    }

    // The effective scope is the global one when no repository is set; no
    // point in asking it twice.
    if (scope != KMConfigManager::kGlobalScope) {
        const std::wstring globalText = ReadLatestVersionInfo(KMConfigManager::kGlobalScope);
        if (!globalText.empty()) {
            KM_LOG_INFO(L"Latest version info from global config LatestVersionInfo: {}",
                        qln::ServerTextForLog(globalText));
            if (Adopt(globalText, info)) return true;
            KM_LOG_WARN(L"Global config LATEST_VERSION_INFO is invalid (< 4 lines), falling back");
        } else {
            KM_LOG_DEBUG(L"Global config LATEST_VERSION_INFO is empty, falling back");
        }
    }

    if (forceFetch) {
        CRegStdString urlValue(ValuePath(kUrlValue), qln::kVersionServiceAddress);
        std::wstring url = urlValue.Read();
        if (url.empty()) {
            // A value emptied by hand would otherwise disable the check for good.
            url = qln::kVersionServiceAddress;
            urlValue.Write(url);
        }
        // Appended as is, without looking for a query in the address: the
        // stored address is meant to be a bare endpoint.
        url += L"?current=";
        url += CurrentVersion;
        KM_LOG_INFO(L"Checking version from {}", url);

        HttpRequest request;
        request.url = url;
        request.method = HttpMethod::Get;
        const std::int32_t timeoutMs = g_requestTimeoutMs.load();
        request.resolveTimeoutMs = timeoutMs;
        request.connectTimeoutMs = timeoutMs;
        request.sendTimeoutMs = timeoutMs;
        request.receiveTimeoutMs = timeoutMs;
        // The service answers in a single-byte code page: as many characters as bytes.
        request.maxBodyBytes = kMaxVersionTextUnits;

        std::string body;
        bool refused = false;
        try {
            HttpResponse response = KMHttpUtils::SendRequestEx(request);
            refused = response.overLimit;  // logged with its size by the client
            if (response.complete) {
                body = std::move(response.body);
            } else if (!response.body.empty()) {
                // The first lines of a cut-off answer can still parse, with a
                // link or force flag cut short: never take them for the answer.
                KM_LOG_WARN("Version response is incomplete ({} bytes), ignoring it", response.body.size());
            }
        } catch (const std::exception& e) {
            KM_LOG_WARN("version check request failed: {}", std::string(e.what()));
        }

        // The service answers in the system code page, not in UTF-8.
        const std::wstring serviceText = qln::AnsiToWide(body);
        if (!serviceText.empty()) {
            KM_LOG_INFO(L"Latest version info from check url: {}", qln::ServerTextForLog(serviceText));
            if (Adopt(serviceText, info)) return true;
        }
        if (serviceText.empty() && !refused) {
            KM_LOG_WARN(L"Version check returned empty response, falling back to registry");
        } else {
            KM_LOG_WARN(L"Version response is invalid (< 4 lines), falling back to registry");
        }
    } else {
        KM_LOG_DEBUG(L"Force fetch is false, skip HTTP, falling back to registry");
    }

    LoadFromRegistry(info);
    if (info.rawText.empty()) {
        KM_LOG_DEBUG(L"Registry cache is empty, no version info available");
        return false;
    }
    KM_LOG_INFO(L"Using version info from registry cache (version={})", info.version);
    return true;
}

void QLNVersionChecker::LoadFromRegistry(QLNVersionInfo& info) {
    info = QLNVersionInfo{};

    CRegStdString rawValue(ValuePath(kRawTextValue));
    std::wstring text;
    // Sized before it is read, so that an oversized value is never loaded;
    // the next text taken replaces it.
    DWORD bytes = 0;
    if (::RegGetValueW(rawValue.BaseKey(), rawValue.KeyPath().c_str(), rawValue.ValueName().c_str(), RRF_RT_ANY,
                       nullptr, nullptr, &bytes) == ERROR_SUCCESS &&
        bytes > (kMaxVersionTextUnits + 1) * sizeof(wchar_t)) {
        KM_LOG_WARN(L"Cached version text NewVersionRawText of {} bytes is over the limit of {} characters, "
                    L"ignoring it",
                    bytes, kMaxVersionTextUnits);
    } else {
        text = rawValue.Read();
    }
    if (text.empty()) {
        text = BuildLegacyVersionText();
        if (!text.empty()) {
            KM_LOG_INFO(L"Migrating legacy version-info registry keys to NewVersionRawText");
            rawValue.Write(text);
        }
        // Also without a version the leftovers of the older scheme are useless.
        DeleteLegacyValues();
        if (text.empty()) return;
    }

    (void)QLNVersionInfo::ParseVersionText(text, info);
    info.rawText = std::move(text);
}

void QLNVersionChecker::SaveToRegistry(const QLNVersionInfo& info) {
    QLNVersionInfo cached;
    LoadFromRegistry(cached);

    if (!qln::EqualsNoCase(cached.version, info.version) || cached.force != info.force) {
        KM_LOG_DEBUG(L"Version info changed (version: '{}'->'{}', force: {}->{}), resetting notification state",
                     cached.version, info.version, cached.force, info.force);
        SaveLastNotifiedAt(0);
        SaveIgnoreFlag(0);
    }

    CRegStdString(ValuePath(kRawTextValue)).Write(info.rawText);
    DeleteLegacyValues();
    KM_LOG_DEBUG(L"Version info saved to registry (version={})", info.version);
}

void QLNVersionChecker::CleanupLegacyRegistryOnVersionChange() {
    CRegStdString marker(ValuePath(kLastCleanupVersionValue));
    const std::wstring lastCleanup = marker.Read();
    if (qln::EqualsNoCase(lastCleanup, CurrentVersion)) return;

    KM_LOG_INFO(L"Version changed ('{}' -> '{}'), running legacy registry cleanup", lastCleanup,
                std::wstring(CurrentVersion));
    DeleteLegacyValues();
    marker.Write(CurrentVersion);
    KM_LOG_INFO(L"Legacy registry cleanup complete, marker updated to '{}'", std::wstring(CurrentVersion));
}

bool QLNVersionChecker::SaveIgnoredFor(std::wstring_view promptedVersion) {
    QLNVersionInfo cached;
    LoadFromRegistry(cached);
    if (!qln::EqualsNoCase(cached.version, promptedVersion)) {
        KM_LOG_INFO(L"Skip ignore: cached version '{}' differs from prompted '{}'", cached.version,
                    std::wstring(promptedVersion));
        return false;
    }
    SaveIgnoreFlag(1);
    return true;
}

void QLNVersionChecker::SaveLastNotifiedAt(std::uint64_t secondsSince1970) {
    CRegStdQWORD(ValuePath(kLastNotifiedAtValue), 0).Write(secondsSince1970);
}

void QLNVersionChecker::SaveIgnoreFlag(DWORD ignore) { CRegStdDWORD(ValuePath(kIgnoreValue), 0).Write(ignore); }

bool QLNVersionChecker::ShouldNotifyNewVersion() const {
    KM_LOG_INFO(L"current={}, server={}, force={}, ignored={}, lastNotifiedAt={}", std::wstring(CurrentVersion),
                m_cached.version, m_cached.force, m_ignored, m_lastNotifiedAt);
    const std::int64_t now = g_clock();

    VersionNumber number;
    if (m_cached.force) {
        const bool valid = ParseVersionNumber(m_cached.version, number);
        const bool newer = QLNVersionInfo::IsNewerVersion(m_cached.version);
        const bool result = valid && newer;
        KM_LOG_INFO(L"force mode, valid={}, newer={}, result={}", valid, newer, result);
        return result;
    }

    if (m_ignored != 0) {
        KM_LOG_INFO(L"version ignored, returning false");
        return false;
    }

    const UpgradeMode mode = QLNUpgradeConfig::GetUpgradeMode();
    std::int64_t interval = QLNUpgradeConfig::GetImmediateManualInterval();
    if (mode == UpgradeMode::DelaySilent || mode == UpgradeMode::DelayManual) {
        const std::int64_t hours = QLNUpgradeConfig::GetUpgradeDelayHours();
        interval = hours * 3600;
        KM_LOG_DEBUG(L"Delay mode: using interval {} hours ({} seconds)", hours, interval);
    }

    // Signed on purpose: a last announcement in the future (clock turned
    // back) gives a negative difference and waits until the clock passes it.
    // Subtracted as unsigned and then read as signed, so that a corrupt
    // registry value (above INT64_MAX) wraps instead of overflowing.
    const std::int64_t sinceLastNotify =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(now) - m_lastNotifiedAt);
    const bool elapsed = sinceLastNotify > interval;
    KM_LOG_INFO(L"mode={}, interval={}, currentTime={}, timeSinceLastNotify={}, elapsed={}",
                static_cast<std::int32_t>(mode), interval, now, sinceLastNotify, elapsed);

    const bool valid = ParseVersionNumber(m_cached.version, number);
    const bool newer = QLNVersionInfo::IsNewerVersion(m_cached.version);
    const bool result = elapsed && valid && newer;
    KM_LOG_INFO(L"elapsed={}, valid={}, newer={}, result={}", elapsed, valid, newer, result);
    return result;
}

std::wstring QLNVersionChecker::BuildLegacyVersionText() {
    const std::wstring version = CRegStdString(ValuePath(kLegacyVersionValue)).Read();
    if (version.empty()) return {};
    const std::wstring info = CRegStdString(ValuePath(kLegacyInfoValue)).Read();
    const std::wstring link = CRegStdString(ValuePath(kLegacyLinkValue)).Read();
    std::wstring force = CRegStdString(ValuePath(kLegacyForceValue)).Read();
    if (force.empty()) force = L"false";
    return version + L'\n' + info + L'\n' + link + L'\n' + force;
}

void QLNVersionChecker::DeleteLegacyValues() {
    for (const wchar_t* name : {kLegacyVersionValue, kLegacyInfoValue, kLegacyLinkValue, kLegacyForceValue}) {
        CRegStdString(ValuePath(name)).DeleteValue();
    }
}

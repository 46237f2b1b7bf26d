#include "SVN/KM/KMConfigManager.h"

#include <nlohmann/json.hpp>

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>

#include "SVN/KM/KMConfigKeys.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/PathUtils.h"
#include "Utils/Registry.h"
#include "Utils/StringConv.h"
#include "Utils/UniqueHandle.h"

namespace {

constexpr const wchar_t* kKMRegPath = L"Software\\Quillon\\KM\\";
// A cache file is a few kilobytes; anything far beyond that is not ours.
constexpr LONGLONG kMaxCacheFileBytes = 16LL * 1024 * 1024;

// A REG_DWORD or REG_QWORD local override as unsigned decimal text.
template <typename Number>
bool ReadRegNumberAsString(HKEY key, const std::wstring& valueName, std::string& out) {
    Number number = 0;
    DWORD readSize = sizeof(number);
    if (::RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &readSize) !=
        ERROR_SUCCESS) {
        return false;
    }
    out = std::to_string(number);
    return true;
}

void Reindex(KMConfigData::Snapshot& snapshot) {
    snapshot.index.clear();
    for (std::size_t i = 0; i < snapshot.items.size(); ++i) {
        snapshot.index[snapshot.items[i].key] = i;
    }
}

// The scope name becomes a file name and a registry key name. A name that
// could step out of the cache folder or into another subkey is refused.
bool IsUsableScopeName(std::wstring_view scope) {
    if (scope.empty() || scope.size() > 200 || scope == L"." || scope == L"..") return false;
    for (wchar_t c : scope) {
        if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) return false;
    }
    return true;
}

// A key usable as a registry value name below a scope's QLN or SVN subkey.
bool IsMirrorableKey(std::string_view key) {
    return !key.empty() && key.find('\\') == std::string_view::npos;
}

std::wstring MakeRegPath(const std::wstring& scope, const std::wstring& name) {
    return kKMRegPath + scope + L"\\" + name;
}

// A short, printable excerpt of a JSON element for a log line.
std::string Excerpt(const nlohmann::json& json) {
    std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > 120) text = text.substr(0, 117) + "...";
    return text;
}

bool WriteAll(HANDLE file, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

bool WriteFileContents(const std::wstring& path, const std::string& text, DWORD shareMode, DWORD& error) {
    qln::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = ::GetLastError();
        return false;
    }
    if (!WriteAll(file.get(), text)) {
        error = ::GetLastError();
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- KMConfigItem

std::string KMConfigItem::GetConfigValue() const {
    if (clientEditable && IsMirrorableKey(key)) {
        std::string local;
        if (KMConfigManager::ReadRegValueAsString(kKMRegPath + qln::Utf8ToWide(key), local) && !local.empty()) {
            KM_LOG_TRACE("key: {}, value: {} (returning local global value, server value: {})", key, local,
                         qln::ServerBytesForLog(value));
            return local;
        }
    }
    KM_LOG_TRACE("key: {}, value: {} (returning server value)", key, qln::ServerBytesForLog(value));
    return value;
}

nlohmann::json KMConfigItem::ToJson() const {
    return nlohmann::json{{"configKey", key}, {"configValue", value}, {"clientEditable", clientEditable}};
}

bool KMConfigItem::FromJson(const nlohmann::json& json) {
    if (!json.is_object()) return false;
    bool hasKey = false;
    bool hasValue = false;
    if (auto it = json.find("configKey"); it != json.end() && it->is_string()) {
        key = it->get<std::string>();
        hasKey = true;
    }
    if (auto it = json.find("configValue"); it != json.end() && it->is_string()) {
        value = it->get<std::string>();
        hasValue = true;
    }
    if (auto it = json.find("clientEditable"); it != json.end() && it->is_boolean()) {
        clientEditable = it->get<bool>();
    }
    return hasKey && hasValue;
}

// ---------------------------------------------------------------- KMConfigData

KMConfigData::KMConfigData() : m_snapshot(std::make_shared<const Snapshot>()) {}

KMConfigData::KMConfigData(std::wstring scopeName)
    : m_scopeName(std::move(scopeName)), m_snapshot(std::make_shared<const Snapshot>()) {}

KMConfigData::KMConfigData(const KMConfigData& other)
    : m_scopeName(other.m_scopeName), m_snapshot(other.GetSnapshot()) {}

KMConfigData& KMConfigData::operator=(const KMConfigData& other) {
    if (this != &other) {
        auto snapshot = other.GetSnapshot();
        std::lock_guard write(m_writeLock);
        m_scopeName = other.m_scopeName;
        Publish(std::move(snapshot));
    }
    return *this;
}

std::shared_ptr<const KMConfigData::Snapshot> KMConfigData::GetSnapshot() const {
    std::lock_guard lock(m_snapshotLock);
    return m_snapshot;
}

void KMConfigData::Publish(std::shared_ptr<const Snapshot> next) {
    std::shared_ptr<const Snapshot> previous;
    {
        std::lock_guard lock(m_snapshotLock);
        previous = std::exchange(m_snapshot, std::move(next));
    }
    // The previous snapshot may be the last reference; free it outside the lock.
}

std::optional<KMConfigItem> KMConfigData::FindItem(std::string_view key) const {
    const auto snapshot = GetSnapshot();
    const auto it = snapshot->index.find(key);
    if (it == snapshot->index.end() || it->second >= snapshot->items.size()) return std::nullopt;
    return snapshot->items[it->second];
}

std::wstring KMConfigData::GetValue(std::string_view key, const std::wstring& defaultValue) const {
    const auto item = FindItem(key);
    if (!item) return defaultValue;
    return qln::Utf8ToWide(item->GetConfigValue());
}

bool KMConfigData::GetBool(std::string_view key) const {
    const auto item = FindItem(key);
    if (!item) return false;
    const std::string value = item->GetConfigValue();
    return value == "true" || value == "1";
}

bool KMConfigData::Merge(const std::vector<KMConfigItem>& items) {
    try {
        std::lock_guard write(m_writeLock);
        const auto current = GetSnapshot();
        auto next = std::make_shared<Snapshot>(*current);
        for (const auto& incoming : items) {
            KMConfigKeys::IsValidKey(incoming.key);
            // Looked up in the index as it was before this merge: a key that
            // is new to the scope and occurs twice is appended twice, and the
            // re-index below lets the later one win.
            const auto it = current->index.find(incoming.key);
            if (it != current->index.end() && it->second < next->items.size()) {
                auto& existing = next->items[it->second];
                existing.clientEditable = incoming.clientEditable;
                existing.value = incoming.value;
            } else {
                next->items.push_back(incoming);
            }
        }
        Reindex(*next);
        Publish(std::move(next));
        return true;
    } catch (...) {
        KM_LOG_ERROR("Unknown error occurred");
        return false;
    }
}

bool KMConfigData::MergeFromJson(const nlohmann::json& json) {
    try {
        std::vector<KMConfigItem> items;
        if (json.is_object()) {
            const auto configs = json.find("configs");
            if (configs != json.end() && configs->is_array()) {
                items.reserve(configs->size());
                std::size_t position = 0;
                for (const auto& element : *configs) {
                    KMConfigItem item;
                    // An element without a usable key cannot be placed, and one
                    // without a text value would wipe the value it replaces.
                    if (!item.FromJson(element) || item.key.empty()) {
                        KM_LOG_WARN("Ignoring config element {} without a string configKey and configValue: {}",
                                    position, Excerpt(element));
                    } else {
                        KMConfigKeys::IsValidKey(item.key);
                        items.push_back(std::move(item));
                    }
                    ++position;
                }
            }
        }
        return Merge(items);
    } catch (const nlohmann::json::exception& e) {
        KM_LOG_ERROR("JSON parse error: {}", std::string(e.what()));
        return false;
    } catch (...) {
        KM_LOG_ERROR("Unknown error occurred");
        return false;
    }
}

nlohmann::json KMConfigData::ToJson() const {
    const auto snapshot = GetSnapshot();
    nlohmann::json configs = nlohmann::json::array();
    for (const auto& item : snapshot->items) configs.push_back(item.ToJson());
    return nlohmann::json{{"configs", std::move(configs)}};
}

void KMConfigData::ResetToDefaults() {
    auto next = std::make_shared<Snapshot>();
    const auto& table = KMConfigKeys::Table();
    next->items.reserve(table.size());
    for (const auto& row : table) next->items.emplace_back(row.key, row.defaultValue, true);
    Reindex(*next);
    std::lock_guard write(m_writeLock);
    Publish(std::move(next));
}

void KMConfigData::RebuildIndex() {
    std::lock_guard write(m_writeLock);
    auto next = std::make_shared<Snapshot>(*GetSnapshot());
    Reindex(*next);
    Publish(std::move(next));
}

// ------------------------------------------------------------- KMConfigManager

KMConfigManager& KMConfigManager::Instance() {
    // Never destroyed: detached worker and prompt threads may still read the
    // configuration while the process runs its exit-time destructors.
    static KMConfigManager* const instance = new KMConfigManager();
    return *instance;
}

KMConfigManager::KMConfigManager() = default;

KMConfigData* KMConfigManager::FindScope(const std::wstring& scope) {
    std::lock_guard lock(m_mapLock);
    const auto it = m_scopes.find(scope);
    return it == m_scopes.end() ? nullptr : &it->second;
}

KMConfigData& KMConfigManager::AddScopeWithDefaults(const std::wstring& scope) {
    std::lock_guard lock(m_mapLock);
    auto [it, inserted] = m_scopes.try_emplace(scope, scope);
    if (inserted) it->second.ResetToDefaults();
    return it->second;
}

void KMConfigManager::AddScope(const std::wstring& scope, const KMConfigData& data) {
    std::lock_guard lock(m_mapLock);
    m_scopes.try_emplace(scope, data);
}

void KMConfigManager::EnsureGlobalLoadedLocked() {
    if (m_globalLoaded.load()) return;
    LoadFromCacheLocked(kGlobalScope);
    m_globalLoaded.store(true);
}

KMConfigData& KMConfigManager::GetConfig(const std::wstring& scope) {
    KM_LOG_TRACE(L"GetConfig: {}", scope);
    const bool isGlobal = scope == kGlobalScope;
    if (isGlobal && !m_globalLoaded.load()) {
        std::lock_guard io(m_ioLock);
        EnsureGlobalLoadedLocked();
    }
    if (KMConfigData* data = FindScope(scope)) return *data;

    std::lock_guard io(m_ioLock);
    // Another thread may have loaded the scope while this one waited.
    if (KMConfigData* data = FindScope(scope)) return *data;
    LoadFromCacheLocked(scope);
    if (KMConfigData* data = FindScope(scope)) return *data;
    if (!isGlobal) {
        if (KMConfigData* global = FindScope(kGlobalScope)) return *global;
        if (!m_globalLoaded.load()) {
            EnsureGlobalLoadedLocked();
            if (KMConfigData* global = FindScope(kGlobalScope)) return *global;
        }
    }
    return AddScopeWithDefaults(scope);
}

bool KMConfigManager::LoadFromCache(const std::wstring& scope) {
    std::lock_guard io(m_ioLock);
    return LoadFromCacheLocked(scope);
}

bool KMConfigManager::LoadFromCacheLocked(const std::wstring& scope) {
    try {
        bool loaded = false;
        if (KMConfigData* existing = FindScope(scope)) {
            loaded = LoadFromFile(scope, *existing);
        } else {
            // A new scope enters the map only once its file is merged: GetConfig
            // looks scopes up without waiting for a load in progress, and must
            // not hand out table defaults that the file is about to replace.
            KMConfigData fresh(scope);
            fresh.ResetToDefaults();
            loaded = LoadFromFile(scope, fresh);
            AddScope(scope, fresh);
        }
        if (loaded) return true;
        KM_LOG_ERROR("Failed to load from cache file");
        return false;
    } catch (...) {
        KM_LOG_ERROR("Unknown error occurred");
        return false;
    }
}

bool KMConfigManager::LoadFromFile(const std::wstring& scope, KMConfigData& data) {
    try {
        nlohmann::json json;
        if (!ReadJsonFromCacheFile(GetCacheFilePath(scope), json)) return false;
        return data.MergeFromJson(json);
    } catch (const nlohmann::json::exception& e) {
        KM_LOG_ERROR("JSON parse error: {}", std::string(e.what()));
        return false;
    } catch (...) {
        KM_LOG_ERROR("Unknown error occurred");
        return false;
    }
}

bool KMConfigManager::ReadJsonFromCacheFile(const std::wstring& path, nlohmann::json& json) {
    json = nullptr;
    if (path.empty() || !::PathFileExistsW(path.c_str())) return false;

    qln::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        KM_LOG_ERROR(L"Cannot open config cache file {}: error {}", path, ::GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart == 0) return false;
    if (size.QuadPart > kMaxCacheFileBytes) {
        KM_LOG_ERROR(L"Config cache file {} is too large ({} bytes)", path, size.QuadPart);
        return false;
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr)) {
            KM_LOG_ERROR(L"Cannot read config cache file {}: error {}", path, ::GetLastError());
            return false;
        }
        if (read == 0) break;  // shrank while being read
        done += read;
    }
    bytes.resize(done);

    try {
        json = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::exception& e) {
        KM_LOG_ERROR("JSON parse error: {}", std::string(e.what()));
        json = nullptr;
        return false;
    }
    if (json.is_null() || ((json.is_object() || json.is_array()) && json.empty())) {
        KM_LOG_WARN(L"Config cache file {} holds no configuration", path);
        return false;
    }
    return true;
}

namespace {

// Temporary files "<path>.<process id>.<thread id>.tmp" of WriteJsonToCacheFile
// that no writer will finish: their process is gone, or they are older than
// any write takes. A process that died between writing and moving leaves one.
void RemoveStaleTempFiles(const std::wstring& path) {
    constexpr ULONGLONG kStaleAfter100ns = 60ULL * 60 * 10'000'000;  // one hour
    const auto slash = path.find_last_of(L'\\');
    const std::wstring directory = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
    const std::wstring prefix = path.substr(directory.size()) + L".";
    FILETIME nowFt{};
    ::GetSystemTimeAsFileTime(&nowFt);
    const ULONGLONG now = (static_cast<ULONGLONG>(nowFt.dwHighDateTime) << 32) | nowFt.dwLowDateTime;
    const std::wstring pattern = path.substr(directory.size()) + L".*.tmp";
    qln::ForEachEntry(directory.empty() ? L"." : directory.substr(0, directory.size() - 1), pattern.c_str(), [&](const WIN32_FIND_DATAW& found) {
        // Only names of exactly this form: prefix, digits, ".", digits, ".tmp".
        const std::wstring name = found.cFileName;
        if (name.size() <= prefix.size() + 4 || !qln::EqualsNoCase(name.substr(0, prefix.size()), prefix)) return true;
        const std::wstring middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        const auto dot = middle.find(L'.');
        const auto isDigits = [](std::wstring_view t) {
            return !t.empty() && t.size() <= 10 && std::all_of(t.begin(), t.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
        };
        if (dot == std::wstring::npos || !isDigits(std::wstring_view(middle).substr(0, dot)) ||
            !isDigits(std::wstring_view(middle).substr(dot + 1)) || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return true;
        }
        const DWORD pid = static_cast<DWORD>(std::wcstoull(middle.c_str(), nullptr, 10));
        const ULONGLONG written =
            (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
        bool writerAlive = false;
        if (qln::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid)); process) {
            writerAlive = ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
        }
        if (writerAlive && now < written + kStaleAfter100ns) return true;
        const std::wstring stale = directory + name;
        if (::DeleteFileW(stale.c_str())) {
            KM_LOG_INFO(L"Removed stale config cache temporary file {}", stale);
        } else {
            KM_LOG_WARN(L"Cannot remove stale config cache temporary file {}: error {}", stale, ::GetLastError());
        }
        return true;
    });
}

}  // namespace

bool KMConfigManager::WriteJsonToCacheFile(const std::wstring& path, const nlohmann::json& json) {
    if (path.empty()) return false;
    const std::string text = json.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);

    const auto slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos) {
        const std::wstring directory = path.substr(0, slash);
        if (!directory.empty() && !::PathIsDirectoryW(directory.c_str())) {
            if (!KMSystemLibrary::Require(L"shell32.dll")) return false;
            const int rc = ::SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
            if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS && rc != ERROR_FILE_EXISTS) {
                KM_LOG_ERROR(L"Cannot create config cache directory {}: error {}", directory, rc);
                return false;
            }
        }
    }

    RemoveStaleTempFiles(path);

    // Written beside the target and moved over it, so that another program
    // reading the cache never finds a half-written file and a failed write
    // leaves the previous contents intact.
    const std::wstring temp =
        path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(::GetCurrentThreadId()) + L".tmp";
    DWORD error = ERROR_SUCCESS;
    if (!WriteFileContents(temp, text, 0, error)) {
        ::DeleteFileW(temp.c_str());
        KM_LOG_ERROR(L"Cannot write config cache file {}: error {}", temp, error);
        return false;
    }
    if (::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;

    // A reader that opened the file without delete sharing blocks the move;
    // rewriting the file in place still works then, provided it shares writing.
    const DWORD moveError = ::GetLastError();
    ::DeleteFileW(temp.c_str());
    if (WriteFileContents(path, text, FILE_SHARE_READ, error)) {
        KM_LOG_WARN(L"Replaced config cache file {} in place (move failed with error {})", path, moveError);
        return true;
    }
    KM_LOG_ERROR(L"Cannot write config cache file {}: error {}", path, error);
    return false;
}

std::wstring KMConfigManager::GetCacheFilePath(const std::wstring& scope) {
    if (!IsUsableScopeName(scope)) {
        KM_LOG_ERROR(L"Config scope name '{}' cannot name a cache file", scope);
        return {};
    }
    const std::wstring roaming = GetRoamingDataDirectory();
    if (roaming.empty()) return {};
    return roaming + L"\\KM\\Config\\" + scope + L".json";
}

std::string KMConfigManager::ExtraHttpHeaders() {
    const auto item = Instance().GetConfig(KMConfig::GetEffectiveRepo()).FindItem("ExtraHttpHeaders");
    return item ? item->GetConfigValue() : std::string();
}

bool KMConfigManager::RefreshByLocal(const std::wstring& scope) {
    // Held across load and save so that the file written back is the merge of
    // exactly the file just read.
    std::lock_guard io(m_ioLock);
    if (!LoadFromCacheLocked(scope)) {
        KM_LOG_ERROR("Failed to load from cache");
        return false;
    }
    if (SaveLocked(scope)) return true;
    KM_LOG_ERROR("Failed to save");
    return false;
}

bool KMConfigManager::Save(const std::wstring& scope) {
    std::lock_guard io(m_ioLock);
    return SaveLocked(scope);
}

bool KMConfigManager::SaveLocked(const std::wstring& scope) {
    try {
        KMConfigData* data = FindScope(scope);
        if (data == nullptr) {
            if (scope != kGlobalScope) return false;
            // Read the cache first: saving bare defaults would overwrite the
            // service's values that the file holds.
            EnsureGlobalLoadedLocked();
            data = FindScope(scope);
            if (data == nullptr) data = &AddScopeWithDefaults(scope);
        }
        // One snapshot for the file and the mirror, so both tell the same.
        const KMConfigData frozen(*data);
        const nlohmann::json json = frozen.ToJson();
        if (!WriteJsonToCacheFile(GetCacheFilePath(scope), json)) return false;
        SaveConfigFieldsToReg(scope, frozen);
        return true;
    } catch (const std::exception& e) {
        KM_LOG_ERROR("JSON serialization error: {}", std::string(e.what()));
        return false;
    } catch (...) {
        KM_LOG_ERROR("Unknown error occurred");
        return false;
    }
}

void KMConfigManager::SaveConfigFieldsToReg(const std::wstring& scope, const KMConfigData& data) {
    if (!IsUsableScopeName(scope)) {
        KM_LOG_ERROR(L"Config scope name '{}' cannot name a registry key", scope);
        return;
    }
    const auto snapshot = data.GetSnapshot();
    for (const auto& item : snapshot->items) {
        if (!IsMirrorableKey(item.key)) {
            KM_LOG_WARN("Not mirroring config key '{}' into the registry", item.key);
            continue;
        }
        const std::wstring name = (KMConfigKeys::IsQlnKey(item.key) ? L"QLN\\" : L"SVN\\") + qln::Utf8ToWide(item.key);
        const std::wstring fullPath = MakeRegPath(scope, name);
        const std::wstring value = qln::Utf8ToWide(item.value);
        CRegStdString reg(fullPath, L"");
        reg.Write(value);
        KM_LOG_DEBUG(L"{} = {}", fullPath, value);
    }
}

bool KMConfigManager::ReadRegValueAsString(const std::wstring& fullPath, std::string& out) {
    out.clear();
    const auto slash = fullPath.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    const std::wstring keyPath = fullPath.substr(0, slash);
    const std::wstring valueName = fullPath.substr(slash + 1);

    qln::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;

    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size == 0) {
        return false;
    }

    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        // Zero-filled with room for a terminator the stored data may lack.
        std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
        DWORD readSize = size;
        if (::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer.data()), &readSize) != ERROR_SUCCESS) {
            return false;
        }
        buffer.resize(std::wcslen(buffer.c_str()));
        out = qln::WideToUtf8(buffer);
        return true;
    }
    case REG_DWORD:
        return ReadRegNumberAsString<DWORD>(key.get(), valueName, out);
    case REG_QWORD:
        return ReadRegNumberAsString<std::uint64_t>(key.get(), valueName, out);
    default:
        KM_LOG_ERROR(L"Unsupported registry type {} for key: {}", type, fullPath);
        return false;
    }
}

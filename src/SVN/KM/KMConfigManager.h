#pragma once
// The configuration store: one KMConfigData per scope ("Global" or a
// repository identifier), cached as a JSON file per scope, with per-key local
// overrides in the registry and a registry mirror for the other programs.
//
// Threads. The store is read from the start-up thread, the upgrade worker and
// prompt threads while the message window may refresh a scope. A caller gets
// a KMConfigData& that stays valid for the life of the manager (scopes are
// never removed and std::map nodes do not move). Each KMConfigData publishes
// its contents as an immutable snapshot (items plus index) behind a
// shared_ptr: readers take a reference to the current snapshot under a short
// lock and then read it without any lock; a change (merge, reset, re-index)
// copies the snapshot, modifies the copy off to the side and swaps it in as
// a whole. A reader therefore sees a scope either before or after a refresh,
// never half merged, and a snapshot it holds stays alive until it lets go.
// For that reason FindItem returns a copy of the item, not a pointer into
// the scope. Changes of one scope are serialised by a writer lock, and the
// manager serialises loads, saves and refreshes so that a refresh cannot
// interleave its load with another refresh's save. A scope read for the first
// time enters the map only once its cache file is merged, so a lookup that
// does not wait for the load never finds it with bare table defaults.

#include "Utils/KM/KMConfig.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One setting of one scope.
struct KMConfigItem {
    std::string key;    // UTF-8
    std::string value;  // UTF-8: the service's value or the table default
    // The local registry override under Software\Quillon\KM is honoured.
    bool clientEditable = true;

    KMConfigItem() = default;
    KMConfigItem(std::string k, std::string v, bool editable = true)
        : key(std::move(k)), value(std::move(v)), clientEditable(editable) {}

    // Effective value: a non-empty local override when the item is client
    // editable, otherwise the item's own value. Reads the registry each call.
    [[nodiscard]] std::string GetConfigValue() const;

    [[nodiscard]] nlohmann::json ToJson() const;
    // Takes "configKey" and "configValue" when they are strings and
    // "clientEditable" when it is a boolean; other members are ignored and a
    // non-object leaves the item unchanged. Returns true when the element
    // carried a string key and a string value, i.e. is usable for a merge.
    bool FromJson(const nlohmann::json& json);

    friend bool operator==(const KMConfigItem&, const KMConfigItem&) = default;
};

// One scope. Safe to read from any thread while another thread changes it
// (see the top of this file).
class KMConfigData {
public:
    struct Snapshot {
        std::vector<KMConfigItem> items;  // table order, then keys only a file had
        // Key to position in items; with duplicates the last one wins.
        std::map<std::string, std::size_t, std::less<>> index;
    };

    // Empty: no items. Call ResetToDefaults for the table defaults.
    KMConfigData();
    explicit KMConfigData(std::wstring scopeName);
    KMConfigData(const KMConfigData& other);
    KMConfigData& operator=(const KMConfigData& other);

    [[nodiscard]] const std::wstring& GetScopeName() const noexcept { return m_scopeName; }

    // A copy of the item for the key, or none.
    [[nodiscard]] std::optional<KMConfigItem> FindItem(std::string_view key) const;
    // The effective value as a wide string, or defaultValue when the scope has
    // no item for the key.
    [[nodiscard]] std::wstring GetValue(std::string_view key, const std::wstring& defaultValue) const;
    // True exactly when the effective value is "true" or "1"; false when the
    // scope has no item for the key.
    [[nodiscard]] bool GetBool(std::string_view key) const;

    // Copies clientEditable and value of each item onto the existing item of
    // the same key, appends the others; re-indexes at the end. Never throws.
    bool Merge(const std::vector<KMConfigItem>& items);
    // Merges the elements of the "configs" array. Elements without a string
    // key and a string value are skipped with a warning so that they cannot
    // wipe a value. Never throws.
    bool MergeFromJson(const nlohmann::json& json);
    [[nodiscard]] nlohmann::json ToJson() const;
    // Replaces every item by the table defaults (all client editable).
    void ResetToDefaults();
    void RebuildIndex();

    // The current contents; stays valid and unchanged while held.
    [[nodiscard]] std::shared_ptr<const Snapshot> GetSnapshot() const;
    [[nodiscard]] std::vector<KMConfigItem> GetItems() const { return GetSnapshot()->items; }

private:
    void Publish(std::shared_ptr<const Snapshot> next);

    std::wstring m_scopeName;
    mutable std::mutex m_snapshotLock;  // guards the m_snapshot pointer only
    std::mutex m_writeLock;             // serialises read-copy-update changes
    std::shared_ptr<const Snapshot> m_snapshot;
};

class KMConfigManager {
public:
    static constexpr const wchar_t* kGlobalScope = KMConfig::kGlobalScope;

    // The process-wide manager, created on first use.
    static KMConfigManager& Instance();

    // The "ExtraHttpHeaders" value of the effective scope (for the HTTP
    // client's header lines); empty when it has none.
    [[nodiscard]] static std::string ExtraHttpHeaders();

    // An independent, empty manager. The daemon uses Instance(); a separate
    // manager is for code (and tests) that needs state of its own.
    KMConfigManager();
    KMConfigManager(const KMConfigManager&) = delete;
    KMConfigManager& operator=(const KMConfigManager&) = delete;

    // The scope's data, loaded from its cache file on first use. The
    // reference stays valid for the life of the manager. Never fails.
    KMConfigData& GetConfig(const std::wstring& scope);

    // Reloads the scope from its cache file and writes it back complete
    // (file and registry mirror).
    bool RefreshByLocal(const std::wstring& scope);
    // Writes the scope to its cache file and mirrors it into the registry.
    // False for an unknown scope other than "Global" and on a write failure.
    // A "Global" scope not read yet is loaded from its cache file first, so
    // that the file keeps the service's values.
    bool Save(const std::wstring& scope);
    // Merges the scope's cache file into it; a new scope starts from the table
    // defaults and enters the map only after the merge. False when the file
    // is missing, empty or unusable (the scope keeps what it had, a new one
    // its defaults).
    bool LoadFromCache(const std::wstring& scope);
    bool LoadFromFile(const std::wstring& scope, KMConfigData& data);

    // False (json null) for a missing, empty or unparsable file and for a
    // document that is null, an empty object or an empty array.
    static bool ReadJsonFromCacheFile(const std::wstring& path, nlohmann::json& json);
    // Pretty-printed with 4 spaces, members sorted; the file is replaced as a
    // whole so that a reader never finds it half written.
    static bool WriteJsonToCacheFile(const std::wstring& path, const nlohmann::json& json);
    // <roaming>\Quillon\\KM\Config\<scope>.json; empty when the scope name
    // cannot be a file name (separators, reserved characters, "." or "..")
    // or the roaming folder is unavailable.
    static std::wstring GetCacheFilePath(const std::wstring& scope);
    // Mirrors each item's own value (not the local override) to
    // Software\Quillon\KM\<scope>\QLN\<key> or ...\SVN\<key>. Failures are
    // not reported.
    static void SaveConfigFieldsToReg(const std::wstring& scope, const KMConfigData& data);
    // Reads HKCU\<fullPath> (split at its last backslash) as text: REG_SZ and
    // REG_EXPAND_SZ unexpanded, REG_DWORD and REG_QWORD in unsigned decimal.
    // False when missing, empty or of another type.
    static bool ReadRegValueAsString(const std::wstring& fullPath, std::string& out);

private:
    KMConfigData* FindScope(const std::wstring& scope);
    KMConfigData& AddScopeWithDefaults(const std::wstring& scope);
    // Enters a fully loaded scope; an entry that exists already is kept.
    void AddScope(const std::wstring& scope, const KMConfigData& data);
    // Callers hold m_ioLock.
    bool LoadFromCacheLocked(const std::wstring& scope);
    bool SaveLocked(const std::wstring& scope);
    void EnsureGlobalLoadedLocked();

    std::mutex m_mapLock;  // guards the structure of m_scopes
    std::mutex m_ioLock;   // serialises loads, saves and refreshes
    std::map<std::wstring, KMConfigData> m_scopes;
    std::atomic<bool> m_globalLoaded{false};
};

#pragma once
// The fixed table of configuration keys shared by the Quillon programs: every
// key the service may set, whether it belongs to the version-control engine
// (SvnKey) or to the client (QlnKey), and its built-in default.
//
// The table is built once on first use and never changes afterwards, so every
// function here may be called from any thread without further locking.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class KMConfigKeys {
public:
    enum class KeyKind : std::int32_t { SvnKey = 0, QlnKey = 1 };

    struct KeyDef {
        std::string key;           // UTF-8
        KeyKind kind;
        std::string defaultValue;  // UTF-8; empty text where no default exists
    };

    // All rows in table order.
    static const std::vector<KeyDef>& Table();
    // The key names of each kind; std::less<> so lookups take a string_view.
    static const std::set<std::string, std::less<>>& SvnKeys();
    static const std::set<std::string, std::less<>>& QlnKeys();

    // True for every key: a key that is not in the table is accepted as an
    // SvnKey (the service may know keys this build does not), but a warning is
    // logged so that a misspelt key shows up in the log.
    static bool IsValidKey(std::string_view key);
    // True only for keys of kind QlnKey; unknown keys are not.
    static bool IsQlnKey(std::string_view key);
};

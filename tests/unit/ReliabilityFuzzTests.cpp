// Bounded random fuzzing of the daemon's readers of outside data: version
// texts, configuration cache files, version-service answers and upgrade
// progress records. Each target is one loop over seeded random inputs (the
// seed is printed; see support/Fuzz.h to repeat a run) with an oracle that
// does not ask the product: an input is accepted exactly when a reference
// reading of it says so, what is accepted comes from the input, what is
// refused leaves nothing behind, and every refusal has its log line.

#include "QLNUpgrade/KM/Upgrade/QLNUpgradeProgress.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionChecker.h"
#include "QLNUpgrade/KM/Upgrade/QLNVersionInfo.h"
#include "SVN/KM/KMConfigManager.h"
#include "support/Fuzz.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"
#include "Utils/StringConv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using qlntest::Printable;

// The non-empty lines of a text split at line feeds.
std::vector<std::wstring> NonEmptyLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wstring line;
    for (wchar_t c : text + L'\n') {
        if (c != L'\n') {
            line += c;
        } else if (!line.empty()) {
            lines.push_back(std::move(line));
            line.clear();
        }
    }
    return lines;
}

// What a version text must give: accepted with these four lines, or refused.
struct ExpectedText {
    bool accepted = false;
    std::vector<std::wstring> lines;
};

ExpectedText ReferenceVersionText(const std::wstring& text) {
    ExpectedText expected{false, NonEmptyLines(text)};
    expected.accepted = expected.lines.size() >= 4 && qlntest::ReferenceVersionSyntax(expected.lines[0]);
    return expected;
}

// Lines for a version text: versions near the running one, notes, links, flags.
std::vector<std::wstring> TextLines() {
    return {L"1.16.KM16.2400", L"1.16.KM16.2381", L"2.1.KM1.1", L"Release notes", L"https://dl.example/2400",
            L"true", L"false", L"", L"\r", L"{\"version\":\"1.16.KM16.2400\"}", L"<html>"};
}

std::wstring RandomText(qlntest::Fuzzer& fuzz) {
    std::wstring text;
    const auto lines = TextLines();
    for (std::size_t n = 1 + fuzz.Below(6); n > 0; --n) {
        std::wstring line = fuzz.Pick(lines);
        if (fuzz.OneIn(3)) line = fuzz.Mutate(line, qlntest::VersionTokens());
        text += line + (fuzz.OneIn(8) ? L"\r\n" : L"\n");
    }
    return fuzz.OneIn(4) ? fuzz.Mutate(text, qlntest::VersionTokens()) : text;
}

// --- Version texts -------------------------------------------------------------

TEST(ReliabilityFuzz, VersionTexts) {
    qlntest::LogCapture log;
    qlntest::Fuzzer fuzz("version texts", 20261210, 2000);
    const std::vector<std::wstring> numbers = {L"1.16.KM16.2381", L"1.16.KM16.2382", L"1.17.KM1.1", L"2.0.KM1.1",
                                               L" +1x.16y.KM016.0", L"1.16.KM15.9999", L"1.16.kM16.2382"};
    std::size_t invalid = 0, valid = 0, newer = 0, texts = 0;
    for (int i = 0; i < fuzz.iterations(); ++i) {
        std::wstring number = fuzz.Mutate(fuzz.Pick(numbers), qlntest::VersionTokens());
        if (fuzz.OneIn(10)) {
            number.clear();
            for (std::size_t n = fuzz.Below(24); n > 0; --n) number += static_cast<wchar_t>(fuzz.Next());
        }
        const std::string shown = Printable(number);

        VersionNumber parsed;
        const bool ok = ParseVersionNumber(number, parsed);
        ASSERT_EQ(ok, qlntest::ReferenceVersionSyntax(number)) << "input " << i << ": " << shown;
        if (!ok) {
            ++invalid;
            ASSERT_FALSE(QLNVersionInfo::IsNewerVersion(number)) << shown;
        } else {
            ++valid;
            ASSERT_GE(parsed.major, 1) << shown;
            ASSERT_GE(parsed.minor, 1) << shown;
            ASSERT_GE(parsed.patch, 40000) << shown;
            ASSERT_GE(parsed.build, 0) << shown;
            // The numbers written back in canonical form read the same.
            const std::wstring canonical = std::to_wstring(parsed.major) + L"." + std::to_wstring(parsed.minor) +
                                           L".KM" + std::to_wstring(parsed.patch - 40000) + L"." +
                                           std::to_wstring(parsed.build);
            VersionNumber again;
            ASSERT_TRUE(ParseVersionNumber(canonical, again)) << shown;
            ASSERT_EQ(again, parsed) << shown;
            const bool isNewer = parsed > CurrentVersionNumber;
            newer += isNewer;
            ASSERT_EQ(QLNVersionInfo::IsNewerVersion(number), isNewer) << shown;
        }

        // The same kind of text as a whole version text; a refused text
        // leaves a filled record exactly as it was.
        const std::wstring text = RandomText(fuzz);
        const ExpectedText expected = ReferenceVersionText(text);
        QLNVersionInfo record;
        record.version = L"before";
        record.rawText = L"raw";
        ASSERT_EQ(QLNVersionInfo::ParseVersionText(text, record), expected.accepted) << Printable(text);
        if (expected.accepted) {
            ++texts;
            ASSERT_EQ(record.version, expected.lines[0]);
            ASSERT_EQ(record.info, expected.lines[1]);
            ASSERT_EQ(record.link, expected.lines[2]);
            ASSERT_EQ(record.force, expected.lines[3] == L"true");
        } else {
            ASSERT_EQ(record.version, L"before") << Printable(text);
            ASSERT_TRUE(record.info.empty() && record.link.empty() && !record.force);
        }
        ASSERT_EQ(record.rawText, L"raw");
    }
    // Every refused number was logged once by the comparison.
    EXPECT_EQ(log.Matching("Invalid version string format: '").size(), invalid);
    // The run reached both sides of every decision.
    EXPECT_GT(valid, 20u);
    EXPECT_GT(newer, 5u);
    EXPECT_GT(invalid, 20u);
    EXPECT_GT(texts, 20u);
}

// --- Configuration cache files -------------------------------------------------

// What the file offers: for each key, the values of the elements that carry a
// string key and a string value, and whether one of them is not editable.
struct Offered {
    std::map<std::string, std::set<std::string>> values;
    std::set<std::string> locked;
    // The last such element of each key: value and clientEditable.
    std::map<std::string, std::pair<std::string, bool>> last;
};

Offered OfferedBy(const nlohmann::json& document) {
    Offered offered;
    if (!document.is_object() || !document.contains("configs") || !document["configs"].is_array()) return offered;
    for (const auto& element : document["configs"]) {
        if (!element.is_object()) continue;
        const auto key = element.find("configKey");
        const auto value = element.find("configValue");
        if (key == element.end() || value == element.end() || !key->is_string() || !value->is_string()) continue;
        offered.values[key->get<std::string>()].insert(value->get<std::string>());
        const auto editable = element.find("clientEditable");
        const bool locked = editable != element.end() && editable->is_boolean() && !editable->get<bool>();
        if (locked) offered.locked.insert(key->get<std::string>());
        offered.last[key->get<std::string>()] = {value->get<std::string>(), !locked};
    }
    return offered;
}

std::string RandomCacheFile(qlntest::Fuzzer& fuzz) {
    static const std::string sample = R"({
    "configs": [
        {"clientEditable": false, "configKey": "QlnUpgradeMode", "configValue": "ignore"},
        {"clientEditable": true, "configKey": "LatestVersionInfo", "configValue": "1.16.KM16.2400\nnotes\nlink\nfalse"},
        {"configKey": "VersionCheck", "configValue": "false"},
        {"clientEditable": true, "configKey": "Not.A.Table.Key", "configValue": "x"}
    ]
})";
    static const std::vector<std::string> tokens = {
        "{", "}", "[", "]", "\"", ",", ":", "null", "true", "false", "0", "-1e999", "\"configs\"", "\"configKey\"",
        "\"configValue\"", "\"clientEditable\"", "\"QlnUpgradeMode\"", "\\u0000", "\\ud800", "\\\"", "\xff",
        "\xc0\x80", "\xef\xbb\xbf", "\n", "\t", std::string(1, '\0'), "{\"configKey\":1,\"configValue\":[]}",
        "{\"configKey\":\"VersionCheck\",\"configValue\":null}", "{\"configKey\":\"\",\"configValue\":\"v\"}"};
    switch (fuzz.Below(20)) {
        case 0:
            return fuzz.Bytes(fuzz.Below(200));
        case 1:
            return std::string(1 + fuzz.Below(20000), '[');
        case 2:
            return fuzz.Pick(std::vector<std::string>{"{}", "[]", "null", "\"configs\"", "{\"configs\":{}}", " "});
        case 3:  // a long value and many elements
            return R"({"configs":[{"configKey":"LatestVersionInfo","configValue":")" +
                   std::string(1 + fuzz.Below(1 << 20), 'v') + "\"}" +
                   [&] {
                       std::string more;
                       for (std::size_t n = fuzz.Below(3000); n > 0; --n)
                           more += ",{\"configKey\":\"K" + std::to_string(n % 50) + "\",\"configValue\":\"v\"}";
                       return more;
                   }() +
                   "]}";
        default:
            return fuzz.Mutate(sample, tokens);
    }
}

TEST(ReliabilityFuzz, ConfigurationCacheFiles) {
    qlntest::LogCapture log;
    qlntest::Fuzzer fuzz("configuration cache files", 20261211, 300);
    const std::wstring scope = L"fuzz-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring path = KMConfigManager::GetCacheFilePath(scope);
    ASSERT_FALSE(path.empty());
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    struct RemoveFile {
        std::wstring path;
        ~RemoveFile() { ::DeleteFileW(path.c_str()); }
    } removeFile{path};

    KMConfigData defaults(scope);
    defaults.ResetToDefaults();
    std::map<std::string, std::string> tableDefaults;
    for (const auto& item : defaults.GetItems()) tableDefaults[item.key] = item.value;

    std::size_t refused = 0, loaded = 0;
    for (int i = 0; i < fuzz.iterations(); ++i) {
        const std::string bytes = RandomCacheFile(fuzz);
        qlntest::WriteFileBytes(path, bytes);
        const std::string shown = "input " + std::to_string(i) + ": " + Printable(bytes.substr(0, 300));

        KMConfigManager manager;
        const bool ok = manager.LoadFromCache(scope);
        const nlohmann::json document = nlohmann::json::parse(bytes, nullptr, false);
        const bool usable = !document.is_discarded() && !document.is_null() &&
                            !((document.is_object() || document.is_array()) && document.empty());
        ASSERT_EQ(ok, usable) << shown;
        (ok ? loaded : refused) += 1;

        // Every table key is there, and nothing that the file did not offer.
        const Offered offered = usable ? OfferedBy(document) : Offered{};
        const auto items = manager.GetConfig(scope).GetItems();
        std::set<std::string> seen;
        for (const auto& item : items) {
            seen.insert(item.key);
            const auto table = tableDefaults.find(item.key);
            const auto fromFile = offered.values.find(item.key);
            const bool isDefault = table != tableDefaults.end() && item.value == table->second && item.clientEditable;
            const bool isOffered = fromFile != offered.values.end() && fromFile->second.count(item.value) > 0 &&
                                   (item.clientEditable || offered.locked.count(item.key) > 0);
            ASSERT_TRUE(isDefault || isOffered) << shown << "\nitem " << item.key << " = " << item.value;
            // A table key ends with what its last element said.
            const auto last = offered.last.find(item.key);
            if (table != tableDefaults.end() && last != offered.last.end()) {
                ASSERT_EQ(item.value, last->second.first) << shown << "\nitem " << item.key;
                ASSERT_EQ(item.clientEditable, last->second.second) << shown << "\nitem " << item.key;
            }
        }
        for (const auto& [key, value] : tableDefaults) ASSERT_TRUE(seen.count(key)) << shown << "\nmissing " << key;

        // What was loaded is written back and reads the same (every tenth
        // input: a save mirrors each key into the registry).
        if (ok && i % 10 == 0) {
            ASSERT_TRUE(manager.Save(scope)) << shown;
            KMConfigManager reread;
            ASSERT_TRUE(reread.LoadFromCache(scope)) << shown;
            ASSERT_EQ(reread.GetConfig(scope).GetItems(), items) << shown;
        }
    }
    EXPECT_EQ(log.Matching("Failed to load from cache file").size(), refused);
    EXPECT_GT(refused, 20u);
    EXPECT_GT(loaded, 20u);
}

// --- Version-service answers ---------------------------------------------------

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The server's fill=N answer.
std::string Digits(std::size_t count) {
    std::string digits;
    while (digits.size() < count) digits += "0123456789";
    digits.resize(count);
    return digits;
}

std::wstring AnsiText(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int units = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), units);
    return text;
}

std::string RandomAnswer(qlntest::Fuzzer& fuzz) {
    static const std::vector<std::string> tokens = {"\n", "\r\n", "\r", std::string(1, '\0'), "\xff", "\xe9", "\x81",
                                                    "1.16.KM16.2400", "KM", "true", "{", "\"version\":", "<html>",
                                                    "\xef\xbb\xbf"};
    switch (fuzz.Below(8)) {
        case 0:
            return fuzz.Bytes(fuzz.Below(400));
        case 1:
            return fuzz.Mutate(R"({"version":"1.16.KM16.2400","info":"n","link":"l","force":false})", tokens);
        case 2:
        case 3:  // a well-formed answer, now and then with a twist
            return fuzz.Mutate("1.16.KM16.2400\nnotes \xe9\nhttps://dl.example/2400\n" +
                                   std::string(fuzz.OneIn(2) ? "true" : "false"),
                               {"", "\n", "\r"});
        default: {
            std::string text = qln::WideToUtf8(RandomText(fuzz));
            return fuzz.OneIn(3) ? fuzz.Mutate(text, tokens) : text;
        }
    }
}

TEST(ReliabilityFuzz, VersionServiceAnswers) {
    const int https = qlntest::ServerPort(L"QLN_TEST_HTTPS_PORT");
    ASSERT_NE(https, 0) << "QLN_TEST_HTTPS_PORT is not set: run the tests through scripts/test.sh";
    qlntest::LogCapture log;
    qlntest::Fuzzer fuzz("version-service answers", 20261212, 150);
    const std::wstring base = L"https://localhost:" + std::to_wstring(https) + L"/status/200?";

    // Inputs that found faults come first, every run: a NUL inside the
    // information line (taken, then cached cut short at the NUL).
    using namespace std::string_literals;
    const std::vector<std::string> regressions = {"1.16.KM16.2400\nno\0tes\nhttps://dl.example/2400\ntrue\n"s};

    std::size_t refused = 0, accepted = 0;
    for (int i = 0; i < fuzz.iterations(); ++i) {
        const bool fixed = static_cast<std::size_t>(i) < regressions.size();
        // Now and then a long answer of digits, past what a query can carry.
        const bool large = !fixed && fuzz.OneIn(30);
        const std::string body = fixed ? regressions[i] : large ? std::string() : RandomAnswer(fuzz);
        const std::size_t fill = large ? 1 + fuzz.Below(2 << 20) : 0;
        const std::wstring expectedText =
            large ? AnsiText(Digits(fill)) : AnsiText(body);
        const std::string shown = "input " + std::to_string(i) + ": " + Printable(large ? "<digits>" : body);

        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Quillon\\VersionCheck", L"NewVersionRawText");
        const std::wstring url = base + (large ? L"fill=" + std::to_wstring(fill) : L"hex=" + qlntest::Widen(Hex(body)));
        qlntest::SetVcString(L"URL", url + L"&x=");

        QLNVersionInfo info;
        const bool got = QLNVersionChecker::LoadVersionInfo(info, true);
        // The registry cache ends a text at a NUL: such an answer would be
        // cached as another text, so it is refused.
        ExpectedText expected = ReferenceVersionText(expectedText);
        expected.accepted = expected.accepted && expectedText.find(L'\0') == std::wstring::npos;
        ASSERT_EQ(got, expected.accepted) << shown;
        if (got) {
            ++accepted;
            ASSERT_EQ(info.version, expected.lines[0]) << shown;
            ASSERT_EQ(info.info, expected.lines[1]) << shown;
            ASSERT_EQ(info.link, expected.lines[2]) << shown;
            ASSERT_EQ(info.force, expected.lines[3] == L"true") << shown;
            ASSERT_EQ(info.rawText, expectedText) << shown;
            ASSERT_EQ(qlntest::VcString(L"NewVersionRawText"), expectedText) << shown;
        } else {
            ++refused;
            ASSERT_TRUE(info.version.empty() && info.rawText.empty()) << shown;
            ASSERT_FALSE(qlntest::VcString(L"NewVersionRawText")) << shown << ": a refused answer must not be cached";
        }
    }
    EXPECT_EQ(log.Matching("Checking version from ").size(), static_cast<std::size_t>(fuzz.iterations()));
    EXPECT_EQ(log.Matching("Version response is invalid (< 4 lines), falling back to registry").size() +
                  log.Matching("Version check returned empty response, falling back to registry").size(),
              refused);
    EXPECT_EQ(log.Matching("Registry cache is empty, no version info available").size(), refused);
    EXPECT_GT(accepted, 10u);
    EXPECT_GT(refused, 10u);
}

// --- Upgrade progress records --------------------------------------------------

constexpr wchar_t kProgressKey[] = L"Software\\Quillon\\KM\\UpgradeProgress";

// A registry value as the fuzzer writes it and as a text reader must see it.
struct RawValue {
    bool present = false;
    DWORD type = REG_SZ;
    std::string bytes;

    // Whole UTF-16 units (an odd last byte zero-extended), up to the first NUL.
    std::wstring Text() const {
        if (!present) return {};
        std::wstring text;
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            const auto low = static_cast<unsigned char>(bytes[i]);
            const auto high = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
            const auto unit = static_cast<wchar_t>(low | (high << 8));
            if (unit == L'\0') break;
            text += unit;
        }
        return text;
    }
};

std::string Utf16Bytes(const std::wstring& text, bool terminated) {
    std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    if (terminated) bytes.append(2, '\0');
    return bytes;
}

RawValue RandomValue(qlntest::Fuzzer& fuzz, const std::vector<std::wstring>& samples) {
    RawValue value;
    value.present = !fuzz.OneIn(8);
    std::wstring text = fuzz.Pick(samples);
    switch (fuzz.Below(10)) {
        case 0:
            value.type = fuzz.Pick(std::vector<DWORD>{REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE});
            value.bytes = fuzz.Bytes(fuzz.Below(12));
            return value;
        case 1:
            value.type = REG_MULTI_SZ;
            value.bytes = Utf16Bytes(text + L'\0' + text, true);
            return value;
        case 2:
            text = std::wstring(1 + fuzz.Below(70000), L'x');
            break;
        case 3:
        case 4:
            text = fuzz.Mutate(text, qlntest::VersionTokens());
            break;
        default:
            break;
    }
    value.type = fuzz.OneIn(6) ? REG_EXPAND_SZ : REG_SZ;
    value.bytes = Utf16Bytes(text, !fuzz.OneIn(5));
    if (!value.bytes.empty() && fuzz.OneIn(10)) value.bytes.pop_back();  // odd length
    return value;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(ReliabilityFuzz, ProgressRecords) {
    qlntest::LogCapture log;
    qlntest::Fuzzer fuzz("upgrade progress records", 20261213, 400);
    qlntest::TempDir dir;
    const std::wstring staging = (dir.path() / L"staging").wstring();
    const std::wstring product = (dir.path() / L"product").wstring();
    const std::wstring halfProduct = (dir.path() / L"half").wstring();  // without QuillProc.exe
    std::filesystem::create_directories(staging);
    std::filesystem::create_directories(product + L"\\bin");
    std::filesystem::create_directories(halfProduct + L"\\bin");
    qlntest::WriteFileBytes(product + L"\\bin\\Quillon.dll", "dll");
    qlntest::WriteFileBytes(product + L"\\bin\\QuillProc.exe", "exe");
    qlntest::WriteFileBytes(halfProduct + L"\\bin\\Quillon.dll", "dll");

    const std::vector<std::vector<std::wstring>> samples = {
        {L"InProgress", L"inprogress", L"INPROGRESS", L"Succeeded", L"ResumeRetry", L" InProgress"},
        {L"1.16.KM16.2400", L"1.16.KM16.2381", L"1.16.KM15.9", L"2.1.KM1.1"},
        {L"silent", L"manual", L""},
        {staging, staging + L"\\", dir.dirWithSlash() + L"gone"},
        {product, dir.path().wstring(), staging, halfProduct},
        {L"QLN,Lang", L" lang ,QLN,,Bogus", L"Unknown", L"Third,Common,System64,VersionTxt,QLNUpgrade,SVN,System"}};
    const std::vector<std::wstring> categoryNames = {L"QLN",    L"Lang",     L"SVN",        L"Common",    L"System",
                                                     L"System64", L"Third", L"VersionTxt", L"QLNUpgrade"};
    const wchar_t* names[] = {L"State", L"TargetVersion", L"UpgradeType", L"StagingDir", L"ProductDir",
                              L"CompletedCategories"};

    std::size_t loads = 0, passed = 0;
    for (int i = 0; i < fuzz.iterations(); ++i) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kProgressKey);
        // Now and then a resumable record (the first sample of each value),
        // with at most one value spoilt.
        const bool wellFormed = fuzz.OneIn(5);
        const std::size_t spoilt = fuzz.Below(12);
        RawValue values[6];
        for (int v = 0; v < 6; ++v) {
            values[v] = wellFormed && static_cast<std::size_t>(v) != spoilt
                            ? RawValue{true, REG_SZ, Utf16Bytes(samples[v][0], true)}
                            : RandomValue(fuzz, samples[v]);
            if (!values[v].present) continue;
            ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kProgressKey, names[v], values[v].type,
                                        values[v].bytes.data(), static_cast<DWORD>(values[v].bytes.size())),
                      ERROR_SUCCESS);
        }
        const std::string shown = "input " + std::to_string(i) + ": state " + Printable(values[0].Text()) +
                                  ", version " + Printable(values[1].Text()) + ", staging " +
                                  Printable(values[3].Text()) + ", product " + Printable(values[4].Text());

        const QLNUpgradeProgress progress = LoadUpgradeProgress();
        const std::wstring state = values[0].Text();
        ASSERT_EQ(progress.inProgress, ::CompareStringOrdinal(state.c_str(), static_cast<int>(state.size()),
                                                              L"InProgress", -1, TRUE) == CSTR_EQUAL)
            << shown;
        ASSERT_EQ(HasPendingUpgrade(), progress.inProgress) << shown;
        if (!progress.inProgress) {
            ASSERT_TRUE(progress.targetVersion.empty() && progress.stagingDir.empty() &&
                        progress.productDir.empty() && progress.completedCategories.empty())
                << shown;
            continue;
        }
        ++loads;
        ASSERT_EQ(progress.targetVersion, values[1].Text()) << shown;
        ASSERT_EQ(progress.upgradeType, values[2].Text()) << shown;
        ASSERT_EQ(progress.stagingDir, values[3].Text()) << shown;
        ASSERT_EQ(progress.productDir, values[4].Text()) << shown;
        // Only names that the text holds, as whole comma-separated parts.
        const std::wstring completed = L"," + values[5].Text() + L",";
        for (UpgradeFileCategory category : progress.completedCategories) {
            const auto value = static_cast<std::size_t>(category);
            ASSERT_LT(value, categoryNames.size()) << shown;
            std::wstring lower = completed;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
            std::wstring name = categoryNames[value];
            std::transform(name.begin(), name.end(), name.begin(), ::towlower);
            ASSERT_NE(lower.find(name), std::wstring::npos) << shown;
        }

        // A record that passes is resumable for real; the others are refused.
        const bool resumable = progress.Validate();
        VersionNumber target;
        const bool expected = !progress.stagingDir.empty() && !progress.productDir.empty() &&
                              qlntest::ReferenceVersionSyntax(progress.targetVersion) &&
                              ParseVersionNumber(progress.targetVersion, target) && target > CurrentVersionNumber &&
                              Exists(progress.stagingDir) && Exists(progress.productDir + L"\\bin\\Quillon.dll") &&
                              Exists(progress.productDir + L"\\bin\\QuillProc.exe");
        ASSERT_EQ(resumable, expected) << shown;
        passed += resumable;
    }
    EXPECT_EQ(log.Matching("Loaded upgrade progress: version=").size(), loads);
    const std::size_t refusals = log.Matching("Incomplete upgrade progress data").size() +
                                 log.Matching("is no longer newer than running version, skipping resume").size() +
                                 log.Matching("Staging directory no longer exists: ").size() +
                                 log.Matching("Product directory invalid (bin\\ not found): ").size() +
                                 log.Matching("Key extracted file missing: ").size();
    EXPECT_EQ(refusals, loads - passed);
    EXPECT_EQ(log.Matching("Upgrade progress validation passed").size(), passed);
    EXPECT_GT(passed, 5u);
    EXPECT_GT(loads - passed, 20u);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kProgressKey);
}

}  // namespace

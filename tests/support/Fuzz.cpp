#include "support/Fuzz.h"

#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>

namespace qlntest {

namespace {

std::uint64_t EnvNumber(const wchar_t* name, std::uint64_t fallback) {
    const std::wstring text = Env(name);
    if (text.empty()) return fallback;
    return std::wcstoull(text.c_str(), nullptr, 0);
}

}  // namespace

Fuzzer::Fuzzer(const char* target, std::uint64_t defaultSeed, int defaultIterations)
    : m_seed(EnvNumber(L"QLN_FUZZ_SEED", defaultSeed)),
      m_state(m_seed),
      m_iterations(static_cast<int>(EnvNumber(L"QLN_FUZZ_ITERATIONS", static_cast<std::uint64_t>(defaultIterations)))) {
    std::printf("[fuzz] %s: seed=%llu iterations=%d (QLN_FUZZ_SEED and QLN_FUZZ_ITERATIONS repeat or extend it)\n",
                target, static_cast<unsigned long long>(m_seed), m_iterations);
    std::fflush(stdout);
}

// splitmix64: the same sequence on every compiler and library.
std::uint64_t Fuzzer::Next() noexcept {
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::size_t Fuzzer::Below(std::size_t n) noexcept {
    return n == 0 ? 0 : static_cast<std::size_t>(Next() % n);
}

std::string Fuzzer::Bytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (auto& b : bytes) b = static_cast<char>(Next() & 0xFF);
    return bytes;
}

template <typename S>
S Fuzzer::MutateImpl(S sample, const std::vector<S>& tokens) {
    using Unit = typename S::value_type;
    const std::size_t edits = 1 + Below(4);
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t at = Below(sample.size() + 1);
        switch (Below(6)) {
            case 0:
                if (at < sample.size()) sample[at] = static_cast<Unit>(Next());
                break;
            case 1:
            case 2:
                if (!tokens.empty()) sample.insert(at, Pick(tokens));
                break;
            case 3:
                sample.erase(at, Below(8));
                break;
            case 4:
                sample.insert(at, sample.substr(at, Below(16)));
                break;
            default:
                sample.resize(std::min(sample.size(), at + Below(4)));
                break;
        }
    }
    return sample;
}

std::string Fuzzer::Mutate(std::string sample, const std::vector<std::string>& tokens) {
    return MutateImpl(std::move(sample), tokens);
}

std::wstring Fuzzer::Mutate(std::wstring sample, const std::vector<std::wstring>& tokens) {
    return MutateImpl(std::move(sample), tokens);
}

// Written as a split into parts rather than a scan like the product's
// parser (std::regex would do, but recurses once per character).
bool ReferenceVersionSyntax(std::wstring_view text) {
    std::vector<std::wstring_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t dot = text.find(L'.', start);
        parts.push_back(text.substr(start, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - start));
        if (dot == std::wstring_view::npos) break;
        start = dot + 1;
    }
    const auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    const auto digitsOnly = [&](std::wstring_view part) {
        return !part.empty() && std::all_of(part.begin(), part.end(), isDigit);
    };
    const auto atLeastOne = [&](std::wstring_view part) {
        return digitsOnly(part) && std::any_of(part.begin(), part.end(), [](wchar_t c) { return c != L'0'; });
    };
    return parts.size() == 4 && atLeastOne(parts[0]) && atLeastOne(parts[1]) &&
           parts[2].substr(0, 2) == L"KM" && digitsOnly(parts[2].substr(std::min<std::size_t>(2, parts[2].size()))) &&
           digitsOnly(parts[3]);
}

const std::vector<std::wstring>& VersionTokens() {
    static const std::vector<std::wstring> tokens = {
        L"1", L"16", L"0", L"9", L"2381", L".", L"..", L"KM", L"km", L"kM", L"Km", L"K", L"M", L"-", L"+", L" ", L"\t", L"\r",
        L"\n", L"\r\n", std::wstring(1, L'\0'), L"x", L"\u0663", L"\uFF11", L"\u2028", L"\u00A0",
        std::wstring(1, static_cast<wchar_t>(0xD800)), std::wstring(1, static_cast<wchar_t>(0xDC00)), L"\uFFFF", L"99999999999", L"2147483647", L"2147483648", L"4294967296", L"true", L"1.16.KM16.2381"};
    return tokens;
}

template <typename Text>
std::string PrintableImpl(Text text) {
    std::string out;
    for (auto unit : text) {
        const auto value = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<decltype(unit)>>(unit));
        if (value >= 0x20 && value < 0x7F && value != '\\') {
            out += static_cast<char>(value);
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof(escaped), "\\x{%X}", static_cast<unsigned>(value));
            out += escaped;
        }
    }
    return out;
}

std::string Printable(std::wstring_view text) { return PrintableImpl(text); }
std::string Printable(std::string_view bytes) { return PrintableImpl(bytes); }

}  // namespace qlntest

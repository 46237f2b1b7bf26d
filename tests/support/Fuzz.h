#pragma once
// Bounded random fuzzing for the reliability tests: a seeded generator whose
// seed is printed at the start, so that a failure can be repeated exactly.
//
// The seed is fixed per target; the environment variable QLN_FUZZ_SEED (a
// decimal or 0x number) replaces it and QLN_FUZZ_ITERATIONS the number of
// inputs, to repeat a reported run or to fuzz longer by hand. Only the tests
// read these variables.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace qlntest {

class Fuzzer {
public:
    // Prints "[fuzz] <target>: seed=... iterations=..." to standard output.
    Fuzzer(const char* target, std::uint64_t defaultSeed, int defaultIterations);

    [[nodiscard]] std::uint64_t seed() const noexcept { return m_seed; }
    [[nodiscard]] int iterations() const noexcept { return m_iterations; }

    std::uint64_t Next() noexcept;
    // 0 .. n-1 (0 when n is 0).
    std::size_t Below(std::size_t n) noexcept;
    bool OneIn(std::size_t n) noexcept { return Below(n) == 0; }
    template <typename T>
    const T& Pick(const std::vector<T>& choices) noexcept {
        return choices[Below(choices.size())];
    }

    // count random bytes.
    std::string Bytes(std::size_t count);
    // A copy of sample with one to four random edits: a unit replaced by a
    // random one, a token inserted, a range deleted or doubled, a cut.
    std::string Mutate(std::string sample, const std::vector<std::string>& tokens);
    std::wstring Mutate(std::wstring sample, const std::vector<std::wstring>& tokens);

private:
    template <typename S>
    S MutateImpl(S sample, const std::vector<S>& tokens);

    std::uint64_t m_seed;
    std::uint64_t m_state;
    int m_iterations;
};

// Whether text has the version-number syntax ("1.16.KM16.2381"), decided by
// a reading independent of the product's parser: four dot-separated parts,
// the first two with a leading number of at least 1 (after optional white
// space and "+"), then "KM" and digits, then digits.
bool ReferenceVersionSyntax(std::wstring_view text);

// Units of UTF-16 that make version texts interesting: digits of other
// scripts, separators, controls, surrogates, and numbers past 32 bits.
const std::vector<std::wstring>& VersionTokens();

// Text for a failure message: non-printable units as \x{...}.
std::string Printable(std::wstring_view text);
std::string Printable(std::string_view bytes);

}  // namespace qlntest

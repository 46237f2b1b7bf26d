#pragma once
// Overrides one of the product's test seams (a qln::seams::g_* variable) for
// the guard's lifetime and puts back the value it held before, also when the
// test fails halfway; guards on one seam nest.
//
//   qlntest::ScopedSeam admin(qln::seams::g_isRunningAsAdmin, [] { return false; });
//
// A fixture whose override must outlast the test's body (a worker thread
// still running until TearDown) keeps the guard as a member.

#include <utility>

namespace qlntest {

template <typename T>
class [[nodiscard]] ScopedSeam {
public:
    template <typename U>
    ScopedSeam(T& seam, U&& value) : m_seam(seam), m_previous(std::exchange(seam, std::forward<U>(value))) {}
    ~ScopedSeam() { m_seam = std::move(m_previous); }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;

private:
    T& m_seam;
    T m_previous;
};

}  // namespace qlntest

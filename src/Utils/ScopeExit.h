#pragma once
// Runs an action exactly once when the scope ends, unless release() was
// called first (for actions that must not run on the success path).

#include <utility>

namespace qln {

template <typename F>
class [[nodiscard]] ScopeExitGuard {
public:
    explicit ScopeExitGuard(F f) noexcept : m_f(std::move(f)) {}
    ScopeExitGuard(ScopeExitGuard&& other) noexcept : m_f(std::move(other.m_f)), m_active(std::exchange(other.m_active, false)) {}
    ScopeExitGuard(const ScopeExitGuard&) = delete;
    ScopeExitGuard& operator=(const ScopeExitGuard&) = delete;
    ScopeExitGuard& operator=(ScopeExitGuard&&) = delete;
    ~ScopeExitGuard() { run(); }

    // Cancels the action.
    void release() noexcept { m_active = false; }

    // Runs the action now (once) instead of at scope end.
    void run() noexcept {
        if (std::exchange(m_active, false)) m_f();
    }

private:
    F m_f;
    bool m_active = true;
};

template <typename F>
[[nodiscard]] ScopeExitGuard<F> ScopeExit(F f) noexcept {
    return ScopeExitGuard<F>(std::move(f));
}

}  // namespace qln

#pragma once
// Owning wrappers for Win32 handles. A handle is owned the moment it is
// obtained (through put() or the constructor) and closed exactly once.

#include <windows.h>
#include <winhttp.h>

#include <utility>

namespace qln {

// Traits: the handle type, its invalid value and how to close it.
template <typename T, auto CloseFn>
struct NullInvalidTraits {
    using Type = T;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CloseFn(h); }
};

struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(Type h) noexcept : m_h(h) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_h(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    [[nodiscard]] Type get() const noexcept { return m_h; }
    [[nodiscard]] bool valid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Hands ownership to the caller.
    [[nodiscard]] Type release() noexcept { return std::exchange(m_h, Traits::Invalid()); }

    void reset(Type h = Traits::Invalid()) noexcept {
        Type old = std::exchange(m_h, h);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

    // For out-parameters: closes what is held and gives the slot to fill.
    [[nodiscard]] Type* put() noexcept {
        reset();
        return &m_h;
    }

private:
    Type m_h = Traits::Invalid();
};

namespace detail {
inline void CloseKey(HKEY h) noexcept { ::RegCloseKey(h); }
inline void CloseHandleFn(HANDLE h) noexcept { ::CloseHandle(h); }
inline void CloseInternet(HINTERNET h) noexcept { ::WinHttpCloseHandle(h); }
inline void FreeModuleHandle(HMODULE h) noexcept { ::FreeLibrary(h); }
inline void FreeLocal(void* p) noexcept { ::LocalFree(p); }
inline void FreeGlobal(void* p) noexcept { ::GlobalFree(p); }
}  // namespace detail

using UniqueHkey = UniqueAny<NullInvalidTraits<HKEY, &detail::CloseKey>>;
using UniqueHandle = UniqueAny<NullInvalidTraits<HANDLE, &detail::CloseHandleFn>>;
using UniqueFileHandle = UniqueAny<FileHandleTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
using UniqueInternet = UniqueAny<NullInvalidTraits<HINTERNET, &detail::CloseInternet>>;
using UniqueModule = UniqueAny<NullInvalidTraits<HMODULE, &detail::FreeModuleHandle>>;
using UniqueLocalMem = UniqueAny<NullInvalidTraits<void*, &detail::FreeLocal>>;
using UniqueGlobalMem = UniqueAny<NullInvalidTraits<void*, &detail::FreeGlobal>>;

}  // namespace qln

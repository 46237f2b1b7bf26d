#pragma once
// The one clock of the benchmark programs: the performance counter, which
// Wine maps onto the host's monotonic clock.
#include <windows.h>

namespace qlnbench {

inline double NowNs() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart);
}

inline double NowMs() { return NowNs() / 1e6; }

}  // namespace qlnbench

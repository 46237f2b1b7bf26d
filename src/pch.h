#pragma once
// Precompiled header: the platform, fmt and the standard library.
#include <windows.h>
#include <winhttp.h>
#include <shlwapi.h>
#include <shlobj.h>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

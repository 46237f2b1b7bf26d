// Measures the product's own code paths in-process:
//
//   qln_bench_core log <dir\> <runs>
//       logger set up on <dir\> at level info; per run, the mean time of one
//       written info call, of one filtered debug call, of one line appended
//       and flushed without the logger (the floor) and of the info call with
//       its flush left out; prints every run and the medians.
//   qln_bench_core download <url> <file> <warm-up url>
//       KMHttpUtils::DownloadToFile of url into file (one attempt), after one
//       small warm-up download; prints "download_s=<n> bytes=<n>
//       rss_growth=<bytes> private_growth=<bytes>", the growth being the
//       highest value sampled during the download less the value before it.
//   qln_bench_core winhttp-floor <url>
//       the least WinHTTP can do for the same download: one request, its body
//       read in 64 KiB blocks and thrown away (no file, no checks); prints
//       "floor_s=<n> bytes=<n>". What the platform's HTTP and TLS allow.
//   qln_bench_core deploy <release dir> <installed dir> <staging dir> <log dir\>
//       the replace strategy's deployment of the release over the installed
//       tree, with its backup (staging\rollback_backup) and journal, as the
//       elevated copy runs it after unpacking; logging at info. Prints
//       "deploy_ms=<n> files=<n>".
//
// Exit code 0 on success, 1 on failure.
#include "BenchClock.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceDeployJournal.h"
#include "QLNUpgrade/KM/Upgrade/ReplaceSilentUpgradeStrategy.h"
#include "Utils/KM/KMHttpUtils.h"
#include "Utils/KM/KMLog.h"
#include "Utils/KM/KMLoggerHelper.h"
#include "Utils/KM/KMSystemLibrary.h"
#include "Utils/PathUtils.h"
#include "Utils/UniqueHandle.h"

#include <spdlog/spdlog.h>

#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using qlnbench::NowNs;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

void SetKmString(const wchar_t* name, const std::wstring& value) {
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Quillon\\KM", name, REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

int LogBench(const std::wstring& dir, int runs) {
    SetKmString(L"LoggerDir", dir);
    SetKmString(L"LoggerLevel", L"info");
    if (!KMLoggerHelper::Initialize(L".bench.log")) {
        std::fprintf(stderr, "the logger could not be set up in %ls\n", dir.c_str());
        return 1;
    }
    constexpr int kWritten = 20000;
    constexpr int kFiltered = 2000000;
    const std::wstring argument = L"C:\\Program Files\\Quillon\\bin\\QuillProc.exe";
    // Warm-up: first-use costs (file open, caches) are not what is measured.
    for (int i = 0; i < 1000; ++i) KM_LOG_INFO(L"warm-up {} {}", i, argument);

    // The floor under a written call: one line appended and flushed through
    // the C runtime, as the file sink does, without any of the logger.
    const std::wstring floorPath = dir + L"floor.txt";
    FILE* floorFile = _wfopen(floorPath.c_str(), L"ab");
    if (!floorFile) {
        std::fprintf(stderr, "cannot open %ls\n", floorPath.c_str());
        return 1;
    }
    const std::string line(150, 'x');
    // The logger flushes every written line (its flush level is its level);
    // the same call with that flush left out tells the logger's own share.
    const auto logger = KMLoggerHelper::GetLogger();
    if (!logger) {
        std::fprintf(stderr, "no logger after set-up\n");
        return 1;
    }
    const spdlog::level::level_enum flushLevel = logger->flush_level();
    std::vector<double> written, filtered, floor, unflushed;
    for (int run = 0; run < runs; ++run) {
        double start = NowNs();
        for (int i = 0; i < kWritten; ++i) KM_LOG_INFO(L"Deployed file {} of {}: {}", i, kWritten, argument);
        written.push_back((NowNs() - start) / kWritten);
        logger->flush_on(spdlog::level::off);
        start = NowNs();
        for (int i = 0; i < kWritten; ++i) KM_LOG_INFO(L"Deployed file {} of {}: {}", i, kWritten, argument);
        unflushed.push_back((NowNs() - start) / kWritten);
        logger->flush();
        logger->flush_on(flushLevel);
        start = NowNs();
        for (int i = 0; i < kFiltered; ++i) KM_LOG_DEBUG(L"Deployed file {} of {}: {}", i, kFiltered, argument);
        filtered.push_back((NowNs() - start) / kFiltered);
        start = NowNs();
        for (int i = 0; i < kWritten; ++i) {
            std::fwrite(line.data(), 1, line.size(), floorFile);
            std::fflush(floorFile);
        }
        floor.push_back((NowNs() - start) / kWritten);
        std::printf("run %d: info %.0f ns, debug %.1f ns, floor %.0f ns, unflushed %.0f ns\n", run + 1, written.back(),
                    filtered.back(), floor.back(), unflushed.back());
    }
    std::fclose(floorFile);
    std::printf("log_info_ns=%.0f log_debug_ns=%.1f floor_ns=%.0f unflushed_ns=%.0f\n", Median(written),
                Median(filtered), Median(floor), Median(unflushed));
    return 0;
}

struct Memory {
    SIZE_T workingSet = 0;
    SIZE_T privateBytes = 0;
};

Memory CurrentMemory() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters));
    return {counters.WorkingSetSize, counters.PrivateUsage};
}

int DownloadBench(const std::wstring& url, const std::wstring& file, const std::wstring& warmUpUrl) {
    DownloadOptions options;
    options.maxAttempts = 1;
    options.retryDelayMs = 0;
    // Loads the TLS and HTTP libraries and fills their caches once.
    if (!KMHttpUtils::DownloadToFile(warmUpUrl, file, options)) {
        std::fprintf(stderr, "the warm-up download failed\n");
        return 1;
    }
    ::DeleteFileW(file.c_str());

    // The sampler runs before the first value is taken, so that its own
    // thread is not counted as growth.
    std::atomic<bool> measuring{false};
    std::atomic<bool> done{false};
    Memory before{};
    Memory peak{};
    std::thread sampler([&] {
        while (!done.load()) {
            if (measuring.load()) {
                const Memory now = CurrentMemory();
                peak.workingSet = std::max(peak.workingSet, now.workingSet);
                peak.privateBytes = std::max(peak.privateBytes, now.privateBytes);
            }
            ::Sleep(5);
        }
    });
    ::Sleep(50);
    before = CurrentMemory();
    peak = before;
    measuring = true;
    const double start = NowNs();
    const bool ok = KMHttpUtils::DownloadToFile(url, file, options);
    const double seconds = (NowNs() - start) / 1e9;
    done = true;
    sampler.join();
    if (!ok) {
        std::fprintf(stderr, "the download failed\n");
        return 1;
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    ::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes);
    const unsigned long long bytes =
        (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    std::printf("download_s=%.3f bytes=%llu rss_growth=%lld private_growth=%lld\n", seconds, bytes,
                static_cast<long long>(peak.workingSet) - static_cast<long long>(before.workingSet),
                static_cast<long long>(peak.privateBytes) - static_cast<long long>(before.privateBytes));
    return 0;
}

int WinHttpFloorBench(const std::wstring& url) {
    if (!KMSystemLibrary::Require(L"winhttp.dll")) return 1;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    wchar_t extra[2048] = {};
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = 2048;
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return 1;
    const std::wstring object = std::wstring(path) + extra;
    const double start = NowNs();
    qln::UniqueInternet session(::WinHttpOpen(L"qln-bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, 0));
    qln::UniqueInternet connection(session ? ::WinHttpConnect(session.get(), host, parts.nPort, 0) : nullptr);
    qln::UniqueInternet request(connection ? ::WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                                   WINHTTP_FLAG_SECURE)
                                            : nullptr);
    if (!request || !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                          0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        std::fprintf(stderr, "the request failed: %lu\n", ::GetLastError());
        return 1;
    }
    std::vector<char> block(64 * 1024);
    unsigned long long bytes = 0;
    for (DWORD read = 0; ::WinHttpReadData(request.get(), block.data(), static_cast<DWORD>(block.size()), &read) &&
                         read > 0;) {
        bytes += read;
    }
    std::printf("floor_s=%.3f bytes=%llu\n", (NowNs() - start) / 1e9, bytes);
    return 0;
}

int DeployBench(const std::wstring& release, const std::wstring& installed, const std::wstring& staging,
                const std::wstring& logDir) {
    SetKmString(L"LoggerDir", logDir);
    SetKmString(L"LoggerLevel", L"info");
    (void)KMLoggerHelper::Initialize(L".upgrade.log");
    const std::wstring backupDir = staging + L"\\rollback_backup";
    const double start = NowNs();
    ReplaceDeployJournal journal(staging + L"\\replace.journal");
    (void)CreateDirectoryPath(backupDir);
    const auto inventory = ReplaceSilentUpgradeStrategy::GetUpgradeFileList(release);
    ReplaceSilentUpgradeStrategy strategy;
    std::set<UpgradeFileCategory> completed;
    int32_t succeeded = 0;
    int32_t failed = 0;
    const bool ok = strategy.DeployCategorizedFiles(inventory, release, installed, backupDir, completed, succeeded,
                                                    failed, journal);
    journal.Remove();
    const double ms = (NowNs() - start) / 1e6;
    if (!ok || failed != 0) {
        std::fprintf(stderr, "the deployment failed: %d succeeded, %d failed\n", succeeded, failed);
        return 1;
    }
    std::printf("deploy_ms=%.1f files=%d\n", ms, succeeded);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"log" && argc == 4) return LogBench(argv[2], _wtoi(argv[3]));
    if (command == L"download" && argc == 5) return DownloadBench(argv[2], argv[3], argv[4]);
    if (command == L"winhttp-floor" && argc == 3) return WinHttpFloorBench(argv[2]);
    if (command == L"deploy" && argc == 6) return DeployBench(argv[2], argv[3], argv[4], argv[5]);
    std::fprintf(stderr,
                 "usage: qln_bench_core log <dir\\> <runs> | download <url> <file> <warm-up url> |\n"
                 "       winhttp-floor <url> |\n"
                 "       deploy <release> <installed> <staging> <log dir\\>\n");
    return 1;
}

// Runs a job for each index from 0 to count - 1 on up to `workers` threads.
// std::thread where the standard library has threads; the system's own
// threads on a Windows build whose library has none.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#if defined(_WIN32) && !defined(_GLIBCXX_HAS_GTHREADS)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define TABULON_INSPECT_WIN32_THREADS 1
#else
#include <thread>
#endif

namespace inspect {

inline unsigned systemCores() {
#ifdef TABULON_INSPECT_WIN32_THREADS
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? unsigned(info.dwNumberOfProcessors) : 1;
#else
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
#endif
}

inline void runJobs(size_t count, unsigned workers, const std::function<void(size_t)>& job) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < count; i = next++) job(i);
    };
    if (workers <= 1 || count <= 1) {
        work();
        return;
    }
    const size_t n = std::min<size_t>(workers, count);
#ifdef TABULON_INSPECT_WIN32_THREADS
    struct Start {
        static DWORD WINAPI run(LPVOID p) {
            (*static_cast<decltype(work)*>(p))();
            return 0;
        }
    };
    std::vector<HANDLE> threads;
    for (size_t t = 1; t < n; ++t) {
        HANDLE h = CreateThread(nullptr, 0, &Start::run, &work, 0, nullptr);
        if (h) threads.push_back(h);
    }
    work();
    for (HANDLE h : threads) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
#else
    std::vector<std::thread> threads;
    for (size_t t = 1; t < n; ++t) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
#endif
}

}  // namespace inspect

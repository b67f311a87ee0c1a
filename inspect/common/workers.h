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
#include <mutex>
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

// A lock between the jobs' threads: std::mutex, or a critical section where
// the standard library has no threads.
class JobLock {
  public:
#ifdef TABULON_INSPECT_WIN32_THREADS
    JobLock() {
        InitializeCriticalSection(&section_);
    }
    ~JobLock() {
        DeleteCriticalSection(&section_);
    }
    void lock() {
        EnterCriticalSection(&section_);
    }
    bool try_lock() {
        return TryEnterCriticalSection(&section_) != 0;
    }
    void unlock() {
        LeaveCriticalSection(&section_);
    }
#else
    JobLock() = default;
    void lock() {
        mutex_.lock();
    }
    bool try_lock() {
        return mutex_.try_lock();
    }
    void unlock() {
        mutex_.unlock();
    }
#endif
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;

  private:
#ifdef TABULON_INSPECT_WIN32_THREADS
    CRITICAL_SECTION section_;
#else
    std::mutex mutex_;
#endif
};

// Holds a JobLock from its making to its end; with `tryOnly`, only when it
// was free (held() says whether it is).
class JobLockHeld {
  public:
    explicit JobLockHeld(JobLock& lock, bool tryOnly = false) : lock_(lock), held_(true) {
        if (tryOnly) {
            held_ = lock_.try_lock();
        } else {
            lock_.lock();
        }
    }
    ~JobLockHeld() {
        if (held_) lock_.unlock();
    }
    bool held() const { return held_; }
    JobLockHeld(const JobLockHeld&) = delete;
    JobLockHeld& operator=(const JobLockHeld&) = delete;

  private:
    JobLock& lock_;
    bool held_;
};

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

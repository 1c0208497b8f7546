// Helpers of the platform suite: a thread running a lambda, and elapsed time.
#pragma once

#include "tests/support/fixtures.h"

// A platform thread running fn (resumed unless told otherwise); terminated if still running,
// else joined, and released when the Runner goes.
struct Runner {
    explicit Runner(std::function<void()> fn, bool start = true)
        : fn_(std::move(fn)), thread_(kp::thread_create_suspended(call, this, 0)) {
        if (start) kp::thread_resume(thread_);
    }
    ~Runner() { kp::thread_terminate(thread_), kp::thread_release(thread_); }
    kp::Thread* get() const { return thread_; }
    static void call(void* self) { static_cast<Runner*>(self)->fn_(); }
    std::function<void()> fn_;
    kp::Thread* thread_;
};

inline double elapsed_ms(uint64_t since) {
    return static_cast<double>(kp::perf_counter() - since) * 1000.0 / kp::perf_frequency();
}

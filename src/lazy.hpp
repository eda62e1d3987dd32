// A value built on first access, once per process, under a guard with four
// states: incomplete, running, complete and poisoned. It is never destroyed.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "panic.hpp"

namespace tilewise {

template <class T>
class Lazy {
public:
    enum class State { incomplete, running, complete, poisoned };

    // Nothing runs at load: every member is constant-initialised.
    constexpr Lazy() noexcept = default;
    Lazy(const Lazy&) = delete;
    Lazy& operator=(const Lazy&) = delete;

    // The value, built as T(args...) by the first access; later accesses
    // ignore their arguments. If that build throws, the guard is poisoned,
    // the exception goes on to the caller, and every later access panics;
    // the build is never retried.
    template <class... Args>
    const T& get(Args&&... args) {
        if (state_.load(std::memory_order_acquire) == State::complete) return value();
        return build_once(std::forward<Args>(args)...);
    }

    State state() const { return state_.load(std::memory_order_acquire); }

    // The value if it is built already, else null; never builds it.
    const T* if_built() const {
        return state_.load(std::memory_order_acquire) == State::complete ? &value() : nullptr;
    }

    // A fork copies the guard but not the thread that may be building: the
    // child would wait forever for a lock that no thread of its own holds.
    // The forking thread calls hold_for_fork before the fork, which waits
    // for a build in progress to end and keeps any other from starting, and
    // release_after_fork after it, in the parent and in the child alike. The
    // child so finds the value built, or no build begun (and makes its own),
    // or the guard poisoned, as the parent does; never a build in progress.
    // Once the value is built, a fork costs one load.
    void hold_for_fork() {
        if (state_.load(std::memory_order_acquire) == State::complete) return;
        mutex_.lock();
        held_for_fork_ = true;
    }
    void release_after_fork() {
        if (!held_for_fork_) return;
        held_for_fork_ = false;
        mutex_.unlock();
    }

private:
    template <class... Args>
    const T& build_once(Args&&... args) {
        // A thread that finds the guard running blocks here until the
        // builder leaves; the builder never waits on anything else.
        std::lock_guard<std::mutex> lock(mutex_);
        switch (state_.load(std::memory_order_relaxed)) {
            case State::complete:
                return value();
            case State::poisoned:
            case State::running:  // not seen here: the builder holds the lock
                panic("Once instance has previously been poisoned");
            case State::incomplete:
                break;
        }
        state_.store(State::running, std::memory_order_relaxed);
        try {
            new (storage_) T(std::forward<Args>(args)...);
        } catch (...) {
            state_.store(State::poisoned, std::memory_order_release);
            throw;
        }
        state_.store(State::complete, std::memory_order_release);
        return value();
    }

    const T& value() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }

    std::atomic<State> state_{State::incomplete};
    std::mutex mutex_;
    // Whether this thread holds the lock for a fork: two threads may fork at
    // once, each between its own two calls.
    static inline thread_local bool held_for_fork_ = false;
    alignas(T) unsigned char storage_[sizeof(T)] = {};
};

}  // namespace tilewise

// Unit test of the once-only guard, in states Python cannot reach on demand:
// a build that throws, threads that wait on a build, the poisoned state, and
// a fork while another thread builds. Prints one line per check and exits
// non-zero if any fails.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <pthread.h>
#include <unistd.h>
#endif

#include "lazy.hpp"

using tilewise::Lazy;
using tilewise::Panic;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

// Runs `n` threads that start `body` together.
template <class Body>
void together(int n, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < n) std::this_thread::yield();
            body(i);
        });
    for (auto& t : threads) t.join();
}

std::atomic<int> slow_builds{0};
struct Slow {
    int value;
    Slow() : value(42) {
        ++slow_builds;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};
Lazy<Slow> slow;  // constant-initialised: nothing is built before main

std::atomic<int> failing_builds{0};
struct Failing {
    Failing() {
        ++failing_builds;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        throw std::runtime_error("build failed");
    }
};

enum class Outcome { none, value, original, poisoned, other };

Outcome access(Lazy<Failing>& lazy) {
    try {
        lazy.get();
        return Outcome::value;
    } catch (const std::runtime_error&) {
        return Outcome::original;
    } catch (const Panic& p) {
        return p.message == "Once instance has previously been poisoned" ? Outcome::poisoned : Outcome::other;
    } catch (...) {
        return Outcome::other;
    }
}

#if !defined(_WIN32)
std::atomic<int> forked_builds{0};
struct BuiltAcrossFork {
    int value;
    BuiltAcrossFork() : value(42) {
        ++forked_builds;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};
Lazy<BuiltAcrossFork> across_fork;

// A fork while another thread builds: the child must get the value that the
// parent built, not wait forever for the lock its builder held. The alarm
// ends a child that hangs.
void fork_during_a_build() {
    pthread_atfork([] { across_fork.hold_for_fork(); }, [] { across_fork.release_after_fork(); },
                   [] { across_fork.release_after_fork(); });
    std::thread builder([] { across_fork.get(); });
    while (across_fork.state() != Lazy<BuiltAcrossFork>::State::running) std::this_thread::yield();
    std::fflush(stdout);  // else the child may print the lines so far again
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(5);
        _exit(across_fork.get().value == 42 && forked_builds == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    builder.join();
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a fork during a build waits for it, and the child gets the one value");
}
#endif

}  // namespace

int main() {
    check(slow_builds == 0 && slow.state() == Lazy<Slow>::State::incomplete, "nothing built before first access");

    std::vector<const Slow*> seen(8);
    together(8, [&](int i) { seen[i] = &slow.get(); });
    bool same = true;
    for (const Slow* p : seen) same = same && p == seen[0] && p->value == 42;
    check(slow_builds == 1, "eight threads at once build exactly once");
    check(same, "every thread gets the same built value");
    check(slow.state() == Lazy<Slow>::State::complete, "guard complete after the build");
    slow.get();
    check(slow_builds == 1, "a later access does not rebuild");

    static Lazy<Failing> failing;
    std::vector<Outcome> outcomes(8, Outcome::none);
    together(8, [&](int i) { outcomes[i] = access(failing); });
    int original = 0, poisoned = 0;
    for (Outcome o : outcomes) {
        original += o == Outcome::original;
        poisoned += o == Outcome::poisoned;
    }
    check(failing_builds == 1, "a failing build runs once");
    check(original == 1, "the building thread gets the build's own exception");
    check(poisoned == 7, "waiting threads find the guard poisoned");
    check(failing.state() == Lazy<Failing>::State::poisoned, "guard poisoned after the failure");
    check(access(failing) == Outcome::poisoned && access(failing) == Outcome::poisoned,
          "every later access panics with the poisoned message");
    check(failing_builds == 1, "the build is never retried");

#if !defined(_WIN32)
    fork_during_a_build();
#endif

    return failures == 0 ? 0 : 1;
}

// posix_lock_test.cc: how the lock waits on POSIX: asleep in flock, woken by the holder or
// ended by an interval timer's SIGALRM, and leaving the signal and the timer as they were.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/platform.h"

namespace credvane::platform {
namespace {

namespace fs = std::filesystem;

class scratch {
  public:
    scratch() {
        std::random_device rd;
        path = fs::temp_directory_path() /
               ("credvane-plock-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

file_lock take(const std::string& path, int wait_ms) {
    return file_lock::acquire(path.c_str(), monotonic_ms() + wait_ms);
}

// Where the system shows which call a thread of this process sleeps in, and the number it
// shows for flock; empty where it does not.
#if defined(__linux__)
const std::string lock_call = std::to_string(SYS_flock);
std::string waiting_call_of(pid_t tid) {
    return "/proc/self/task/" + std::to_string(tid) + "/syscall";
}
#else
const std::string lock_call;
std::string waiting_call_of(pid_t) {
    return {};
}
#endif

// A waiter sleeps until the holder lets go, however long its own time: it gets the lock then,
// not at its deadline. Its wait leaves SIGALRM's handling and the interval timer as they
// were, so that the CLIs started afterwards inherit nothing of it.
TEST(PosixFileLock, AWaiterSleepsInFlockUntilTheHolderLetsGo) {
    scratch s;
    const std::string a = (s.path / "codex-a.lock").string();
    std::promise<void> taken;
    std::promise<void> let_go;
    // The holder lives on another thread: the wait's signal is for the thread that waits.
    std::thread holder([&] {
        file_lock held = take(a, 0);
        taken.set_value();
        let_go.get_future().wait();
    });
    taken.get_future().wait();
    const std::int64_t t0 = monotonic_ms();
    std::future<file_lock> waiter =
        std::async(std::launch::deferred, [&] { return take(a, 60000); });
    // Let go once this thread sleeps in the system's lock call below (as the system shows
    // it), so that the wait has to be woken, not only to find the lock free.
    const std::string in_call = waiting_call_of(::gettid());
    bool seen_in_call = false;
    std::thread releaser([&] {
        // Bounded, so that a waiter that never sleeps in the call fails the test below
        // instead of hanging it.
        const std::int64_t give_up = monotonic_ms() + 20000;
        std::string call;
        while (!in_call.empty() && monotonic_ms() < give_up && std::ifstream(in_call) >> call) {
            if (call == lock_call) {
                seen_in_call = true;
                break;
            }
            std::this_thread::yield();
        }
        let_go.set_value();
    });
    const file_lock got = take(a, 60000);
    releaser.join();
    holder.join();
    EXPECT_TRUE(got.held());
    EXPECT_FALSE(got.busy());
    EXPECT_LT(monotonic_ms() - t0, 30000);
    if (!in_call.empty()) {
        EXPECT_TRUE(seen_in_call) << "the waiter never slept in flock";
    }

    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGALRM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    itimerval timer{};
    ASSERT_EQ(::getitimer(ITIMER_REAL, &timer), 0);
    EXPECT_EQ(timer.it_value.tv_sec, 0);
    EXPECT_EQ(timer.it_value.tv_usec, 0);
    EXPECT_EQ(timer.it_interval.tv_usec, 0);
}

// A wait that runs out leaves the signal's handling and the timer as they were too, and a
// handler of the caller's own stays in place.
TEST(PosixFileLock, AWaitThatRunsOutRestoresTheSignalAndTheTimer) {
    scratch s;
    const std::string a = (s.path / "codex-a.lock").string();
    const file_lock held = take(a, 0);
    ASSERT_TRUE(held.held());
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction former {};
    ASSERT_EQ(::sigaction(SIGALRM, &ignore, &former), 0);
    EXPECT_TRUE(take(a, 30).busy());
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGALRM, &former, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    itimerval timer{};
    ASSERT_EQ(::getitimer(ITIMER_REAL, &timer), 0);
    EXPECT_EQ(timer.it_value.tv_sec, 0);
    EXPECT_EQ(timer.it_value.tv_usec, 0);
}

// A caller that blocks SIGALRM still has its wait end at the deadline, and SIGALRM blocked
// again afterwards.
TEST(PosixFileLock, AWaitEndsAtItsDeadlineWhenTheCallerBlocksTheSignal) {
    scratch s;
    const std::string a = (s.path / "codex-a.lock").string();
    const file_lock held = take(a, 0);
    ASSERT_TRUE(held.held());
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigset_t former;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &alarm_only, &former), 0);
    const file_lock late = take(a, 30);
    sigset_t now;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &former, &now), 0);
    EXPECT_TRUE(late.busy());
    EXPECT_EQ(sigismember(&now, SIGALRM), 1);
}

}  // namespace
}  // namespace credvane::platform

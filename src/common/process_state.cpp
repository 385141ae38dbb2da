// State for the whole process and forked children (see process_state.hpp).
#include "process_state.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vm {
namespace {

std::atomic<unsigned long> g_forks{0};

void count_fork() { g_forks.fetch_add(1, std::memory_order_relaxed); }

// Registered as the module loads, before any thread of its own can fork.
const bool g_counting = (at_fork_in_child(&count_fork), true);

}  // namespace

void at_fork_in_child(void (*renew)()) {
#ifndef _WIN32
    pthread_atfork(nullptr, nullptr, renew);
#else
    (void)renew;
#endif
}

unsigned long forks_since_load() { return g_forks.load(std::memory_order_relaxed); }

ProcessLock::ProcessLock(py::object make) : make_(std::move(make)), lock_(make_()), forks_(forks_since_load()) {}

py::object ProcessLock::get() {
    const unsigned long forks = forks_since_load();
    if (forks != forks_) {
        lock_ = make_();
        forks_ = forks;
    }
    return lock_;
}

}  // namespace vm

// State that native code keeps for the whole process, and what the child of
// a fork makes of it.
//
// The child of a fork has only the thread that forked. Whatever the
// parent's other threads held at that moment (a claimed target, a count of
// calls under way, a C++ mutex, a Python lock) stays held in the child for
// good, and the first call there that waits for it never returns. So the
// child starts such state afresh: a table of C++ state (ProcessWide) is
// replaced right after the fork, before the child runs any Python code; a
// Python lock (ProcessLock) is replaced the first time the child asks for
// it. The parent's are left as they were, never locked, unlocked or
// destroyed again: a thread that is gone may have held a mutex in them.
// Windows has no fork.
//
//   struct Table { std::mutex mutex; std::unordered_set<std::string> busy; };
//   vm::ProcessWide<Table> g_table;   // at namespace scope: made as the module loads
//   ... std::lock_guard<std::mutex> lock(g_table->mutex); ...
#pragma once

#include <atomic>

#include "pyfunc.hpp"

namespace vm {

// Calls `renew` in the child of every later fork of this process, on its one
// thread, right after the fork (pthread_atfork) and before any Python code
// runs there. `renew` must not touch Python, nor any lock of the parent's.
void at_fork_in_child(void (*renew)());

// How many forks lie between the process that loaded this module and this
// one: 0 there, one more in each child.
unsigned long forks_since_load();

// A T for the whole process, made when the module loads. The child of a fork
// has a new one; the parent's stays behind, as it was. One for each type T,
// defined at namespace scope.
template <class T>
class ProcessWide {
public:
    ProcessWide() {
        current_.store(new T, std::memory_order_release);
        at_fork_in_child(&renew);
    }
    ProcessWide(const ProcessWide&) = delete;
    ProcessWide& operator=(const ProcessWide&) = delete;

    // This process's T.
    T* get() const { return current_.load(std::memory_order_acquire); }
    T& operator*() const { return *get(); }
    T* operator->() const { return get(); }

private:
    static void renew() { current_.store(new T, std::memory_order_release); }
    static inline constinit std::atomic<T*> current_{nullptr};
};

// A Python lock that native code keeps for the whole process, as a Python
// module keeps `_lock = threading.RLock()`: `make()` makes it. The child of
// a fork gets a new one from `make` the first time it asks. Under the GIL.
class ProcessLock {
public:
    explicit ProcessLock(py::object make);
    // The lock of this process.
    py::object get();

private:
    py::object make_, lock_;
    unsigned long forks_;
};

}  // namespace vm

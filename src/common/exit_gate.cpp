// The exit gate: the threads' records, the atexit hook and parking. See
// exit_gate.hpp.
//
// This library is linked into each module with hidden visibility, so each
// module has a gate of its own: its own records of its own frames, and its
// own hook.
#include "exit_gate.hpp"

#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vm {

// The duties sit in a list per thread, newest first.
struct ParkDuties {
    static void add(OnPark* duty, gate::Slot& slot) {
        duty->owner_ = &slot;
        duty->next_ = slot.duties;
        slot.duties = duty;
    }
    static void remove(OnPark* duty) {
        auto* slot = static_cast<gate::Slot*>(duty->owner_);
        for (OnPark** link = &slot->duties; *link; link = &(*link)->next_)
            if (*link == duty) {
                *link = duty->next_;
                return;
            }
    }
    // Once per thread: by the thread as it parks, or by the hook for a thread
    // inside a blocking call.
    static void run(gate::Slot& slot) {
        if (slot.duties_done.exchange(true)) return;
        for (OnPark* duty = slot.duties; duty; duty = duty->next_) duty->on_park();
    }
};

namespace gate {

constinit thread_local Slot* t_slot = nullptr;
std::atomic<bool> g_quitting{false};
std::atomic<bool> g_closed{false};

namespace {

// Every thread that has entered native code of this module, until it ends.
// Never freed: a parked thread may still point into it when the process ends.
struct Registry {
    std::mutex mutex;
    std::vector<Slot*> slots;
};
Registry* g_registry = new Registry;

// Takes the thread's record out of the registry when the thread ends (a
// parked thread never does).
struct SlotOwner {
    Slot* slot = nullptr;
    ~SlotOwner() {
        if (!slot) return;
        {
            std::lock_guard<std::mutex> lock(g_registry->mutex);
            auto& slots = g_registry->slots;
            for (auto it = slots.begin(); it != slots.end(); ++it)
                if (*it == slot) {
                    slots.erase(it);
                    break;
                }
        }
        t_slot = nullptr;
        delete slot;
    }
};

// True when no thread but the caller is inside a C++ body.
bool others_out_of_bodies(const Slot& me) {
    std::lock_guard<std::mutex> lock(g_registry->mutex);
    for (const Slot* s : g_registry->slots)
        if (s != &me && s->frame.load(std::memory_order_acquire) == kBody) return false;
    return true;
}

// A thread inside a blocking call may not come back before the process ends
// (a host callback that never returns, a server that went quiet), and then
// never parks: its duties are done here, so that its files keep what they
// were given all the same. The thread cannot run meanwhile: the hook holds
// the GIL, which its code needs, and the native work it may do without the
// GIL (a WithoutGil scope) touches no duty's state. When it comes back it
// parks at once, without doing them again. Threads inside a C++ body are
// left alone: they would go on using what their duties write out.
void do_duties_of_blocked(const Slot& me) {
    std::lock_guard<std::mutex> lock(g_registry->mutex);
    for (Slot* s : g_registry->slots)
        if (s != &me && s->frame.load(std::memory_order_acquire) == kBlocking) ParkDuties::run(*s);
}

// atexit: see exit_gate.hpp. Runs with the GIL, on the thread that then
// finalises the interpreter. The last check is made with the GIL held, and
// a thread needs the GIL to enter a body or to come back from a blocking
// call, so none can slip in between that check and the closing.
void on_quit() {
    Slot& me = slot();
    me.finalising = true;
    g_quitting.store(true);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kQuitWait);
    while (!others_out_of_bodies(me) && std::chrono::steady_clock::now() < deadline) {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(state);
    }
    do_duties_of_blocked(me);
    g_closed.store(true);
}

#ifndef _WIN32
// The child of a fork has only the thread that forked: the records of the
// others (and a lock one of them may have held) stay behind with the old
// registry, which is left as it is.
void after_fork_in_child() {
    g_registry = new Registry;
    if (t_slot) g_registry->slots.push_back(t_slot);
    g_quitting.store(false);
    g_closed.store(false);
}
#endif

}  // namespace

Slot& new_slot() {
    static thread_local SlotOwner owner;
    auto* s = new Slot;
    {
        std::lock_guard<std::mutex> lock(g_registry->mutex);
        g_registry->slots.push_back(s);
    }
    owner.slot = s;
    t_slot = s;
    return *s;
}

void park_without_gil() {
    Slot& s = slot();
    s.frame.store(kParked, std::memory_order_release);
    ParkDuties::run(s);
    // A sleep, not a wait on a condition: nothing here may be destroyed
    // (and wait for its waiters) when the process ends.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void park_with_gil() {
    slot().frame.store(kParked, std::memory_order_release);
    PyEval_SaveThread();
    park_without_gil();
}

void take_gil_back(PyThreadState* state) {
    UnwindGuard guard;
    PyEval_RestoreThread(state);
    guard.disarm();
}

// A forced unwind passes no throw that AddressSanitizer sees, so the frames
// it unwound stay poisoned, and the stack clean-up ASan inserts before a call
// that never returns trips over them: left out here.
#if defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
void UnwindGuard::park_after_unwind() {
    if (std::uncaught_exceptions() > 0) return;
    park_without_gil();
}

}  // namespace gate

OnPark::OnPark() : owner_(nullptr) { ParkDuties::add(this, gate::slot()); }
OnPark::~OnPark() { ParkDuties::remove(this); }

void install_exit_gate() {
    static bool installed = false;
    if (installed) return;
    py::module_::import("atexit").attr("register")(py::cpp_function([] { gate::on_quit(); }));
#ifndef _WIN32
    pthread_atfork(nullptr, nullptr, gate::after_fork_in_child);
#endif
    installed = true;
}

bool quitting() { return gate::g_quitting.load(std::memory_order_relaxed); }

void stop_if_quitting() {
    gate::Slot& s = gate::slot();
    if (gate::must_park(s)) gate::park_with_gil();
}

void acquire_lock(py::handle lock) {
    gate::Slot& s = gate::slot();
    if (gate::must_park(s)) gate::park_with_gil();
    const unsigned char outer = s.frame.load(std::memory_order_relaxed);
    s.frame.store(gate::kBlocking, std::memory_order_relaxed);
    PyObject* result = parks_on_unwind([&] { return PyObject_CallMethodNoArgs(lock.ptr(), VM_STR("acquire").ptr()); });
    s.frame.store(outer, std::memory_order_relaxed);
    if (!result) throw py::error_already_set();
    Py_DECREF(result);
    if (gate::must_park(s)) {
        // Nobody may wait for a lock that a parked thread holds.
        PyObject* released = PyObject_CallMethodNoArgs(lock.ptr(), VM_STR("release").ptr());
        if (released)
            Py_DECREF(released);
        else
            PyErr_Clear();
        gate::park_with_gil();
    }
}

}  // namespace vm

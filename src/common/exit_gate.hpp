// The exit gate: native code stays out of the interpreter's way when the
// host quits while daemon threads are inside it.
//
// On 3.11, a thread other than the finalising one that takes the GIL back
// once the interpreter has begun to finalise is ended with pthread_exit: a
// forced unwind that runs every C++ destructor on its way up, without the
// GIL, so the first Py_DECREF crashes the process (and a destructor that
// takes the GIL back itself, as gil_scoped_release's does, ends it in
// std::terminate). A thread takes the GIL back when it returns from any call
// that let it go (a socket read, a file write, a sleep, a lock, a queue or
// event wait, a native wait) and now and then inside any Python code it runs.
//
// So every thread keeps a record of its innermost native frame: a C++ body
// (every vm::Function runs one), a blocking call made through the helpers
// below, or none. Each module's atexit hook (install_exit_gate), which runs
// before the interpreter finalises while every thread can still run:
//   1. marks the host as quitting;
//   2. waits, at most kQuitWait, until no other thread is inside a C++ body:
//      each is outside native code, inside a blocking call, or parked;
//   3. does the OnPark duties of every thread inside a blocking call, which
//      may not come back before the process ends;
//   4. closes the gate, and returns.
// From step 1 on, a thread that comes to a blocking call, or comes back from
// one, parks: it lets go of the GIL and sleeps for good without touching
// Python again (its OnPark duties aside), and the process ends around it,
// as it does around a daemon thread blocked in a system call. Once the gate
// is closed, a thread that enters a C++ body parks as well. A forced unwind
// that comes out of a blocking call parks the thread in the frame that made
// the call, before any other destructor runs (gate::UnwindGuard; on Windows
// such a thread ends without unwinding). The finalising thread (the hook's)
// never parks.
//
// What native code does for this: every call that may block (network,
// files, sleeps, waits, joins, dialogs) goes through blocking_call,
// blocking_method or blocking, and native waits run in a WithoutGil scope.
// So does every call into host code, which may take any time: the host's
// callbacks and hooks, and its logging (vm::log, vm::log_with_traceback),
// whose handlers are the host's. No Python lock is held across a blocking
// call, since a parked thread keeps it for good; LockGuard's own acquisition
// lets the lock go again before it parks.
//
// Host code can also be reached where no blocking call is made: a method the
// host overrides, a property, a call under a Python lock, or one made from
// inside the host's own logging (speech, from a handler that speaks), where
// the handler's lock is held. The helpers that call Python on a body's
// behalf (call, call_method, get_attr, set_attr, optional_attr,
// readable_attr) therefore park the thread on a forced unwind as well
// (parks_on_unwind), without the rest of a blocking call: the hook waits for
// such a call as for the body that makes it.
#pragma once

#include <atomic>

#include "pyfunc.hpp"

namespace vm {

// How long the hook waits for threads that are inside a C++ body. They reach
// their next blocking call within microseconds; only host code that a body
// reaches without one (a slow property, an override of the host's) holds one
// longer, and the user waits for the process to end meanwhile.
inline constexpr double kQuitWait = 1.0;  // seconds

// Registers the module's atexit hook (once per module). vm::init_module
// calls it; a module body made with PYBIND11_MODULE calls it itself.
void install_exit_gate();

// True once the host quits: the atexit hook has begun.
bool quitting();

// Parks this thread when the host quits (see above); returns otherwise. For
// the points where a long piece of native work can stop.
void stop_if_quitting();

// Native work a thread still does when it parks for good, without the GIL
// and without touching Python: a file buffer writes out what it holds, so
// the file keeps every byte it was given. An OnPark belongs to the thread
// that made it, which creates and destroys it under the GIL. For a thread
// inside a blocking call when the host quits, the hook does it (with the
// GIL), so native work in a WithoutGil scope leaves every OnPark's state
// alone.
class OnPark {
public:
    OnPark();
    virtual ~OnPark();
    OnPark(const OnPark&) = delete;
    OnPark& operator=(const OnPark&) = delete;

    virtual void on_park() noexcept = 0;

private:
    friend struct ParkDuties;
    OnPark* next_ = nullptr;
    void* owner_;
};

namespace gate {

enum Frame : unsigned char { kNone, kBody, kBlocking, kParked };

struct Slot {
    std::atomic<unsigned char> frame{kNone};
    bool finalising = false;  // the hook's thread; set under the GIL
    OnPark* duties = nullptr;
    std::atomic<bool> duties_done{false};
};

extern constinit thread_local Slot* t_slot;
extern std::atomic<bool> g_quitting;
extern std::atomic<bool> g_closed;

Slot& new_slot();
inline Slot& slot() {
    Slot* s = t_slot;
    return s ? *s : new_slot();
}
inline bool must_park(const Slot& s) { return g_quitting.load(std::memory_order_relaxed) && !s.finalising; }

// Both mark the thread parked and never return.
[[noreturn]] void park_without_gil();
[[noreturn]] void park_with_gil();
// PyEval_RestoreThread(state); a forced unwind there parks the thread.
void take_gil_back(PyThreadState* state);

// Parks the thread (without the GIL, which a forced unwind leaves to the
// finalising thread) when it is destroyed before disarm(): when a forced
// unwind comes out of the call it guards. It is the last object its frame
// makes before the call, so no other destructor runs before it; a C++
// exception, which no C API call lets out, passes.
//
// A destructor and not a handler of abi::__forced_unwind: libstdc++ ends the
// process (std::terminate) when such a handler is entered while the thread
// handles another exception, as a failure does while it logs itself inside
// its catch block; a destructor runs in any case. The function that holds
// the guard must not be noexcept, or its frame ends the process before the
// destructor runs (its callers may be).
class UnwindGuard {
public:
    UnwindGuard() = default;
    ~UnwindGuard() {
        if (armed_) park_after_unwind();
    }
    void disarm() { armed_ = false; }
    UnwindGuard(const UnwindGuard&) = delete;
    UnwindGuard& operator=(const UnwindGuard&) = delete;

private:
    // Returns only while a C++ exception is on its way out.
    static void park_after_unwind();
    bool armed_ = true;
};

// The frame of a blocking call: parks on the way in and on the way out when
// the host quits.
class BlockingFrame {
public:
    BlockingFrame() : slot_(slot()) {
        if (must_park(slot_)) park_with_gil();
        outer_ = slot_.frame.load(std::memory_order_relaxed);
        slot_.frame.store(kBlocking, std::memory_order_relaxed);
    }
    ~BlockingFrame() {
        if (must_park(slot_)) park_with_gil();
        slot_.frame.store(outer_, std::memory_order_relaxed);
    }
    BlockingFrame(const BlockingFrame&) = delete;
    BlockingFrame& operator=(const BlockingFrame&) = delete;

private:
    Slot& slot_;
    unsigned char outer_ = kNone;
};

}  // namespace gate

// The frame of a C++ body, for the function type: once the gate is closed,
// a thread that enters one parks.
class NativeBody {
public:
    NativeBody() : slot_(gate::slot()) {
        if (gate::g_closed.load(std::memory_order_relaxed) && !slot_.finalising) gate::park_with_gil();
        outer_ = slot_.frame.load(std::memory_order_relaxed);
        slot_.frame.store(gate::kBody, std::memory_order_relaxed);
    }
    ~NativeBody() { slot_.frame.store(outer_, std::memory_order_relaxed); }
    NativeBody(const NativeBody&) = delete;
    NativeBody& operator=(const NativeBody&) = delete;

private:
    gate::Slot& slot_;
    unsigned char outer_ = gate::kNone;
};

// A raw C API call that parks the thread when a forced unwind comes out of
// it, before any destructor of its callers runs, and is otherwise just the
// call (it keeps no record and costs nothing). Returns what `call` returns
// (what the C API returns); `call` must own nothing, so that no destructor
// stands between the C API call and the guard.
template <class Call>
auto parks_on_unwind(Call&& call) -> decltype(call()) {
    gate::UnwindGuard guard;
    auto result = call();
    guard.disarm();
    return result;
}

// A raw C API call as a blocking call: `call` returns a new reference, or
// null with an error set, and owns nothing (as for parks_on_unwind).
template <class Call>
PyObject* blocking(Call&& call) {
    gate::BlockingFrame frame;
    return parks_on_unwind(call);
}

namespace gate {
// callable(args...) through `through` (blocking or parks_on_unwind), with the
// arguments pybind11 takes.
template <class Through, class... Args>
py::object call_through(Through&& through, py::handle callable, Args&&... args) {
    auto collected =
        py::detail::collect_arguments<py::return_value_policy::automatic_reference>(std::forward<Args>(args)...);
    py::tuple positional = collected.args();
    py::dict keywords = collected.kwargs();
    PyObject* named = PyDict_GET_SIZE(keywords.ptr()) ? keywords.ptr() : nullptr;
    return steal(through([&] { return PyObject_Call(callable.ptr(), positional.ptr(), named); }));
}
}  // namespace gate

// callable(args...) as a blocking call, with the arguments pybind11 takes
// (handles, values, py::arg("name") = value).
template <class... Args>
py::object blocking_call(py::handle callable, Args&&... args) {
    return gate::call_through([](auto&& call) { return blocking(call); }, callable, std::forward<Args>(args)...);
}

// callable(args...), arguments as for blocking_call, as call_method calls a
// method: no blocking call, but a forced unwind out of it parks the thread.
// For host code that may be slow where the thread must not park on its own
// (under a lock, inside the host's own logging).
template <class... Args>
py::object call(py::handle callable, Args&&... args) {
    return gate::call_through([](auto&& call) { return parks_on_unwind(call); }, callable,
                              std::forward<Args>(args)...);
}

// obj.name(args...) as a blocking call.
template <class... Handles>
py::object blocking_method(py::handle obj, py::handle name, Handles... args) {
    PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
    return steal(blocking([&] {
        return PyObject_VectorcallMethod(name.ptr(), argv, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr);
    }));
}

// Lets go of the GIL for the life of the scope, for native work that never
// touches Python (a wait on a C++ condition, a write to a descriptor), as a
// blocking call. The GIL is taken back at the end of the scope in a frame
// that parks the thread on a forced unwind, where gil_scoped_release's
// destructor would end the process.
class WithoutGil {
public:
    WithoutGil() : slot_(gate::slot()) {
        if (gate::must_park(slot_)) gate::park_with_gil();
        outer_ = slot_.frame.load(std::memory_order_relaxed);
        slot_.frame.store(gate::kBlocking, std::memory_order_relaxed);
        state_ = PyEval_SaveThread();
    }
    ~WithoutGil() {
        gate::take_gil_back(state_);
        if (gate::must_park(slot_)) gate::park_with_gil();
        slot_.frame.store(outer_, std::memory_order_relaxed);
    }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    gate::Slot& slot_;
    unsigned char outer_ = gate::kNone;
    PyThreadState* state_ = nullptr;
};

// lock.acquire() as a blocking call; when the host quits meanwhile, the lock
// is released again before the thread parks.
void acquire_lock(py::handle lock);

}  // namespace vm

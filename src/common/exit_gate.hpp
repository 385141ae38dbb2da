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
//   3. closes the gate, and returns.
// From step 1 on, a thread that comes to a blocking call, or comes back from
// one, parks: it lets go of the GIL and sleeps for good without touching
// Python again (its OnPark duties aside), and the process ends around it,
// as it does around a daemon thread blocked in a system call. Once the gate
// is closed, a thread that enters a C++ body parks as well. A forced unwind
// that comes out of a blocking call is caught in the frame that made the
// call, before any destructor runs, and parks the thread there (libstdc++;
// on Windows such a thread ends without unwinding). The finalising thread
// (the hook's) never parks.
//
// What native code does for this: every call that may block (network,
// files, sleeps, waits, joins, host callbacks, dialogs) goes through
// blocking_call, blocking_method or blocking, and native waits run in a
// WithoutGil scope. No Python lock is held across a blocking call, since a
// parked thread keeps it for good; LockGuard's own acquisition lets the lock
// go again before it parks.
#pragma once

#include <atomic>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define VM_FORCED_UNWIND 1
// A forced unwind is no C++ object: the reference a handler of
// abi::__forced_unwind binds is null, which UBSan's null check reports; and
// it passes no throw that AddressSanitizer sees, so the frames it unwound
// stay poisoned, and the stack clean-up ASan inserts before a call that never
// returns trips over them. The functions with such a handler leave both
// checks out.
#define VM_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("address,null")))
#else
#define VM_CATCHES_FORCED_UNWIND
#endif

#include "pyfunc.hpp"

namespace vm {

// How long the hook waits for threads that are inside a C++ body. They reach
// their next blocking call within microseconds; only host code that a body
// calls without it (a slow logging handler, say) holds one longer, and the
// user waits for the process to end meanwhile.
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
// that made it.
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
[[noreturn]] void park_with_gil();
[[noreturn]] void park_without_gil();
// PyEval_RestoreThread(state); a forced unwind there parks the thread.
void take_gil_back(PyThreadState* state) noexcept;

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

// A raw C API call as a blocking call: `call` returns what the C API returns
// (a new reference, or null with an error set) and must own nothing, so that
// no destructor stands between the call and the frame that catches a forced
// unwind.
template <class Call>
VM_CATCHES_FORCED_UNWIND PyObject* blocking(Call&& call) {
    gate::BlockingFrame frame;
    PyObject* result = nullptr;
#ifdef VM_FORCED_UNWIND
    try {
        result = call();
    } catch (abi::__forced_unwind&) {
        gate::park_without_gil();
    }
#else
    result = call();
#endif
    return result;
}

// callable(args...) as a blocking call, with the arguments pybind11 takes
// (handles, values, py::arg("name") = value).
template <class... Args>
py::object blocking_call(py::handle callable, Args&&... args) {
    auto collected =
        py::detail::collect_arguments<py::return_value_policy::automatic_reference>(std::forward<Args>(args)...);
    py::tuple positional = collected.args();
    py::dict keywords = collected.kwargs();
    PyObject* named = PyDict_GET_SIZE(keywords.ptr()) ? keywords.ptr() : nullptr;
    return steal(blocking([&] { return PyObject_Call(callable.ptr(), positional.ptr(), named); }));
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

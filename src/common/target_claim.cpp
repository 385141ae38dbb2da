// Targets in use (see target_claim.hpp): one table for the module's
// process, plain C++, read and changed under its own mutex and never with
// the GIL held while waiting.
#include "target_claim.hpp"

#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "exit_gate.hpp"
#include "process_state.hpp"

namespace vm {

struct TargetClaim::Table {
    std::mutex mutex;
    std::condition_variable freed;
    std::unordered_set<std::string> busy;
};

namespace {

ProcessWide<TargetClaim::Table> g_targets;

}  // namespace

std::string target_key(py::handle os_path, py::handle folder, py::handle stem) {
    py::object folder_text =
        call_method(os_path, VM_STR("normcase"), call_method(os_path, VM_STR("abspath"), py::str(folder)));
    py::object key = concat({call_method(folder_text, VM_STR("casefold")), py::str("\n"),
                             call_method(stem, VM_STR("casefold"))});
    py::bytes raw = call_method(key, VM_STR("encode"), py::str("utf-8"), py::str("surrogatepass"));
    return std::string(raw);
}

bool TargetClaim::try_claim(const std::string& key, std::chrono::milliseconds slice) {
    WithoutGil nogil;
    Table& t = *g_targets;
    std::unique_lock<std::mutex> lock(t.mutex);
    if (!t.freed.wait_for(lock, slice, [&] { return t.busy.count(key) == 0; })) return false;
    t.busy.insert(key);
    key_ = key;
    table_ = &t;
    return true;
}

bool TargetClaim::claim_unless_cancelled(const std::string& key, py::handle cancel_flag) {
    while (!try_claim(key, std::chrono::milliseconds(500)))
        if (truthy(call_method(cancel_flag, VM_STR("is_set")))) return false;
    return true;
}

void TargetClaim::release() {
    Table* t = table_;
    table_ = nullptr;
    // A claim from before a fork: the child's table never had it, and may
    // have given the key to a transfer of its own since.
    if (!t || t != g_targets.get()) return;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->busy.erase(key_);
    }
    t->freed.notify_all();
}

}  // namespace vm

// Targets in use: two transfers into the same target run one after the
// other, whichever downloaders (and transfer engines) they belong to.
//
// A target is a folder and a file stem: the stem, not the whole name, since
// every file of a transfer is named after it (a partial file, a download
// whose extension the server or the chosen format decides, a converted
// file) and an extension may change during a transfer. The key is case-
// folded, so two spellings that name one file on a case-insensitive disk
// wait for each other too.
//
//   vm::TargetClaim claim;
//   if (!claim.claim_unless_cancelled(vm::target_key(os_path, folder, stem), cancel_flag))
//       ... cancelled while it waited: end the task, nothing was touched ...
//   ... transfer; the target is free again when `claim` ends ...
#pragma once

#include <chrono>
#include <string>

#include "pyfunc.hpp"

namespace vm {

// The key of the target `stem` in `folder`:
// os_path.normcase(os_path.abspath(str(folder))).casefold() + "\n" + stem.casefold(),
// as UTF-8 (lone surrogates kept). `os_path` is the os.path module the
// caller looks up.
std::string target_key(py::handle os_path, py::handle folder, py::handle stem);

// Holds one target for as long as it lives. Waiting releases the GIL and is
// a blocking call of the exit gate. The child of a fork starts with no
// target held (process_state.hpp), and a claim the forking thread held goes
// with the parent's table.
class TargetClaim {
public:
    struct Table;  // the targets in use

    TargetClaim() = default;
    TargetClaim(const TargetClaim&) = delete;
    TargetClaim& operator=(const TargetClaim&) = delete;
    ~TargetClaim() { release(); }

    // Waits up to `slice` for the target; true once it is ours.
    bool try_claim(const std::string& key, std::chrono::milliseconds slice);
    // Waits until the target is ours (true), looking at `cancel_flag` (an
    // event: cancel_flag.is_set()) every 0.5 seconds while it waits; false
    // once the flag is set and the target is still another's.
    bool claim_unless_cancelled(const std::string& key, py::handle cancel_flag);
    void release();

private:
    std::string key_;
    Table* table_ = nullptr;  // where the key is held, when it is
};

}  // namespace vm

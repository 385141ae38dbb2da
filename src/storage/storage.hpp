// data.storage: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

#include <vector>

#include <functional>
#include <string>
#include <string_view>

namespace velmora::storage {
namespace py = pybind11;

// encoder.cpp: the data file's text, exactly as
// json.dumps(document, indent=4, ensure_ascii=False) writes it.
py::str encode_document(py::handle document);
// The same text as UTF-8 bytes, ready for writing; `newline` replaces every
// line break of the layout (pass "\r\n" to write as Windows text files do).
// Both raise what json.dumps raises, and UnicodeEncodeError, as
// json.dumps(...).encode("utf-8") does, for text holding lone surrogates.
std::string encode_document_utf8(py::handle document, std::string_view newline = "\n");
// The native encoder alone: false, with `out` in an unspecified state, for a
// document it leaves to json.dumps (other types and subclasses, cycles, bad
// keys, surrogates, very deep nesting, ints too long for their text).
bool encode_native(py::handle document, std::string& out, std::string_view newline = "\n");

// consolidated.cpp: ConsolidatedStorage.
void define_consolidated_storage(py::module_& m);
// The lock that serialises the loads, saves and changes of `store`, a
// ConsolidatedStorage instance; None for any other object.
py::object data_lock_of(py::handle store, const py::module_& m);
// How many times `store`, a ConsolidatedStorage instance, has replaced its
// file in this process; -1 for any other object.
long long file_replacements(py::handle store);
// data_storage.cpp: DataStorage.
void define_data_storage(py::module_& m);

// data_storage.cpp: pieces every section store uses.
// `body` (one change of `view.data` and its save) run while holding the lock
// the view's consolidated store serialises its changes and saves with; a
// stand-in in the store's place has none, and the body runs unlocked.
vm::Body locked(const py::module_& m, vm::Body body);
// The local time now as ISO text, through the module's `datetime` as it is
// bound at this moment (tests and the host may replace it).
py::object now_text(py::handle module);
using vm::compare;
// A change of a store's maps followed by its save. What the change touches
// is remembered before it changes; when the save raises before the data file
// took the change, it all gets back what it held before the error goes on,
// so memory and file agree (and a value that cannot be written does not stay
// to break every later save of the data file). When the file took it (an
// interrupt after the replace), the change stays. The owner is a section
// view or the consolidated store itself; a view whose store is a stand-in
// that counts no replacements undoes only when the save raises an Exception.
class SavedChange {
public:
    explicit SavedChange(py::handle owner) : owner_(owner) {}
    // Remembers container[key] as it is now; for a dict, the whole of it.
    void keep(py::handle container, py::handle key);
    // keep(), then container[key] = value.
    void set(py::handle container, py::handle key, py::handle value);
    // Remembers the items of `list` (a list; anything else is left alone)
    // as they are now; an undo puts them back into the same list object
    // (list[:] = items), which the host may hold.
    void keep_items(py::handle list);
    // Remembers the attribute `name` of `object` as it is now.
    void keep_attribute(py::handle object, const char* name);
    // owner.save(); returns what it returned.
    py::object save();

private:
    struct Entry {
        enum Kind {
            kItem,       // container[key] was previous (null: absent)
            kMap,        // the dict container held the items of the dict previous
            kItems,      // the list container held the items of the list previous
            kAttribute,  // container.key was previous
        } kind;
        py::object container, key, previous;
    };
    void undo() noexcept;

    py::handle owner_;
    std::vector<Entry> entries_;
};
// Adds __init__(self, data_folder=None) to a section store: DataStorage's
// __init__ for `section`, then self.load(), then `after(self)` when given
// (a store that fills a new section with its defaults does it there).
void add_section_init(vm::ClassBuilder& b, const char* section,
                      std::function<void(py::handle self)> after = nullptr);

// The section stores, each a subclass of DataStorage.
void define_subscription_storage(py::module_& m);       // subscriptions.cpp
void define_playback_and_bookmarks(py::module_& m);     // positions.cpp
void define_radio_station_storage(py::module_& m);      // radio.cpp
void define_download_metadata_storage(py::module_& m);  // download_records.cpp
void define_spotify_credentials_storage(py::module_& m);  // spotify_credentials.cpp
void define_spotify_storage(py::module_& m);            // spotify_data.cpp
void define_quietshelf_download_tracking(py::module_& m);  // quietshelf_tracking.cpp

}  // namespace velmora::storage

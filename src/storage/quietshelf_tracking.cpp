// QuietshelfDownloadTracking: the downloads of the current local day against
// DAILY_DOWNLOAD_LIMIT, and the total, in the section "quietshelf_downloads".
// The store only counts; keeping to the limit is the caller's decision.
#include "storage.hpp"

#include <initializer_list>
#include <utility>

namespace velmora::storage {
namespace {

constexpr const char* kSection = "quietshelf_downloads";

py::object data_of(py::handle self) { return self.attr("data"); }

py::object count_of(py::handle self, const char* key) { return data_of(self).attr("get")(key, py::int_(0)); }

// data[key] = value for each pair, then save(), undone when the save raises.
void change_and_save(py::handle self, std::initializer_list<std::pair<const char*, py::object>> changes) {
    py::object data = data_of(self);
    SavedChange change(self);
    for (const auto& [key, value] : changes) change.set(data, py::str(key), value);
    change.save();
}

// A new (or empty) section starts with zero counts, saved at once.
void fill_new_section(py::handle self) {
    if (!vm::truthy(data_of(self))) {
        py::dict data;
        data["last_download_date"] = py::none();
        data["downloads_today"] = py::int_(0);
        data["total_downloads"] = py::int_(0);
        self.attr("data") = data;
        self.attr("save")();
    }
}

// The day count belongs to "last_download_date"; any other date than today's
// (earlier, later after the clock was set back, none) starts it again at 0.
py::object reset_if_new_day(py::handle mod, const vm::Args& a) {
    py::handle self = a.self();
    py::object today = vm::global(mod, "datetime").attr("now")().attr("date")().attr("isoformat")();
    py::object data = data_of(self);
    py::object last_date = data.attr("get")("last_download_date");
    if (compare(last_date, today, Py_NE))
        change_and_save(self, {{"last_download_date", today}, {"downloads_today", py::int_(0)}});
    return py::none();
}

py::object can_download(const vm::Args& a) {
    py::handle self = a.self();
    self.attr("_reset_if_new_day")();
    py::object downloads_today = count_of(self, "downloads_today");
    py::object limit = self.attr("DAILY_DOWNLOAD_LIMIT");
    py::object left = vm::steal(PyNumber_Subtract(limit.ptr(), downloads_today.ptr()));
    py::object remaining = compare(left, py::int_(0), Py_GT) ? left : py::int_(0);
    bool allowed = compare(downloads_today, limit, Py_LT);
    return py::make_tuple(py::bool_(allowed), remaining);
}

py::object increment_download_count(const vm::Args& a) {
    py::handle self = a.self();
    self.attr("_reset_if_new_day")();
    py::int_ one(1);
    py::object today = vm::steal(PyNumber_Add(count_of(self, "downloads_today").ptr(), one.ptr()));
    py::object total = vm::steal(PyNumber_Add(count_of(self, "total_downloads").ptr(), one.ptr()));
    change_and_save(self, {{"downloads_today", today}, {"total_downloads", total}});
    return py::none();
}

py::object get_downloads_today(const vm::Args& a) {
    py::handle self = a.self();
    self.attr("_reset_if_new_day")();
    return count_of(self, "downloads_today");
}

py::object get_total_downloads(const vm::Args& a) { return count_of(a.self(), "total_downloads"); }

}  // namespace

void define_quietshelf_download_tracking(py::module_& m) {
    py::handle mod = m;  // the module outlives its classes
    vm::ClassBuilder b(m, "QuietshelfDownloadTracking", "Storage for tracking daily Quietshelf download limits.",
                       py::make_tuple(m.attr("DataStorage")));
    b.attr("DAILY_DOWNLOAD_LIMIT", py::int_(25));
    add_section_init(b, kSection, fill_new_section);
    b.method("_reset_if_new_day", {vm::self()}, locked(m, [mod](const vm::Args& a) { return reset_if_new_day(mod, a); }),
             "Reset download counter if it's a new day.");
    b.method("can_download", {vm::self()}, locked(m, can_download),
             "Check if user can download more items today.\n"
             "\n"
             "        Returns:\n"
             "            (bool: can_download, int: remaining_downloads)\n"
             "        ");
    b.method("increment_download_count", {vm::self()}, locked(m, increment_download_count),
             "Increment the download count for today.");
    b.method("get_downloads_today", {vm::self()}, get_downloads_today, "Get the number of downloads made today.");
    b.method("get_total_downloads", {vm::self()}, get_total_downloads,
             "Get the total number of downloads ever made.");
    b.build();
}

}  // namespace velmora::storage

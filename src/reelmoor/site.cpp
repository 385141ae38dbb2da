// What the site operations of ReelmoorClient share: the site's texts, the
// one yt-dlp call each makes, their failure handling and mapping reads.
#include <string>
#include <vector>

#include "exit_gate.hpp"
#include "reelmoor.hpp"
#include "video_site.hpp"

namespace velmora::reelmoor {
namespace {

namespace site = velmora::video_site;

py::object utf8(const std::string& text) {
    return vm::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The marker that `get` hands back for an absent key of a mapping that is
// not a dict.
py::handle absent() {
    static PyObject* marker = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return marker;
}

// A plain int that fits 64 bits.
bool plain_int(py::handle value, long long& out) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow || (out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

const SiteTexts& site_texts() {
    // Made under the GIL at module load and kept for the process.
    static const SiteTexts* texts = new SiteTexts{
        utf8(site::watch_prefix()),   utf8(site::channel_prefix()),          utf8(site::handle_prefix()),
        utf8(site::results_prefix()), utf8(std::string(site::kSearchPrefix)), utf8(std::string(site::kChannelExtractorKey)),
    };
    return *texts;
}

py::object watch_address(py::handle video_id) {
    const py::object& prefix = site_texts().watch_prefix;
    if (PyUnicode_CheckExact(video_id.ptr())) return vm::steal(PyUnicode_Concat(prefix.ptr(), video_id.ptr()));
    return vm::text(prefix, video_id);
}

// The site operations run on the host's threads, daemon threads among them,
// and their imports and yt-dlp's work may take long: blocking calls
// (exit_gate.hpp).
py::object import_yt_dlp() { return vm::steal(vm::blocking([] { return PyImport_ImportModule("yt_dlp"); })); }

py::dict listing_options() {
    py::dict options;
    for (const char* key : {"quiet", "no_warnings", "extract_flat", "skip_download"}) options[key] = py::bool_(true);
    return options;
}

py::object extract_without_download(py::handle yt_dlp, py::handle options, py::handle address) {
    py::object info = with_downloader(yt_dlp, options, [&](py::handle ydl) { return extract_info(ydl, address); });
    return info ? info : py::none();
}

py::object with_downloader(py::handle yt_dlp, py::handle options, const std::function<py::object(py::handle)>& body) {
    py::object ydl = vm::get_attr(yt_dlp, VM_STR("YoutubeDL"))(options);
    return vm::with_context(ydl, body);
}

py::object extract_info(py::handle ydl, py::handle address) {
    return vm::blocking_call(vm::get_attr(ydl, VM_STR("extract_info")), address, py::arg("download") = false);
}

void download(py::handle yt_dlp, py::handle options, py::handle address) {
    py::list addresses;
    addresses.append(address);
    with_downloader(yt_dlp, options,
                    [&](py::handle ydl) { return vm::blocking_method(ydl, VM_STR("download"), addresses); });
}

py::object logger(py::handle module) { return vm::get_attr(module, VM_STR("logger")); }

py::object guarded(py::handle module, py::object failure, bool with_traceback,
                   const std::function<py::object(py::handle)>& message, const std::function<py::object()>& body) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ImportError)) {
            vm::log(logger(module), "error", VM_STR("yt-dlp not installed"));
            return failure;
        }
        if (!vm::is_exception(e)) throw;
        py::object line = message(vm::error_str(e));
        if (with_traceback)
            vm::log_with_traceback(logger(module), "error", line, e);
        else
            vm::log(logger(module), "error", line);
        return failure;
    }
}

py::object get(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return vm::call_method(mapping, VM_STR("get"), key, fallback);
}

py::object lookup(py::handle mapping, py::handle key) {
    py::object value = get(mapping, key, absent());
    return value.is(absent()) ? py::object() : value;
}

py::object first_truthy(py::handle mapping, std::initializer_list<py::handle> keys, py::handle fallback) {
    for (py::handle key : keys) {
        py::object value = get(mapping, key, Py_None);
        if (vm::truthy(value)) return value;
    }
    return py::reinterpret_borrow<py::object>(fallback);
}

namespace {
py::handle interned_tuple(std::initializer_list<const char*> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple, i++, PyUnicode_InternFromString(name));
    return tuple;  // kept for the process
}
}  // namespace

py::handle video_keywords() {
    static py::handle names = interned_tuple({"video_id", "title", "channel", "duration", "view_count", "url"});
    return names;
}

py::handle channel_keywords() {
    static py::handle names = interned_tuple({"channel_id", "name", "url", "subscriber_count", "video_count",
                                              "description", "subscriber_text", "video_count_text"});
    return names;
}

py::object call_with_keywords(py::handle callable, py::handle names, std::initializer_list<py::handle> values) {
    std::vector<PyObject*> argv;
    argv.reserve(values.size());
    for (py::handle v : values) argv.push_back(v.ptr());
    return vm::steal(PyObject_Vectorcall(callable.ptr(), argv.data(), 0, names.ptr()));
}

bool less(long long left, py::handle right) {
    long long r;
    if (plain_int(right, r)) return left < r;
    return vm::compare(py::int_(left), right, Py_LT);
}

bool at_least(long long left, py::handle right) {
    long long r;
    if (plain_int(right, r)) return left >= r;
    return vm::compare(py::int_(left), right, Py_GE);
}

std::vector<vm::Param> page_parameters(const char* first) {
    py::object int_type = vm::type_object(&PyLong_Type);
    std::vector<vm::Param> params;
    params.push_back(vm::self());
    params.push_back(vm::arg(first).text_ann());
    params.push_back(vm::arg("max_results").ann(int_type).def(py::int_(20)));
    params.push_back(vm::arg("offset").ann(int_type).def(py::int_(0)));
    return params;
}

}  // namespace velmora::reelmoor

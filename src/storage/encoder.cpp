// The data file's text.
//
// The file must read exactly as json.dumps(document, indent=4,
// ensure_ascii=False) writes it. With an indent json.dumps runs its
// pure-Python encoder, which takes tens of milliseconds for a data file of a
// few megabytes, and the whole file is rewritten on every change. So the
// common case is written here, straight into a UTF-8 buffer: exact dicts,
// lists, tuples, ints, floats, True, False, None and strings. The encoder
// only reads those objects and never runs Python code, so it can give up at
// any point without side effects. It gives up on everything whose text
// json.dumps would have to work out with Python code or would refuse (other
// types, subclasses other than str, cycles, bad keys, lone surrogates, very
// deep nesting), and the whole document then goes through json.dumps itself:
// the same text, or the same error, by construction.
#include <atomic>
#include <cstring>
#include <vector>

#include "json_text.hpp"
#include "storage.hpp"

namespace velmora::storage {
namespace {

namespace jt = velmora::json_text;

// Deeper documents go to json.dumps, so that nesting deep enough for its
// RecursionError gets the same error.
constexpr std::size_t kMaxDepth = 100;

class NativeEncoder {
public:
    NativeEncoder(std::string& out, std::string_view newline) : out_(out), newline_(newline) {}

    bool value(PyObject* o) {
        if (PyUnicode_Check(o)) return string(o);
        PyTypeObject* type = Py_TYPE(o);
        if (type == &PyDict_Type) return mapping(o);
        if (type == &PyList_Type) return sequence(o, PySequence_Fast_ITEMS(o), PyList_GET_SIZE(o));
        if (type == &PyLong_Type) return integer(o);
        if (type == &PyFloat_Type) {
            jt::append_float(out_, PyFloat_AS_DOUBLE(o));
            return true;
        }
        if (o == Py_None) {
            out_.append("null", 4);
            return true;
        }
        if (o == Py_True) {
            out_.append("true", 4);
            return true;
        }
        if (o == Py_False) {
            out_.append("false", 5);
            return true;
        }
        if (type == &PyTuple_Type) return sequence(o, PySequence_Fast_ITEMS(o), PyTuple_GET_SIZE(o));
        return false;
    }

private:
    // Any str, subclasses too: json.dumps writes their characters as they are
    // stored, whatever the subclass defines.
    bool string(PyObject* s) {
        if (PyUnicode_READY(s) < 0) {
            PyErr_Clear();
            return false;
        }
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                return jt::append_string(out_, static_cast<const std::uint8_t*>(data), n);
            case PyUnicode_2BYTE_KIND:
                return jt::append_string(out_, static_cast<const std::uint16_t*>(data), n);
            default:
                return jt::append_string(out_, static_cast<const std::uint32_t*>(data), n);
        }
    }

    bool integer(PyObject* o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            jt::append_int(out_, v);
            return true;
        }
        // Beyond 64 bits: int's own text, which also enforces the
        // interpreter's limit on the number of digits.
        PyObject* text = PyLong_Type.tp_repr(o);
        if (!text) {
            PyErr_Clear();
            return false;
        }
        Py_ssize_t size = 0;
        const char* digits = PyUnicode_AsUTF8AndSize(text, &size);
        if (digits) out_.append(digits, size);
        else PyErr_Clear();
        Py_DECREF(text);
        return digits != nullptr;
    }

    // Map keys as json.dumps turns them into member names.
    bool key(PyObject* k) {
        if (PyUnicode_Check(k)) return string(k);
        PyTypeObject* type = Py_TYPE(k);
        if (type == &PyFloat_Type) {
            // NaN, Infinity or a repr: never anything to escape.
            out_.push_back('"');
            jt::append_float(out_, PyFloat_AS_DOUBLE(k));
            out_.push_back('"');
            return true;
        }
        const char* word = k == Py_True    ? "\"true\""
                           : k == Py_False ? "\"false\""
                           : k == Py_None  ? "\"null\""
                                           : nullptr;
        if (word) {
            out_.append(word);
            return true;
        }
        if (type == &PyLong_Type) {
            out_.push_back('"');
            if (!integer(k)) return false;
            out_.push_back('"');
            return true;
        }
        return false;
    }

    bool enter(PyObject* container) {
        if (open_.size() >= kMaxDepth) return false;
        for (PyObject* o : open_)
            if (o == container) return false;  // a cycle
        open_.push_back(container);
        return true;
    }

    void line_break(std::size_t level) {
        out_.append(newline_);
        out_.append(4 * level, ' ');
    }

    bool sequence(PyObject* seq, PyObject* const* items, Py_ssize_t n) {
        if (n == 0) {
            out_.append("[]", 2);
            return true;
        }
        if (!enter(seq)) return false;
        const std::size_t level = open_.size();
        out_.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out_.push_back(',');
            line_break(level);
            if (!value(items[i])) return false;
        }
        open_.pop_back();
        line_break(level - 1);
        out_.push_back(']');
        return true;
    }

    bool mapping(PyObject* d) {
        if (PyDict_GET_SIZE(d) == 0) {
            out_.append("{}", 2);
            return true;
        }
        if (!enter(d)) return false;
        const std::size_t level = open_.size();
        out_.push_back('{');
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        bool first = true;
        while (PyDict_Next(d, &pos, &k, &v)) {
            if (!first) out_.push_back(',');
            first = false;
            line_break(level);
            if (!key(k)) return false;
            out_.append(": ", 2);
            if (!value(v)) return false;
        }
        open_.pop_back();
        line_break(level - 1);
        out_.push_back('}');
        return true;
    }

    std::string& out_;
    std::string_view newline_;
    std::vector<PyObject*> open_;  // the containers being written, outermost first
};

// The size of the last document, so the next buffer rarely has to grow.
std::atomic<std::size_t> last_size{0};

py::object dumps(py::handle document) {
    return py::module_::import("json").attr("dumps")(document, py::arg("indent") = 4,
                                                     py::arg("ensure_ascii") = false);
}

// The UTF-8 form of json.dumps's text, raising as str.encode("utf-8") does.
py::bytes utf8_of(py::handle text) {
    PyObject* bytes = PyUnicode_AsUTF8String(text.ptr());
    if (!bytes) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes);
}

// The str of a UTF-8 text that the encoder wrote (so known to be well
// formed), made in one pass after the scan that finds its width; faster than
// the general decoder on text that is mostly ASCII.
template <class Unit>
void widen(const unsigned char* p, const unsigned char* end, Unit* out) {
    while (p < end) {
        const std::uint32_t b = *p;
        if (b < 0x80) {
            *out++ = Unit(b);
            p += 1;
        } else if (b < 0xE0) {
            *out++ = Unit(((b & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (b < 0xF0) {
            *out++ = Unit(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            *out++ = Unit(((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                          (p[3] & 0x3F));
            p += 4;
        }
    }
}

py::str str_from_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    std::size_t count = 0;
    unsigned char top = 0;
    for (const auto* q = p; q < end; ++q) {
        count += (*q & 0xC0) != 0x80;
        top = *q > top ? *q : top;
    }
    // The highest lead byte tells the widest character.
    const Py_UCS4 max_char = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(count), max_char);
    if (!str) throw py::error_already_set();
    void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            if (max_char == 0x7F) std::memcpy(data, p, text.size());
            else widen(p, end, static_cast<Py_UCS1*>(data));
            break;
        case PyUnicode_2BYTE_KIND:
            widen(p, end, static_cast<Py_UCS2*>(data));
            break;
        default:
            widen(p, end, static_cast<Py_UCS4*>(data));
    }
    return py::reinterpret_steal<py::str>(str);
}

bool has_surrogate(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

}  // namespace

bool encode_native(py::handle document, std::string& out, std::string_view newline) {
    out.clear();
    const std::size_t hint = last_size.load(std::memory_order_relaxed);
    out.reserve(hint + hint / 8 + 256);
    NativeEncoder encoder(out, newline);
    if (!encoder.value(document.ptr())) return false;
    last_size.store(out.size(), std::memory_order_relaxed);
    return true;
}

std::string encode_document_utf8(py::handle document, std::string_view newline) {
    std::string out;
    if (encode_native(document, out, newline)) return out;
    out.clear();
    py::bytes bytes = utf8_of(dumps(document));
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(bytes.ptr(), &data, &size);
    if (newline == "\n") return std::string(data, size);
    // json.dumps writes line breaks only between members and elements (a
    // line break inside a string is always escaped).
    out.reserve(size + size / 8);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (data[i] == '\n') out.append(newline);
        else out.push_back(data[i]);
    }
    return out;
}

py::str encode_document(py::handle document) {
    std::string out;
    if (encode_native(document, out)) return str_from_utf8(out);
    py::object text = dumps(document);
    if (!PyUnicode_Check(text.ptr())) return py::str(text);
    if (has_surrogate(text.ptr())) utf8_of(text);  // raises the encoding error
    return py::reinterpret_borrow<py::str>(text);
}

}  // namespace velmora::storage

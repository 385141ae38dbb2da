#include "body_chunks.hpp"

#include <algorithm>
#include <cstring>

#include "exit_gate.hpp"

namespace vm {
namespace {

// The content codings the reader decodes itself.
enum class Coding { Gzip, Deflate, Brotli };

// The most asked of one read. Large enough that a fast network fills few
// reads per megabyte, small enough to stay an ordinary heap block (the read
// gives a bytes object of this size, cut down to what arrived).
constexpr Py_ssize_t kReadSize = 256 * 1024;

// sys.modules[name], or null when it has not been imported (nothing is imported).
py::object loaded_module(const char* name) {
    py::str key(name);
    PyObject* module = PyImport_GetModule(key.ptr());
    if (!module && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(module);
}

bool exact_type(py::handle obj, py::handle module, const char* type_name) {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == module.attr(type_name).ptr();
}

// `name in vars(obj)`.
bool in_instance_dict(py::handle obj, const char* name) {
    py::object dict = steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
    PyObject* item = PyDict_GetItemString(dict.ptr(), name);
    return item != nullptr;
}

bool is_ascii_text(py::handle value, const char* text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// The response's class still has requests' own iter_content.
bool own_iter_content(py::handle response) {
    py::object found = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(response.ptr())), VM_STR("iter_content"));
    if (!PyFunction_Check(found.ptr())) return false;
    return is_ascii_text(get_attr(found, VM_STR("__qualname__")), "Response.iter_content") &&
           is_ascii_text(get_attr(found, VM_STR("__module__")), "requests.models");
}

py::object py_size(long long v) { return steal(PyLong_FromLongLong(v)); }

// urllib3's errors as requests' iter_content raises them.
[[noreturn]] void raise_as_requests(py::error_already_set& error) {
    static const char* const kAs[][2] = {{"ProtocolError", "ChunkedEncodingError"},
                                         {"DecodeError", "ContentDecodingError"},
                                         {"ReadTimeoutError", "ConnectionError"},
                                         {"SSLError", "RequestsSSLError"}};
    py::object models = loaded_module("requests.models");
    if (models) {
        for (const auto& as : kAs) {
            if (!error.matches(models.attr(as[0]))) continue;
            py::object raised = models.attr(as[1])(error.value());
            HandledException handled(error);  // the new error's __context__, as in an except block
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
            throw py::error_already_set();
        }
    }
    throw error;
}

// requests' own Response, its iter_content replaced neither on the instance
// nor on the class, its body not yet read; with urllib3's response under it,
// whose read and stream are its class's own. Null when not.
py::object own_urllib3_body(py::handle response) {
    py::object models = loaded_module("requests.models");
    py::object urllib3_response = loaded_module("urllib3.response");
    if (!models || !urllib3_response) return py::object();
    int is_response = PyObject_IsInstance(response.ptr(), models.attr("Response").ptr());
    if (is_response < 0) throw py::error_already_set();
    if (!is_response || !own_iter_content(response) || in_instance_dict(response, "iter_content")) return py::object();
    if (get_attr(response, VM_STR("_content")).ptr() != Py_False ||
        get_attr(response, VM_STR("_content_consumed")).ptr() != Py_False)
        return py::object();
    py::object raw = get_attr(response, VM_STR("raw"));
    if (!exact_type(raw, urllib3_response, "HTTPResponse") || in_instance_dict(raw, "read") ||
        in_instance_dict(raw, "stream"))
        return py::object();
    return raw;
}

// The brotli module urllib3 decodes "br" with (it takes brotlicffi first),
// when it has one whose decompressor tells that its stream ended; null
// otherwise. Nothing is imported: urllib3 has imported it already.
py::object brotli_module() {
    for (const char* name : {"brotlicffi", "brotli"}) {
        py::object module = loaded_module(name);
        if (!module) continue;
        py::object decompressor = module.attr("Decompressor")();
        if (readable_attr(decompressor, VM_STR("process")) && readable_attr(decompressor, VM_STR("is_finished")))
            return module;
        return py::object();
    }
    return py::object();
}

// The coding of a body that urllib3 decodes and the reader can decode as it
// does: `raw.headers.get("content-encoding", "").lower()`, as urllib3 reads
// it, being "gzip", "deflate" or "br", among the codings urllib3 decodes;
// `library` is the module that decodes it (zlib or brotli). False for any
// other coding, and for a list of codings.
bool own_coding(py::handle raw, Coding& kind, py::object& library) {
    py::object coding =
        call_method(get_attr(raw, VM_STR("headers")), VM_STR("get"), VM_STR("content-encoding"), VM_STR(""));
    if (!PyUnicode_Check(coding.ptr())) return false;
    coding = call_method(coding, VM_STR("lower"));
    if (is_ascii_text(coding, "gzip"))
        kind = Coding::Gzip;
    else if (is_ascii_text(coding, "deflate"))
        kind = Coding::Deflate;
    else if (is_ascii_text(coding, "br"))
        kind = Coding::Brotli;
    else
        return false;
    if (!contains(get_attr(raw, VM_STR("CONTENT_DECODERS")), coding)) return false;
    library = kind == Coding::Brotli ? brotli_module() : py::module_::import("zlib");
    return bool(library);
}

}  // namespace

// ---------------------------------------------------------------------------
// The native reader.

class BodyChunks::Native {
public:
    // A reader for the response, or null when it must go through iter_content.
    static std::unique_ptr<Native> open(py::handle response, Py_ssize_t chunk_size);
    ~Native();

    bool next(const char*& data, Py_ssize_t& size);

private:
    Native(py::handle response, py::object raw, py::object http, Py_ssize_t chunk_size, long long remaining,
           long long fp_bytes_read, py::object length_remaining);

    bool hand(const char* from, Py_ssize_t n, const char*& data, Py_ssize_t& size);
    bool read_more();
    void sync_counts();
    void finish();
    [[noreturn]] void raise_read_error(py::error_already_set& error);

    py::object response_;
    py::object raw_;   // urllib3's response
    py::object http_;  // http.client's response under it
    const Py_ssize_t chunk_size_;
    long long remaining_;  // body bytes still to come; -1 until the connection closes
    bool more_ = true;     // a read may still give bytes
    bool eof_ = false;     // a read found the connection closed
    bool done_ = false;
    long long bytes_read_ = 0;
    long long handed_ = 0;  // bytes handed out as chunks
    long long synced_ = 0;  // of those, bytes in urllib3's counts
    long long fp_bytes_read_;
    py::object length_remaining_;  // None when the length is unknown

    // The last read's bytes, and how far they have been handed out.
    py::object block_;
    const char* block_data_ = nullptr;
    Py_ssize_t block_len_ = 0;
    Py_ssize_t block_pos_ = 0;
    // A chunk that spans two reads is put together here.
    std::unique_ptr<char[]> carry_;
    Py_ssize_t carry_used_ = 0;
};

std::unique_ptr<BodyChunks::Native> BodyChunks::Native::open(py::handle response, Py_ssize_t chunk_size) {
    if (chunk_size <= 0) return nullptr;
    py::object http_client = loaded_module("http.client");
    if (!http_client) return nullptr;
    py::object raw = own_urllib3_body(response);
    if (!raw) return nullptr;

    // urllib3's response, reading neither chunks nor a decoded body.
    if (truthy(get_attr(raw, VM_STR("chunked"))) || !get_attr(raw, VM_STR("_decoder")).is_none() ||
        !PyCallable_Check(get_attr(raw, VM_STR("_error_catcher")).ptr()))
        return nullptr;
    py::object encoding = call_method(get_attr(raw, VM_STR("headers")), VM_STR("get"), py::str("content-encoding"));
    if (!encoding.is_none()) {
        if (!PyUnicode_Check(encoding.ptr())) return nullptr;
        if (!is_ascii_text(call_method(encoding, VM_STR("lower")), "identity")) return nullptr;
    }
    py::object fp_bytes_read = get_attr(raw, VM_STR("_fp_bytes_read"));
    py::object length_remaining = get_attr(raw, VM_STR("length_remaining"));
    if (!PyLong_CheckExact(fp_bytes_read.ptr()) ||
        !(length_remaining.is_none() || PyLong_CheckExact(length_remaining.ptr())))
        return nullptr;

    // http.client's response, still open, with a plain body.
    py::object http = get_attr(raw, VM_STR("_fp"));
    if (!exact_type(http, http_client, "HTTPResponse") || get_attr(raw, VM_STR("_original_response")).ptr() != http.ptr())
        return nullptr;
    if (get_attr(http, VM_STR("fp")).is_none() || truthy(get_attr(http, VM_STR("chunked"))) ||
        is_ascii_text(get_attr(http, VM_STR("_method")), "HEAD"))
        return nullptr;
    py::object length = get_attr(http, VM_STR("length"));
    long long remaining = -1;
    if (!length.is_none()) {
        if (!PyLong_CheckExact(length.ptr())) return nullptr;
        int overflow = 0;
        remaining = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
        if (overflow || remaining < 0) return nullptr;
    }
    int overflow = 0;
    long long fp_count = PyLong_AsLongLongAndOverflow(fp_bytes_read.ptr(), &overflow);
    if (overflow) return nullptr;
    return std::unique_ptr<Native>(
        new Native(response, raw, http, chunk_size, remaining, fp_count, length_remaining));
}

BodyChunks::Native::Native(py::handle response, py::object raw, py::object http, Py_ssize_t chunk_size,
                           long long remaining, long long fp_bytes_read, py::object length_remaining)
    : response_(py::reinterpret_borrow<py::object>(response)),
      raw_(std::move(raw)),
      http_(std::move(http)),
      chunk_size_(chunk_size),
      remaining_(remaining),
      more_(remaining != 0),
      fp_bytes_read_(fp_bytes_read),
      length_remaining_(std::move(length_remaining)),
      carry_(new char[static_cast<size_t>(chunk_size)]) {}

// A transfer that stops early (a cancel) leaves the counts as they would be.
BodyChunks::Native::~Native() {
    try {
        sync_counts();
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("counting the bytes of a response body");
    }
}

bool BodyChunks::Native::next(const char*& data, Py_ssize_t& size) {
    if (done_) return false;
    for (;;) {
        const Py_ssize_t available = block_len_ - block_pos_;
        if (carry_used_ == 0 && available >= chunk_size_) {
            block_pos_ += chunk_size_;
            return hand(block_data_ + block_pos_ - chunk_size_, chunk_size_, data, size);
        }
        if (available > 0) {
            const Py_ssize_t take = std::min(chunk_size_ - carry_used_, available);
            std::memcpy(carry_.get() + carry_used_, block_data_ + block_pos_, static_cast<size_t>(take));
            carry_used_ += take;
            block_pos_ += take;
            if (carry_used_ == chunk_size_) {
                carry_used_ = 0;
                return hand(carry_.get(), chunk_size_, data, size);
            }
        }
        if (more_ && read_more()) continue;
        // The end of the body: what is left is the last, shorter chunk.
        if (carry_used_ > 0) {
            const Py_ssize_t n = carry_used_;
            carry_used_ = 0;
            return hand(carry_.get(), n, data, size);
        }
        finish();
        return false;
    }
}

bool BodyChunks::Native::hand(const char* from, Py_ssize_t n, const char*& data, Py_ssize_t& size) {
    data = from;
    size = n;
    handed_ += n;
    return true;
}

// One read of what has arrived (what http.client already holds comes first),
// never past the announced length. The socket's time-out applies to it, and
// the GIL is released while it waits: a blocking call (exit_gate.hpp).
bool BodyChunks::Native::read_more() {
    Py_ssize_t want = std::max(kReadSize, chunk_size_);
    if (remaining_ >= 0 && remaining_ < want) want = static_cast<Py_ssize_t>(remaining_);
    py::object block;
    try {
        block = blocking_method(http_, VM_STR("read1"), py_size(want));
    } catch (py::error_already_set& error) {
        raise_read_error(error);
    }
    char* bytes = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(block.ptr(), &bytes, &n) < 0) throw py::error_already_set();
    if (n == 0) {
        eof_ = true;
        more_ = false;
        return false;
    }
    block_ = std::move(block);
    block_data_ = bytes;
    block_len_ = n;
    block_pos_ = 0;
    bytes_read_ += n;
    if (remaining_ >= 0) {
        remaining_ -= n;
        if (remaining_ == 0) more_ = false;
    }
    return true;
}

// urllib3 counts what its reads gave, and iter_content's loop reads one chunk
// at a time: its counts are the bytes handed out so far. They are brought up
// to date before urllib3 itself reads or handles an error, and at the end.
void BodyChunks::Native::sync_counts() {
    if (handed_ == synced_) return;
    const long long n = handed_ - synced_;
    synced_ = handed_;
    fp_bytes_read_ += n;
    set_attr(raw_, VM_STR("_fp_bytes_read"), py_size(fp_bytes_read_));
    if (!length_remaining_.is_none()) {
        length_remaining_ = steal(PyNumber_Subtract(length_remaining_.ptr(), py_size(n).ptr()));
        set_attr(raw_, VM_STR("length_remaining"), length_remaining_);
    }
}

// The read that ends iter_content's loop: urllib3 closes the body and puts
// the connection back in the pool, as after the last chunk on that path. A
// body read to its length ended inside the read that gave its last bytes; a
// body that ended with the connection (or had none) ended with an empty read.
void BodyChunks::Native::finish() {
    done_ = true;
    sync_counts();
    const Py_ssize_t amount = (eof_ || bytes_read_ == 0) ? chunk_size_ : 0;
    try {
        raw_.attr("read")(py_size(amount), py::arg("decode_content") = true);
    } catch (py::error_already_set& error) {
        raise_as_requests(error);
    }
    set_attr(response_, VM_STR("_content_consumed"), py::bool_(true));
}

// A failed read goes through urllib3's own handling, which gives its error
// types (a read time-out, a broken connection) and throws the connection away.
void BodyChunks::Native::raise_read_error(py::error_already_set& error) {
    done_ = true;
    sync_counts();
    py::object catcher = call_method(raw_, VM_STR("_error_catcher"));
    call_method(catcher, VM_STR("__enter__"));
    try {
        py::handle trace = error.trace() ? error.trace() : py::none();
        call_method(catcher, VM_STR("__exit__"), error.type(), error.value(), trace);
    } catch (py::error_already_set& mapped) {
        raise_as_requests(mapped);
    }
    throw error;  // not one urllib3 turns into its own: raised as it is
}

// ---------------------------------------------------------------------------
// The decoder of a coded body.
//
// One content coding, decoded with zlib or brotli by the rules urllib3
// decodes it by, so that the chunks are the bytes iter_content would give:
//   * gzip: members one after another, each with a decompressobj of its own;
//     bytes after a whole member that start no member are dropped, as
//     urllib3 and other clients drop them, and so are those that only look
//     like a member's start when the body ends (a padding byte, a newline,
//     part of a header): a later member counts once it gave data;
//   * deflate: the zlib format, or a raw deflate stream when the first bytes
//     are not in the zlib format;
//   * br: one brotli stream (`Decompressor().process`, `is_finished()`).
// Its errors are the library's; the reader raises them as urllib3 does.

class BodyChunks::Decoder {
public:
    Decoder(Coding kind, py::object library)
        : kind_(kind), library_(std::move(library)), error_(library_.attr("error")) {
        if (kind == Coding::Brotli)
            obj_ = library_.attr("Decompressor")();
        else
            obj_ = new_object(kind == Coding::Gzip ? 16 + 15 : 15);  // 15: zlib.MAX_WBITS
    }

    const py::object& error_type() const { return error_; }
    bool started() const { return started_; }

    // The coded stream reached its end (for gzip: the member last begun), or
    // what followed whole members gave no data: a tail that is not a member,
    // dropped. A later member cut after it gave data is a cut body.
    bool ended() const {
        if (kind_ == Coding::Brotli) return truthy(call_method(obj_, VM_STR("is_finished")));
        if (dropped_rest_ || (later_member_ && !member_gave_data_)) return true;
        return truthy(get_attr(obj_, VM_STR("eof")));
    }

    // `bytes` decoded from the coded `data`.
    py::object decompress(py::handle data) {
        if (PyBytes_GET_SIZE(data.ptr()) == 0) return py::bytes();
        started_ = true;
        py::object block = py::reinterpret_borrow<py::object>(data);
        switch (kind_) {
            case Coding::Gzip: return gzip(block);
            case Coding::Deflate: return deflate(block);
            case Coding::Brotli: break;
        }
        return call_method(obj_, VM_STR("process"), block);
    }

    // A brotli decompressor keeps nothing back.
    py::object flush() {
        if (kind_ == Coding::Brotli) return py::bytes();
        py::object rest = call_method(obj_, VM_STR("flush"));
        if (PyBytes_GET_SIZE(rest.ptr()) > 0) member_gave_data_ = true;
        return rest;
    }

private:
    py::object new_object(int wbits) { return call_method(library_, VM_STR("decompressobj"), py::int_(wbits)); }

    py::object gzip(py::object data) {
        if (dropped_rest_ || failed_) return py::bytes();
        py::object out = py::bytes();
        for (;;) {
            py::object part;
            try {
                part = call_method(obj_, VM_STR("decompress"), data);
            } catch (py::error_already_set& e) {
                if (!e.matches(error_)) throw;
                if (!later_member_) {
                    failed_ = true;
                    throw;
                }
                dropped_rest_ = true;
                return out;
            }
            if (PyBytes_GET_SIZE(part.ptr()) > 0) member_gave_data_ = true;
            out = PyBytes_GET_SIZE(out.ptr()) ? steal(PyNumber_Add(out.ptr(), part.ptr())) : part;
            data = get_attr(obj_, VM_STR("unused_data"));
            if (!truthy(data)) return out;
            later_member_ = true;
            member_gave_data_ = false;
            obj_ = new_object(16 + 15);
        }
    }

    py::object deflate(py::object data) {
        if (!first_try_) return call_method(obj_, VM_STR("decompress"), data);
        first_data_ = first_data_ ? steal(PyNumber_Add(first_data_.ptr(), data.ptr())) : data;
        try {
            py::object out = call_method(obj_, VM_STR("decompress"), data);
            if (truthy(out)) {
                first_try_ = false;
                first_data_ = py::object();
            }
            return out;
        } catch (py::error_already_set& e) {
            if (!e.matches(error_)) throw;
        }
        first_try_ = false;
        obj_ = new_object(-15);
        py::object all = std::move(first_data_);
        return call_method(obj_, VM_STR("decompress"), all);
    }

    const Coding kind_;
    py::object library_, error_;
    py::object obj_;  // the decompressor of the stream (gzip: of the member) being decoded
    bool started_ = false;
    // gzip
    bool later_member_ = false;     // a member after the first one has begun
    bool member_gave_data_ = false;  // the member last begun has given data (also by its flush)
    bool dropped_rest_ = false;
    bool failed_ = false;
    // deflate
    bool first_try_ = true;
    py::object first_data_;  // what came while no output showed the format
};

// ---------------------------------------------------------------------------

BodyChunks::BodyChunks(py::handle response, Py_ssize_t chunk_size, SizeArgument how) {
    try {
        native_ = Native::open(response, chunk_size);
        if (!native_ && chunk_size > 0) {
            py::object raw = own_urllib3_body(response);
            Coding kind;
            py::object library;
            if (raw && own_coding(raw, kind, library)) {
                iterator_ = steal(PyObject_GetIter(
                    raw.attr("stream")(py_size(chunk_size), py::arg("decode_content") = false).ptr()));
                decoder_ = std::make_unique<Decoder>(kind, std::move(library));
                response_ = py::reinterpret_borrow<py::object>(response);
            }
        }
    } catch (py::error_already_set& error) {
        if (!is_exception(error)) throw;  // a response that is not as expected is read the usual way
        native_.reset();
        decoder_.reset();
        iterator_ = py::object();
    }
    if (native_ || decoder_) return;
    py::object iter_content = response.attr("iter_content");
    py::object chunks = how == SizeArgument::Keyword ? iter_content(py::arg("chunk_size") = chunk_size)
                                                     : iter_content(chunk_size);
    iterator_ = steal(PyObject_GetIter(chunks.ptr()));
}

BodyChunks::~BodyChunks() { release_view(); }

void BodyChunks::release_view() {
    if (has_view_) {
        PyBuffer_Release(&view_);
        has_view_ = false;
    }
}

bool BodyChunks::next() {
    if (native_) {
        data_ = nullptr;
        size_ = 0;
        return native_->next(data_, size_);
    }
    if (decoder_) return next_decoded();
    return next_from_iterator();
}

bool BodyChunks::whole() const { return !decoder_ || !decoder_->started() || decoder_->ended(); }

// One coded block of urllib3's stream at a time, decoded; blocks that decode
// to nothing are passed over, as urllib3's stream passes them over. At the
// end, what the decoder still holds, and the body counts as read, as after
// iter_content's last chunk.
bool BodyChunks::next_decoded() {
    release_view();
    data_ = nullptr;
    size_ = 0;
    for (;;) {
        if (flushed_) return false;
        py::object block = py::reinterpret_steal<py::object>(blocking([&] { return PyIter_Next(iterator_.ptr()); }));
        if (!block) {
            if (PyErr_Occurred()) {
                py::error_already_set error;
                raise_as_requests(error);
            }
            flushed_ = true;
            chunk_ = decoder_->flush();
            set_attr(response_, VM_STR("_content_consumed"), py::bool_(true));
        } else {
            if (!PyBytes_Check(block.ptr())) throw py::type_error("urllib3 gave a body block that is not bytes");
            try {
                chunk_ = decoder_->decompress(block);
            } catch (py::error_already_set& error) {
                if (!error.matches(decoder_->error_type()) && !error.matches(PyExc_OSError)) throw;
                raise_decode_error(error);
            }
        }
        if (PyBytes_GET_SIZE(chunk_.ptr()) == 0) continue;
        data_ = PyBytes_AS_STRING(chunk_.ptr());
        size_ = PyBytes_GET_SIZE(chunk_.ptr());
        return true;
    }
}

// A block that does not decode, as urllib3 reports it: DecodeError
// "Received response with content-encoding: <coding>, but failed to decode
// it." with zlib's error beside it, raised as requests raises that.
void BodyChunks::raise_decode_error(py::error_already_set& error) {
    py::object models = loaded_module("requests.models");
    if (!models) throw error;
    py::object coding = call_method(call_method(get_attr(get_attr(response_, VM_STR("raw")), VM_STR("headers")),
                                                VM_STR("get"), VM_STR("content-encoding"), VM_STR("")),
                                    VM_STR("lower"));
    py::object decode_error = models.attr("DecodeError")(
        text("Received response with content-encoding: ", coding, ", but failed to decode it."), error.value());
    {
        HandledException handled(error);  // zlib's error is its __context__, as in an except block
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(decode_error.ptr())), decode_error.ptr());
    }
    py::error_already_set raised;
    raise_as_requests(raised);
}

bool BodyChunks::next_from_iterator() {
    release_view();
    data_ = nullptr;
    size_ = 0;
    chunk_ = py::reinterpret_steal<py::object>(blocking([&] { return PyIter_Next(iterator_.ptr()); }));
    if (!chunk_) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    PyObject* chunk = chunk_.ptr();
    if (PyBytes_CheckExact(chunk)) {
        data_ = PyBytes_AS_STRING(chunk);
        size_ = PyBytes_GET_SIZE(chunk);
        return true;
    }
    // Anything else a replaced iter_content yields: skipped when falsy,
    // else read through the buffer protocol.
    if (!truthy(chunk_)) return true;
    if (PyObject_GetBuffer(chunk, &view_, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    has_view_ = true;
    data_ = static_cast<const char*>(view_.buf);
    size_ = view_.len;
    return true;
}

}  // namespace vm

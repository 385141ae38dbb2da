// The body of a streamed `requests` response, chunk by chunk, as
// `response.iter_content(chunk_size=N)` hands it out.
//
// The transfers own the per-chunk logic (cancel, pause, write, progress);
// this class only says what the next chunk is, so that how the body is read
// can change without touching them.
//
// Three ways of reading, chosen per response when the reader is made:
//   * natively, for the common case: requests' own Response with its own
//     iter_content, a urllib3 response over http.client, a body that is
//     neither content-encoded nor chunked. The body comes in large reads that
//     return as soon as anything has arrived (http.client's read1), and is cut
//     into the very chunks iter_content would give, each handed over as soon
//     as its bytes are there. Errors are urllib3's and requests' own, raised
//     through the same handling as on the iter_content path, and the response
//     ends in the same state (connection back in the pool, body consumed).
//   * decoded here, for requests' own Response with its own iter_content and
//     a body in the gzip, deflate or br coding: the coded bytes come through
//     urllib3's `raw.stream(N, decode_content=False)` and are decoded with
//     zlib (or brotli) as urllib3 decodes them, so the chunks are those
//     iter_content gives; and what the decompressor tells of the coded
//     stream (zlib's `decompressobj().eof`, brotli's `is_finished()`) says
//     whether the body came whole. iter_content decodes as far as the bytes
//     go and never says whether the stream reached its end.
//   * through `iter_content` for everything else (another response type, a
//     replaced iter_content, a chunked plain body, another coding, a body
//     already read).
#pragma once

#include <memory>

#include "pyfunc.hpp"

namespace vm {

class BodyChunks {
public:
    // How the chunk size is passed to iter_content: `chunk_size=N` or `N`.
    enum class SizeArgument { Keyword, Positional };

    // Reads natively when the response allows it; otherwise starts
    // `response.iter_content(chunk_size=chunk_size)`, or
    // `response.iter_content(chunk_size)` (looked up now, so a replaced
    // iter_content is honoured).
    BodyChunks(py::handle response, Py_ssize_t chunk_size, SizeArgument how = SizeArgument::Keyword);
    ~BodyChunks();
    BodyChunks(const BodyChunks&) = delete;
    BodyChunks& operator=(const BodyChunks&) = delete;

    // Moves to the next chunk: false at the end of the body. An error of the
    // read (a broken connection, a time-out) is raised as the library raised it.
    bool next();

    // The current chunk, valid until the next call of next(). An empty chunk
    // (one that is falsy in Python) is skipped by the transfers.
    bool empty() const { return size_ == 0; }
    const char* data() const { return data_; }
    Py_ssize_t size() const { return size_; }

    // True when the body is read natively rather than through iter_content.
    bool native() const { return bool(native_); }

    // After the end of the body: false when it came in a content coding
    // decoded here and the coded stream stopped before its end (a body cut
    // short whose length, if any, matched what was cut). A coded body of no
    // bytes at all is whole: there was no stream to end; so is a gzip body
    // whose bytes after its last whole member gave no data (a stray tail).
    bool whole() const;

private:
    class Native;
    class Decoder;

    bool next_decoded();
    [[noreturn]] void raise_decode_error(py::error_already_set& error);

    bool next_from_iterator();
    void release_view();

    std::unique_ptr<Native> native_;
    std::unique_ptr<Decoder> decoder_;  // with iterator_ over raw.stream(...)
    py::object response_;               // while decoding: for its end
    bool flushed_ = false;
    py::object iterator_;
    py::object chunk_;
    Py_buffer view_{};
    bool has_view_ = false;
    const char* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace vm

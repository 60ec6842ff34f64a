// The HTTP request of a central system's call, read by Quillon's server
// itself before any of it reaches the SOAP runtime: the size of the head and
// of the body is bounded, a body's length is known before it is read (from
// its Content-Length) or checked as its chunks arrive, so a request that
// would not fit is refused before it costs the board its memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ocpps {

// The largest body taken: a 60k-entry SendLocalList is 7-9 MB of XML.
inline constexpr std::size_t kMaxRequestBody = 16 * 1024 * 1024;
// Request line and header fields together.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;

struct HttpRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields;  // as received, values trimmed
    std::string body;                                         // de-chunked

    // The first field of that name (any case), or nullptr.
    const std::string* Field(std::string_view name) const;
};

enum class ReadState {
    More,       // the request is not complete yet
    Done,       // head and whole body read
    TooLarge,   // the body exceeds the bound: refused without reading on
    Malformed,  // not an HTTP request this server can take
};

// Takes the bytes of one request as they arrive. Bytes after the end of the
// request are ignored (one request per connection).
class HttpRequestReader {
public:
    explicit HttpRequestReader(std::size_t maxBody = kMaxRequestBody) : maxBody_(maxBody) {}

    ReadState Feed(const char* data, std::size_t size);
    ReadState state() const { return state_; }
    // True once the head has been read.
    bool HasHead() const { return phase_ != Phase::Head; }
    const HttpRequest& request() const { return request_; }
    // Why the request is Malformed or TooLarge: the reader's own words and
    // numbers, never the peer's text, so it may go to the log as it is.
    const std::string& why() const { return why_; }

private:
    enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, End };

    ReadState Fail(ReadState s, std::string why);
    ReadState ParseHead();
    bool TakeLine(std::string* line);

    std::size_t maxBody_;
    ReadState state_ = ReadState::More;
    Phase phase_ = Phase::Head;
    std::string pending_;          // bytes not yet consumed (head, chunk lines)
    std::size_t remaining_ = 0;    // of the body or of the current chunk
    HttpRequest request_;
    std::string why_;
};

}  // namespace ocpps

#include "http_request.h"

#include <strings.h>

#include <algorithm>

namespace ocpps {

namespace {

constexpr std::size_t kMaxChunkLine = 1024;

std::string Trim(std::string_view s) {
    const std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return "";
    const std::size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A decimal length of digits alone; false when it is none or too large to
// matter (anything beyond the bound is refused anyway).
bool DecimalLength(const std::string& text, unsigned long long* out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoull(text);
    return true;
}

}  // namespace

const std::string* HttpRequest::Field(std::string_view name) const {
    for (const auto& [n, v] : fields) {
        if (SameName(n, name)) return &v;
    }
    return nullptr;
}

ReadState HttpRequestReader::Fail(ReadState s, std::string why) {
    why_ = std::move(why);
    pending_.clear();
    pending_.shrink_to_fit();
    return state_ = s;
}

// One line of pending_, without its CR LF (a bare LF ends a line too).
bool HttpRequestReader::TakeLine(std::string* line) {
    const std::size_t lf = pending_.find('\n');
    if (lf == std::string::npos) return false;
    const std::size_t end = lf > 0 && pending_[lf - 1] == '\r' ? lf - 1 : lf;
    line->assign(pending_, 0, end);
    pending_.erase(0, lf + 1);
    return true;
}

ReadState HttpRequestReader::ParseHead() {
    std::string line;
    // Empty lines before the request line are allowed.
    do {
        if (!TakeLine(&line)) return Fail(ReadState::Malformed, "no request line");
    } while (line.empty());
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
        return Fail(ReadState::Malformed, "not an HTTP request line");
    }
    request_.method = line.substr(0, sp1);
    request_.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    while (TakeLine(&line) && !line.empty()) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') {
            return Fail(ReadState::Malformed, "a header field without a name");
        }
        request_.fields.emplace_back(line.substr(0, colon), Trim(std::string_view(line).substr(colon + 1)));
    }
    const std::string* length = nullptr;
    const std::string* coding = nullptr;
    for (const auto& [n, v] : request_.fields) {
        if (SameName(n, "Content-Length")) {
            if (length != nullptr && *length != v) return Fail(ReadState::Malformed, "two different Content-Length fields");
            length = &v;
        } else if (SameName(n, "Transfer-Encoding")) {
            if (coding != nullptr) return Fail(ReadState::Malformed, "two Transfer-Encoding fields");
            coding = &v;
        }
    }
    // A length and a coding together are the trick of request smuggling.
    if (length != nullptr && coding != nullptr) {
        return Fail(ReadState::Malformed, "both Content-Length and Transfer-Encoding");
    }
    if (coding != nullptr) {
        if (strcasecmp(coding->c_str(), "chunked") != 0) {
            return Fail(ReadState::Malformed, "a transfer coding other than chunked");
        }
        // Room for the whole bound is claimed, not touched: only what
        // arrives takes memory, and the body is never copied as it grows.
        request_.body.reserve(maxBody_);
        phase_ = Phase::ChunkSize;
        return ReadState::More;
    }
    // Compared at full width: a length of 2^32 + 1 is not 1 on a 32-bit board.
    unsigned long long size = 0;
    if (length != nullptr && !DecimalLength(*length, &size)) {
        if (length->find_first_not_of("0123456789") == std::string::npos && !length->empty()) {
            return Fail(ReadState::TooLarge, "a Content-Length far beyond the bound");
        }
        return Fail(ReadState::Malformed, "a Content-Length that is not a length");
    }
    if (size > maxBody_) {
        return Fail(ReadState::TooLarge, "Content-Length " + std::to_string(size) + " exceeds the bound of " +
                                              std::to_string(maxBody_) + " bytes");
    }
    request_.body.reserve(static_cast<std::size_t>(size));
    remaining_ = static_cast<std::size_t>(size);
    phase_ = Phase::Body;
    return ReadState::More;
}

ReadState HttpRequestReader::Feed(const char* data, std::size_t size) {
    if (state_ != ReadState::More) return state_;
    std::string_view in(data, size);
    while (state_ == ReadState::More) {
        switch (phase_) {
        case Phase::Head: {
            pending_.append(in);
            in = {};
            std::size_t end = pending_.find("\r\n\r\n");
            if (end == std::string::npos) end = pending_.find("\n\n");
            if (end == std::string::npos) {
                if (pending_.size() > kMaxRequestHead) return Fail(ReadState::Malformed, "the request head is too long");
                return state_;
            }
            if (end > kMaxRequestHead) return Fail(ReadState::Malformed, "the request head is too long");
            const std::size_t bodyStart = pending_.compare(end, 4, "\r\n\r\n") == 0 ? end + 4 : end + 2;
            std::string rest = pending_.substr(bodyStart);
            pending_.resize(bodyStart);
            if (ParseHead() != ReadState::More) return state_;
            pending_.clear();
            if (phase_ == Phase::Body) {
                // What came with the head belongs to the body.
                const std::size_t take = std::min(rest.size(), remaining_);
                request_.body.append(rest, 0, take);
                remaining_ -= take;
            } else {
                pending_ = std::move(rest);
            }
            break;
        }
        case Phase::Body: {
            const std::size_t take = std::min(in.size(), remaining_);
            request_.body.append(in.substr(0, take));
            remaining_ -= take;
            in = {};
            if (remaining_ == 0) phase_ = Phase::End;
            return remaining_ == 0 ? (state_ = ReadState::Done) : state_;
        }
        case Phase::ChunkSize: {
            pending_.append(in);
            in = {};
            std::string line;
            if (!TakeLine(&line)) {
                if (pending_.size() > kMaxChunkLine) return Fail(ReadState::Malformed, "a chunk size line is too long");
                return state_;
            }
            const std::string hex = Trim(std::string_view(line).substr(0, line.find(';')));
            if (hex.empty() || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                return Fail(ReadState::Malformed, "a chunk size is not hexadecimal");
            }
            const std::size_t digits = hex.find_first_not_of('0') == std::string::npos ? 0 : hex.size() - hex.find_first_not_of('0');
            const std::size_t chunk = digits > 8 ? maxBody_ + 1 : std::stoull(hex, nullptr, 16);
            if (chunk > maxBody_ - request_.body.size()) {
                return Fail(ReadState::TooLarge, "the chunked body exceeds the bound of " + std::to_string(maxBody_) + " bytes");
            }
            remaining_ = chunk;
            phase_ = chunk == 0 ? Phase::Trailer : Phase::ChunkData;
            break;
        }
        case Phase::ChunkData: {
            // Chunk bytes go straight to the body; what follows stays pending.
            std::string_view src = pending_.empty() ? in : std::string_view(pending_);
            const std::size_t take = std::min(src.size(), remaining_);
            request_.body.append(src.substr(0, take));
            remaining_ -= take;
            if (pending_.empty()) {
                in.remove_prefix(take);
            } else {
                pending_.erase(0, take);
            }
            if (remaining_ > 0) {
                if (!in.empty()) break;
                return state_;
            }
            phase_ = Phase::ChunkEnd;
            break;
        }
        case Phase::ChunkEnd: {
            pending_.append(in);
            in = {};
            std::string line;
            if (!TakeLine(&line)) {
                if (pending_.size() > 2) return Fail(ReadState::Malformed, "a chunk is longer than its size");
                return state_;
            }
            if (!line.empty()) return Fail(ReadState::Malformed, "a chunk is longer than its size");
            phase_ = Phase::ChunkSize;
            break;
        }
        case Phase::Trailer: {
            pending_.append(in);
            in = {};
            std::string line;
            while (TakeLine(&line)) {
                if (line.empty()) {
                    pending_.clear();
                    phase_ = Phase::End;
                    return state_ = ReadState::Done;
                }
            }
            if (pending_.size() > kMaxRequestHead) return Fail(ReadState::Malformed, "the trailer is too long");
            return state_;
        }
        case Phase::End:
            return state_ = ReadState::Done;
        }
    }
    return state_;
}

}  // namespace ocpps

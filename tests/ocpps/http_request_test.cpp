// The request reader of Quillon's server: bytes as they come off the socket,
// whole or one at a time, give the same request or the same refusal.
#include <gtest/gtest.h>

#include <string>

#include "http_request.h"

namespace {

using ocpps::HttpRequestReader;
using ocpps::ReadState;

struct Case {
    const char* what;
    std::string bytes;
    ReadState state;
    std::string body;
};

ReadState FeedWhole(HttpRequestReader& r, const std::string& bytes) { return r.Feed(bytes.data(), bytes.size()); }
ReadState FeedByteByByte(HttpRequestReader& r, const std::string& bytes) {
    for (char c : bytes) {
        if (r.Feed(&c, 1) != ReadState::More) break;
    }
    return r.state();
}

TEST(HttpRequestReaderTest, RequestsAndRefusalsWhetherWholeOrByteByByte) {
    const std::string head = "POST /ChargeBox/OCPP15 HTTP/1.1\r\nHost: cp\r\n";
    const Case cases[] = {
        {"length", head + "Content-Length: 5\r\n\r\nhello", ReadState::Done, "hello"},
        {"bytes after the body are not taken", head + "Content-Length: 3\r\n\r\nabcdef", ReadState::Done, "abc"},
        {"no length, no body", head + "\r\n", ReadState::Done, ""},
        {"bare line feeds", "POST / HTTP/1.1\nContent-Length: 2\n\nok", ReadState::Done, "ok"},
        {"chunked with extension and trailer",
         head + "Transfer-Encoding: chunked\r\n\r\n4;x=1\r\nabcd\r\n0A\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n", ReadState::Done,
         "abcd0123456789"},
        {"body short of its length", head + "Content-Length: 10\r\n\r\nabc", ReadState::More, "abc"},
        {"last chunk missing", head + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", ReadState::More, "abc"},
        {"length at the bound", head + "Content-Length: 16777216\r\n\r\n", ReadState::More, ""},
        {"length over the bound", head + "Content-Length: 16777217\r\n\r\n", ReadState::TooLarge, ""},
        {"length past 32 bits", head + "Content-Length: 4294967297\r\n\r\nab", ReadState::TooLarge, ""},
        {"length of 30 digits", head + "Content-Length: 123456789012345678901234567890\r\n\r\n", ReadState::TooLarge, ""},
        {"chunk over the bound", head + "Transfer-Encoding: chunked\r\n\r\n1000001\r\n", ReadState::TooLarge, ""},
        {"chunk size of 20 hex digits", head + "Transfer-Encoding: chunked\r\n\r\n00000000000000001000\r\nab", ReadState::More, "ab"},
        {"huge chunk size", head + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n", ReadState::TooLarge, ""},
        {"chunk longer than its size", head + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n", ReadState::Malformed, "ab"},
        {"chunk size not hexadecimal", head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", ReadState::Malformed, ""},
        {"length and coding together", head + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", ReadState::Malformed, ""},
        {"two lengths", head + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", ReadState::Malformed, ""},
        {"negative length", head + "Content-Length: -1\r\n\r\n", ReadState::Malformed, ""},
        {"other coding", head + "Transfer-Encoding: gzip\r\n\r\n", ReadState::Malformed, ""},
        {"not HTTP", std::string("\x16\x03\x01\x02\x00\r\n\r\n", 9), ReadState::Malformed, ""},
        {"field without a name", head + ": x\r\n\r\n", ReadState::Malformed, ""},
        {"endless head", head + "X: " + std::string(20000, 'a'), ReadState::Malformed, ""},
    };
    for (const Case& c : cases) {
        for (bool whole : {true, false}) {
            HttpRequestReader r;
            const ReadState s = whole ? FeedWhole(r, c.bytes) : FeedByteByByte(r, c.bytes);
            EXPECT_EQ(s, c.state) << c.what << (whole ? " (whole)" : " (byte by byte)") << ": " << r.why();
            if (s == ReadState::Done || s == ReadState::More) {
                EXPECT_EQ(r.request().body, c.body) << c.what;
            } else {
                EXPECT_FALSE(r.why().empty()) << c.what;
            }
        }
    }
}

TEST(HttpRequestReaderTest, HeadFieldsAreKeptAsSent) {
    HttpRequestReader r;
    const std::string bytes =
        "POST /ChargeBox/OCPP15 HTTP/1.1\r\nContent-Type:  application/soap+xml; action=\"/Reset\" \r\n"
        "content-length: 0\r\n\r\n";
    ASSERT_EQ(FeedWhole(r, bytes), ReadState::Done);
    EXPECT_EQ(r.request().method, "POST");
    EXPECT_EQ(r.request().target, "/ChargeBox/OCPP15");
    ASSERT_NE(r.request().Field("CONTENT-TYPE"), nullptr);
    EXPECT_EQ(*r.request().Field("Content-Type"), "application/soap+xml; action=\"/Reset\"");
    EXPECT_EQ(r.request().Field("Accept"), nullptr);
}

}  // namespace

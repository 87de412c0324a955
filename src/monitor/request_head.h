#pragma once
// The status API's guard on what a client sends before the request body: the request line and
// the header lines, limited in size and count as the bytes arrive, so that no client can make
// the process hold more than a few KiB per connection. A pure function over byte slices, fed
// each receive in turn.

#include <cstddef>
#include <string_view>

// Bytes with the lines' ends, up to the empty line that closes the head.
inline constexpr size_t kMaxRequestLineBytes = 4096;
inline constexpr size_t kMaxRequestHeadBytes = 8192;  // request line and header lines together
inline constexpr size_t kMaxHeaderLines = 32;

enum class HeadVerdict {
    more,                   // the head goes on
    complete,               // its closing empty line has arrived
    request_line_too_long,  // answered 414
    headers_too_large,      // too many bytes or lines: answered 431
};

// What has been seen of one request head.
struct RequestHead {
    size_t bytes = 0;       // of the head so far
    size_t lines = 0;       // complete lines so far, the request line included
    size_t line_bytes = 0;  // of the line not complete yet
    bool cr_only = false;   // that line is a lone CR so far
};

// Scans the next `bytes` of the connection. On `complete`, `used` is how many of them belong to
// the head (the rest is the body or a next request); otherwise all of them were looked at.
HeadVerdict feed_request_head(RequestHead& head, std::string_view bytes, size_t& used);

#include "monitor/request_head.h"

HeadVerdict feed_request_head(RequestHead& head, std::string_view bytes, size_t& used) {
    for (used = 0; used < bytes.size();) {
        const char c = bytes[used++];
        if (++head.bytes > kMaxRequestHeadBytes) return HeadVerdict::headers_too_large;
        if (c != '\n') {
            head.cr_only = head.line_bytes == 0 && c == '\r';
            if (++head.line_bytes >= kMaxRequestLineBytes && head.lines == 0) {
                return HeadVerdict::request_line_too_long;
            }
            continue;
        }
        // Lines end in CR LF; a bare LF ends one too, as the library reads them.
        const bool empty = head.line_bytes == 0 || (head.line_bytes == 1 && head.cr_only);
        head.line_bytes = 0;
        head.cr_only = false;
        if (empty) return HeadVerdict::complete;
        if (++head.lines > kMaxHeaderLines + 1) return HeadVerdict::headers_too_large;
    }
    return HeadVerdict::more;
}

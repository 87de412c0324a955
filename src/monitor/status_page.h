#pragma once
// The status page served at GET /: one self-contained HTML document (status_page.html, compiled
// in) that refreshes itself from /status in the browser. Rigs are often offline, so nothing in
// it is loaded from elsewhere, and the policy sent with it lets the browser load nothing else.

#include <string_view>

std::string_view status_page_html();

inline constexpr char kStatusPagePolicy[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

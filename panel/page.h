// page.h: the panel page, written from three constant texts compiled into the executable.
#pragma once

#include <string_view>

namespace credvane {

// The whole document with one theme head mark (0x01) and one theme script mark (0x02).
extern const std::string_view page_template;
// The theme-choosing script and the palette stylesheet, put in place of the head mark.
extern const std::string_view page_theme_head;
// The theme bridge script, put in place of the script mark.
extern const std::string_view page_theme_script;

inline constexpr std::string_view html_headers =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "\r\n";

// The lines put before the header block when the page goes to a browser that has not given
// the node password: the page holds no node data and asks for the password itself.
inline constexpr std::string_view page_locked_status =
    "Status: 401 Unauthorized\r\n"
    "WWW-Authenticate: Bearer realm=\"credvane\"\r\n";

// Writes the HTML header block and the page, after status_lines (whole header lines).
void emit_page(std::string_view status_lines = {});

}  // namespace credvane

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
    "Referrer-Policy: same-origin\r\n"
    "\r\n";

// Writes the HTML header block and the page.
void emit_page();

}  // namespace credvane

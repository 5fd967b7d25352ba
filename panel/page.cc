// page.cc: writes the panel page, the template with the theme texts put in place of its marks.
#include "panel/page.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace credvane {

void emit_page(std::string_view status_lines) {
    std::string out;
    out.reserve(status_lines.size() + html_headers.size() + page_template.size() +
                page_theme_head.size() + page_theme_script.size());
    out.append(status_lines);
    out.append(html_headers);
    // Whole runs between the marks are copied at once: byte by byte, the page's 35 KB cost
    // more than the rest of the request.
    std::string_view rest = page_template;
    while (!rest.empty()) {
        const std::size_t mark = std::min(rest.find('\x01'), rest.find('\x02'));
        out.append(rest.substr(0, mark));
        if (mark == std::string_view::npos) break;
        out.append(rest[mark] == '\x01' ? page_theme_head : page_theme_script);
        rest.remove_prefix(mark + 1);
    }
    // The page has no failure answer of its own: a broken pipe to the host is all that can go
    // wrong here, and nothing could be told to anyone about it.
    platform::write_stdout(out);
}

}  // namespace credvane

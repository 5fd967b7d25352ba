// page.cc: writes the panel page, the template with the theme texts put in place of its marks.
#include "panel/page.h"

#include <string>

#include "platform/platform.h"

namespace credvane {

void emit_page() {
    std::string out;
    out.reserve(html_headers.size() + page_template.size() + page_theme_head.size() +
                page_theme_script.size());
    out.append(html_headers);
    for (char c : page_template) {
        if (c == '\x01') {
            out.append(page_theme_head);
        } else if (c == '\x02') {
            out.append(page_theme_script);
        } else {
            out.push_back(c);
        }
    }
    // The page has no failure answer of its own: a broken pipe to the host is all that can go
    // wrong here, and nothing could be told to anyone about it.
    platform::write_stdout(out);
}

}  // namespace credvane

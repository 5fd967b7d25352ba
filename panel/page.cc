// page.cc: writes the panel page. (Minimal page until the panel's own files are embedded.)
#include "panel/page.h"

#include "platform/platform.h"

namespace credvane {

void emit_page() {
    platform::write_stdout(html_headers);
    platform::write_stdout(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>codex</title></head><body><p>credvane</p></body></html>\n");
}

}  // namespace credvane

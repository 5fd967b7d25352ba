# embed.cmake: turns the authored panel files into page_texts.cc, the three page texts.
# Run as: cmake -DSRC_DIR=<panel dir> -DOUT=<file.cc> [-DSOURCE_URL_FILE=<file>] -P embed.cmake
#
# page.html is an ordinary HTML file: its stylesheet and script lines are replaced by the
# files they name, and its two placeholder comments become the theme head mark (0x01) and
# the theme script mark (0x02). The served texts must be plain ASCII with no control
# character but the line feed, so anything else fails the build here rather than in a browser.

cmake_minimum_required(VERSION 3.25)

function(read_source name out)
    file(READ "${SRC_DIR}/${name}" text)
    string(REPLACE "\r" "" text "${text}")
    string(REGEX MATCH "[^\n -~]" bad "${text}")
    if(NOT bad STREQUAL "")
        message(FATAL_ERROR "${name}: only printable ASCII and line feeds may be served")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(count_of text needle out)
    string(LENGTH "${needle}" nlen)
    set(n 0)
    string(FIND "${text}" "${needle}" pos)
    while(NOT pos EQUAL -1)
        math(EXPR n "${n} + 1")
        math(EXPR pos "${pos} + ${nlen}")
        string(SUBSTRING "${text}" ${pos} -1 text)
        string(FIND "${text}" "${needle}" pos)
    endwhile()
    set(${out} ${n} PARENT_SCOPE)
endfunction()

function(require_once text needle what)
    count_of("${text}" "${needle}" n)
    if(NOT n EQUAL 1)
        message(FATAL_ERROR "page.html: ${what} must appear exactly once (found ${n})")
    endif()
endfunction()

function(forbid text needle what)
    string(FIND "${text}" "${needle}" pos)
    if(NOT pos EQUAL -1)
        message(FATAL_ERROR "${what} holds \"${needle}\"")
    endif()
endfunction()

# The base64 form of a digest given in hex, as a Content-Security-Policy source wants it.
function(base64_of_hex hex out)
    set(abc "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
    string(LENGTH "${hex}" hex_len)
    set(b64 "")
    set(at 0)
    while(at LESS hex_len)
        # Three bytes (six hex digits) make four characters; a short last group is padded
        # with zero bits and "=".
        math(EXPR left "${hex_len} - ${at}")
        if(left GREATER_EQUAL 6)
            set(take 6)
        else()
            set(take ${left})
        endif()
        string(SUBSTRING "${hex}" ${at} ${take} group)
        math(EXPR pad_digits "6 - ${take}")
        string(REPEAT "0" ${pad_digits} zeros)
        math(EXPR v "0x${group}${zeros}" OUTPUT_FORMAT DECIMAL)
        math(EXPR chars "(${take} * 4 + 5) / 6")
        foreach(i 0 1 2 3)
            if(i LESS chars)
                math(EXPR idx "(${v} >> (18 - 6 * ${i})) & 63")
                string(SUBSTRING "${abc}" ${idx} 1 c)
                string(APPEND b64 "${c}")
            else()
                string(APPEND b64 "=")
            endif()
        endforeach()
        math(EXPR at "${at} + ${take}")
    endwhile()
    set(${out} "${b64}" PARENT_SCOPE)
endfunction()

# The length of text up to the first needle in it; the build stops with complaint when there is
# none.
function(length_before text needle complaint out)
    string(FIND "${text}" "${needle}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${complaint}")
    endif()
    set(${out} ${at} PARENT_SCOPE)
endfunction()

# The 'sha256-...' sources of every inline element named tag in text, in order, each once.
# An element with a src attribute would be loaded from elsewhere, which the policy forbids.
function(inline_hashes text tag out)
    set(sources "")
    string(FIND "${text}" "<${tag}" at)
    while(NOT at EQUAL -1)
        string(SUBSTRING "${text}" ${at} -1 text)
        length_before("${text}" ">" "the page has an unclosed <${tag}> tag" open_end)
        string(SUBSTRING "${text}" 0 ${open_end} open_tag)
        if(open_tag MATCHES "[ \n]src=")
            message(FATAL_ERROR "the page loads a ${tag} from a file: ${open_tag}>")
        endif()
        math(EXPR body_at "${open_end} + 1")
        string(SUBSTRING "${text}" ${body_at} -1 text)
        length_before("${text}" "</${tag}>" "the page has a <${tag}> without its end tag" body_len)
        string(SUBSTRING "${text}" 0 ${body_len} body)
        string(SHA256 hex "${body}")
        base64_of_hex("${hex}" b64)
        string(FIND "${sources}" "'sha256-${b64}'" seen)
        if(seen EQUAL -1)
            string(APPEND sources " 'sha256-${b64}'")
        endif()
        string(SUBSTRING "${text}" ${body_len} -1 text)
        string(FIND "${text}" "<${tag}" at)
    endwhile()
    string(STRIP "${sources}" sources)
    set(${out} "${sources}" PARENT_SCOPE)
endfunction()

read_source(page.html page)
read_source(page.css page_css)
read_source(qr.js qr_js)
read_source(gate-head.js gate_js)
read_source(panel.js panel_js)
read_source(theme-head.js head_js)
read_source(palette.css palette_css)
read_source(theme-bridge.js bridge_js)

# An inlined script or stylesheet must not end its own element early.
forbid("${qr_js}" "</script" "qr.js")
forbid("${gate_js}" "</script" "gate-head.js")
forbid("${panel_js}" "</script" "panel.js")
forbid("${head_js}" "</script" "theme-head.js")
forbid("${bridge_js}" "</script" "theme-bridge.js")
forbid("${page_css}" "</style" "page.css")
forbid("${palette_css}" "</style" "palette.css")

set(css_line "<link rel=\"stylesheet\" href=\"page.css\">")
set(qr_line "<script src=\"qr.js\"></script>")
set(gate_line "<script src=\"gate-head.js\"></script>")
set(js_line "<script src=\"panel.js\"></script>")
set(head_mark "\n<!--theme-head-->\n")
set(script_mark "\n<!--theme-script--></body></html>\n")
require_once("${page}" "${css_line}" "the page.css line")
require_once("${page}" "${qr_line}" "the qr.js line")
require_once("${page}" "${gate_line}" "the gate-head.js line")
require_once("${page}" "${js_line}" "the panel.js line")
require_once("${page}" "${head_mark}" "the theme head placeholder, on a line of its own")
require_once("${page}" "${script_mark}" "the theme script placeholder before </body></html>")
string(LENGTH "${page}" page_len)
string(LENGTH "${script_mark}" tail_len)
math(EXPR tail_at "${page_len} - ${tail_len}")
string(SUBSTRING "${page}" ${tail_at} -1 tail)
if(NOT tail STREQUAL script_mark)
    message(FATAL_ERROR "page.html must end with the theme script placeholder and </body></html>")
endif()

# The footer links to the source only when the build names its address (in SOURCE_URL_FILE,
# from CREDVANE_SOURCE_URL): an http(s) address, escaped for the attribute it lands in.
set(link_mark "<!--source-link-->")
require_once("${page}" "${link_mark}" "the source link placeholder")
set(source_link "")
if(DEFINED SOURCE_URL_FILE)
    file(READ "${SOURCE_URL_FILE}" source_url)
    if(NOT source_url STREQUAL "")
        if(NOT source_url MATCHES "^https?://[!-~]+$")
            message(FATAL_ERROR "the source address must be an http:// or https:// URL in printable ASCII")
        endif()
        # Each character and its entity, "&" first so that no entity is escaped again.
        foreach(escape "&=&amp;" "\"=&quot;" "'=&#39;" "<=&lt;" ">=&gt;")
            string(REGEX MATCH "^(.)=(.*)$" pair "${escape}")
            string(REPLACE "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" source_url "${source_url}")
        endforeach()
        set(source_link "<span aria-hidden=\"true\">&middot;</span><a href=\"${source_url}\" target=\"_blank\" rel=\"noopener\">source</a>")
    endif()
endif()
string(REPLACE "${link_mark}" "${source_link}" page "${page}")

string(REPLACE "${css_line}" "<style>\n${page_css}</style>" page "${page}")
string(REPLACE "${qr_line}" "<script>\n${qr_js}</script>" page "${page}")
string(REPLACE "${gate_line}" "<script>\n${gate_js}</script>" page "${page}")
string(REPLACE "${js_line}" "<script>\n${panel_js}</script>" page "${page}")

# Split the template at the two marks; the marks themselves are written as escapes.
string(FIND "${page}" "${head_mark}" head_at)
string(FIND "${page}" "${script_mark}" script_at)
math(EXPR part1_len "${head_at} + 1")
string(SUBSTRING "${page}" 0 ${part1_len} part1)
string(LENGTH "${head_mark}" head_mark_len)
math(EXPR part2_at "${head_at} + ${head_mark_len} - 1")
math(EXPR part2_len "${script_at} + 1 - ${part2_at}")
string(SUBSTRING "${page}" ${part2_at} ${part2_len} part2)
set(part3 "</body></html>\n")

set(theme_head "<script>\n${head_js}</script>\n<style>\n${palette_css}</style>")
set(theme_script "<script>\n${bridge_js}</script>\n")

# The page runs only its own inline scripts and styles: the policy lists the SHA-256 of each
# block as served, so a change to any of them (or a new one) needs no hand edit. It is a
# <meta> ahead of the first script, since the header block of the page is fixed.
set(served "${part1}${theme_head}${part2}${theme_script}${part3}")
# Inline handlers and style attributes would need 'unsafe-inline' or 'unsafe-hashes'.
if(served MATCHES "<[^>]*[ \n](on[a-z]+|style)=")
    message(FATAL_ERROR "the page has an inline event handler or style attribute: ${CMAKE_MATCH_0}")
endif()
inline_hashes("${served}" script script_sources)
inline_hashes("${served}" style style_sources)
if(script_sources STREQUAL "" OR style_sources STREQUAL "")
    message(FATAL_ERROR "the page has no inline script or no inline stylesheet")
endif()
set(policy "default-src 'none'; script-src ${script_sources}; style-src ${style_sources}; \
connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'")
string(APPEND part1 "<meta http-equiv=\"Content-Security-Policy\" content=\"${policy}\">\n")

set(delim "credvane_page")
foreach(piece part1 part2 theme_head theme_script)
    forbid("${${piece}}" ")${delim}\"" "the ${piece} text")
endforeach()

set(open "R\"${delim}(")
set(close ")${delim}\"")
file(WRITE "${OUT}.tmp"
"// page_texts.cc: the panel page texts, generated by panel/embed.cmake from the files in panel/.
// Edit page.html, page.css, qr.js, gate-head.js, panel.js, theme-head.js, palette.css or theme-bridge.js instead.
#include \"panel/page.h\"

namespace credvane {
namespace {

constexpr char template_text[] =
    ${open}${part1}${close}
    \"\\x01\"
    ${open}${part2}${close}
    \"\\x02\"
    ${open}${part3}${close};

constexpr char theme_head_text[] = ${open}${theme_head}${close};

constexpr char theme_script_text[] = ${open}${theme_script}${close};

}  // namespace

const std::string_view page_template{template_text, sizeof template_text - 1};
const std::string_view page_theme_head{theme_head_text, sizeof theme_head_text - 1};
const std::string_view page_theme_script{theme_script_text, sizeof theme_script_text - 1};

}  // namespace credvane
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")

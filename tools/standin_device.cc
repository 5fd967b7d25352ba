// standin_device.cc: the verification page of the stand-in login, a CGI program the demo host
// serves.
//
// Requests:
//   GET ?code=CODE                       the code of an open flow with Approve and Deny buttons
//   GET (no code)                        a form to type the code
//   POST with action=approve|deny and code=CODE in the form body
//                                        decides that flow (as standin-login --approve/--deny)
//                                        and shows the result
// Only a POST decides: a link or an image on any page can make a browser send a GET, so a
// GET that names an action shows the buttons and changes nothing.
// A code is accepted in any letter case and must then be 1 to 32 of A-Z, 0-9 and '-'; the
// page never echoes anything else the client sent.
//
// Environment: the CGI variables REQUEST_METHOD, QUERY_STRING, CONTENT_LENGTH; and
// CODEX_PENDING_DIR, USERPROFILE, HOME, HOMEPATH, which must be the values credvane and
// standin-login see, so that the page finds their pending markers.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "tools/standin_common.h"

namespace {

using namespace credvane;
using namespace credvane::standin;

// A form body larger than this is refused: the page's form sends two short fields.
constexpr std::size_t max_body = 4096;

std::string html_txt(std::string_view s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// application/x-www-form-urlencoded decoding; a malformed escape stays as it was.
std::string form_decode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 &&
                   hex_digit(s[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The decoded value of the first field named key, or nothing.
std::optional<std::string> form_value(std::string_view form, std::string_view key) {
    while (!form.empty()) {
        const auto amp = form.find('&');
        const std::string_view field = form.substr(0, amp);
        form = amp == std::string_view::npos ? std::string_view() : form.substr(amp + 1);
        const auto eq = field.find('=');
        if (form_decode(field.substr(0, eq)) != key) continue;
        return eq == std::string_view::npos ? std::string() : form_decode(field.substr(eq + 1));
    }
    return std::nullopt;
}

// The code as a person may type it: blanks around it dropped, letters made upper case.
std::string normal_code(std::string_view raw) {
    while (!raw.empty() && raw.front() == ' ') raw.remove_prefix(1);
    while (!raw.empty() && raw.back() == ' ') raw.remove_suffix(1);
    std::string code(raw);
    for (char& c : code) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return code;
}

int page(std::string_view status, std::string_view title, std::string_view body) {
    std::string out = "Status: ";
    out += status;
    out +=
        "\r\nContent-Type: text/html; charset=utf-8\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
        "form-action 'self'; frame-ancestors 'none'\r\n"
        "\r\n"
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>";
    out += html_txt(title);
    out +=
        "</title><style>body{font-family:system-ui,sans-serif;max-width:32rem;margin:3rem "
        "auto;padding:0 1rem}.code{font:700 2rem monospace;letter-spacing:.15em}"
        "button{font-size:1rem;padding:.5rem 1.2rem;margin-right:.5rem}</style></head>\n"
        "<body><h1>";
    out += html_txt(title);
    out += "</h1>\n";
    out += body;
    out += "\n</body></html>\n";
    platform::write_stdout(out);
    return 0;
}

constexpr std::string_view entry_form =
    "<form method=\"get\"><label>Code <input name=\"code\" autocomplete=\"off\" "
    "maxlength=\"32\" required></label> <button>Continue</button></form>";

std::string account_label(std::string_view account) {
    return "<b>" + html_txt(account.empty() ? "default" : account) + "</b>";
}

int confirm_page(const std::string& code) {
    const auto f = find_open_flow(code);
    if (!f) {
        return page("404 Not Found", "Unknown code",
                    "<p>No open sign-in has this code; it may have expired or been "
                    "cancelled.</p>" +
                        std::string(entry_form));
    }
    const std::string c = html_txt(code);
    return page("200 OK", "Approve sign-in",
                "<p>A sign-in of the Codex account " + account_label(f->account) +
                    " is waiting for this code:</p>\n<p class=\"code\">" + c +
                    "</p>\n<form method=\"post\"><input type=\"hidden\" name=\"code\" value=\"" +
                    c +
                    "\"><button name=\"action\" value=\"approve\">Approve</button>"
                    "<button name=\"action\" value=\"deny\">Deny</button></form>");
}

int decide_page(const std::string& code, bool approve) {
    const decide_result r = decide_by_code(code, approve);
    switch (r.what) {
        case decision::approved:
            return page("200 OK", "Sign-in approved",
                        "<p>The account " + account_label(r.account) +
                            " is signed in at the panel's next poll. You can close this "
                            "page.</p>");
        case decision::denied:
            return page(
                "200 OK", "Sign-in denied",
                "<p>The sign-in of the account " + account_label(r.account) + " was denied.</p>");
        case decision::expired_code:
            return page("410 Gone", "Code expired",
                        "<p>This code expired before it was approved. Start a new login "
                        "in the panel.</p>");
        case decision::failed:
            return page("500 Internal Server Error", "Not recorded",
                        "<p>The approval could not be recorded. Try again.</p>");
        case decision::unknown_code:
            break;
    }
    return page("404 Not Found", "Unknown code",
                "<p>No open sign-in has this code; it may have expired or been cancelled.</p>" +
                    std::string(entry_form));
}

// The body of a POST, or nothing when it is missing, too large or short.
std::optional<std::string> read_body() {
    const char* len = platform::env("CONTENT_LENGTH");
    std::size_t n = 0;
    for (const char* p = len != nullptr ? len : ""; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        n = n * 10 + static_cast<std::size_t>(*p - '0');
        if (n > max_body) return std::nullopt;
    }
    std::string body(n, '\0');
    if (n > 0 && std::fread(body.data(), 1, n, stdin) != n) return std::nullopt;
    return body;
}

}  // namespace

int main() {
    const char* m = platform::env("REQUEST_METHOD");
    const std::string_view method = m != nullptr ? m : "GET";
    const char* q = platform::env("QUERY_STRING");
    const std::string_view query = q != nullptr ? q : "";

    std::string body;
    if (method == "POST") {
        const auto b = read_body();
        if (!b) {
            return page("413 Content Too Large", "Request refused",
                        "<p>The form could not be read.</p>");
        }
        body = *b;
    } else if (method != "GET" && method != "HEAD") {
        return page("405 Method Not Allowed", "Request refused", "<p>Use the form.</p>");
    }

    // The body's fields win over the link's, so the buttons decide the code they show. The
    // action counts only from a form body.
    auto field = [&](std::string_view key) {
        auto v = form_value(body, key);
        return v ? v : form_value(query, key);
    };
    const auto raw_code = field("code");
    const auto action = form_value(body, "action");
    if (!raw_code || raw_code->empty()) {
        return page("200 OK", "Device sign-in",
                    "<p>Enter the code shown by the panel.</p>" + std::string(entry_form));
    }
    const std::string code = normal_code(*raw_code);
    if (!code_valid(code)) {
        return page("400 Bad Request", "Invalid code",
                    "<p>A code is made of letters, digits and '-', such as ABCD-EFGH.</p>" +
                        std::string(entry_form));
    }
    if (!action || action->empty()) return confirm_page(code);
    if (*action == "approve") return decide_page(code, true);
    if (*action == "deny") return decide_page(code, false);
    return page("400 Bad Request", "Unknown action", "<p>The action must be approve or deny.</p>");
}

// navigation.cc: the browser's headers: Sec-Fetch-Dest and the Accept header's preference
// between HTML and JSON for a navigation, Sec-Fetch-Site and Origin for another site's page.
#include "request/navigation.h"

#include <string_view>

#include "platform/platform.h"

namespace credvane {

namespace {

std::string_view trim(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

bool same_word(std::string_view a, std::string_view b) {
    return a.size() == b.size() && platform::strnicmp(a.data(), b.data(), a.size()) == 0;
}

// The weight of one media range, in thousandths: "q=0.8" is 800. A missing or malformed
// weight counts as 1000, as a browser would have meant the range without one.
int weight_of(std::string_view params) {
    while (!params.empty()) {
        const std::size_t semi = params.find(';');
        std::string_view p = trim(params.substr(0, semi));
        params = semi == std::string_view::npos ? std::string_view{} : params.substr(semi + 1);
        if (p.size() < 2 || (p[0] != 'q' && p[0] != 'Q') || p[1] != '=') continue;
        p.remove_prefix(2);
        if (p.empty() || (p[0] != '0' && p[0] != '1')) return 1000;
        int w = (p[0] - '0') * 1000;
        if (p.size() > 1 && p[1] == '.') {
            int scale = 100;
            for (std::size_t i = 2; i < p.size() && i < 5 && p[i] >= '0' && p[i] <= '9'; ++i) {
                w += (p[i] - '0') * scale;
                scale /= 10;
            }
        }
        return w > 1000 ? 1000 : w;
    }
    return 1000;
}

// Whether HTML is named outright and weighs more than JSON does, JSON counting through
// application/json, else application/*, else */*.
bool accept_prefers_html(std::string_view accept) {
    int html = -1, json = -1, app_any = -1, any = -1;
    while (!accept.empty()) {
        const std::size_t comma = accept.find(',');
        const std::string_view range = accept.substr(0, comma);
        accept = comma == std::string_view::npos ? std::string_view{} : accept.substr(comma + 1);
        const std::size_t semi = range.find(';');
        const std::string_view type = trim(range.substr(0, semi));
        const int w =
            weight_of(semi == std::string_view::npos ? std::string_view{} : range.substr(semi + 1));
        int* slot = same_word(type, "text/html")          ? &html
                    : same_word(type, "application/json") ? &json
                    : same_word(type, "application/*")    ? &app_any
                    : same_word(type, "*/*")              ? &any
                                                          : nullptr;
        if (slot != nullptr && *slot < w) *slot = w;
    }
    const int json_weight = json >= 0 ? json : app_any >= 0 ? app_any : any >= 0 ? any : 0;
    return html > 0 && html > json_weight;
}

// Header values compare as browsers send them, a lower-case token alone; case and blanks
// around it are forgiven so a host that rewrites the header cannot open a way round.
bool header_is(const char* value, std::string_view token) {
    return value != nullptr && same_word(trim(value), token);
}

}  // namespace

bool browser_navigation(const char* sec_fetch_dest, const char* accept) {
    if (sec_fetch_dest != nullptr) {
        const std::string_view dest = trim(sec_fetch_dest);
        return same_word(dest, "document") || same_word(dest, "iframe");
    }
    return accept != nullptr && accept_prefers_html(accept);
}

// What tells that a page of another site sent the request, or nothing. Fetch Metadata
// says so for "cross-site", and for "same-site" too: a sibling subdomain is another
// tenant, and the panel's own calls are same-origin on both its routes. An opaque origin
// ("Origin: null": a sandboxed frame, a form of a page from a file or a redirect chain)
// is no panel either. No browser header at all (curl, scripts, a hub's own calls) is
// served. Origin is never compared with Host: a hub's proxy rewrites Host.
std::string_view other_site(const char* sec_fetch_site, const char* origin) {
    if (header_is(sec_fetch_site, "cross-site")) return "Sec-Fetch-Site: cross-site";
    if (header_is(sec_fetch_site, "same-site")) return "Sec-Fetch-Site: same-site";
    if (header_is(origin, "null")) return "Origin: null";
    return {};
}

}  // namespace credvane

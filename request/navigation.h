// navigation.h: the rules of the headers a browser sends: telling a person's browser
// opening the panel from the panel's own calls, scripts and embedded resources, and a page
// of another site from the panel.
#pragma once

#include <string_view>

namespace credvane {

// True when the request is a browser navigation to a page: Sec-Fetch-Dest says "document"
// or "iframe", or, where the browser sends no Fetch Metadata (plain HTTP to another host),
// Accept ranks text/html above JSON. A Sec-Fetch-Dest of any other kind (the panel's fetch
// calls, an <img>) is never a navigation, whatever Accept says. Either may be null.
bool browser_navigation(const char* sec_fetch_dest, const char* accept);

// What tells that a page of another site sent the request ("Sec-Fetch-Site: cross-site",
// "Sec-Fetch-Site: same-site" or "Origin: null"), or nothing; either may be null.
std::string_view other_site(const char* sec_fetch_site, const char* origin);

}  // namespace credvane

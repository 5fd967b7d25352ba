// navigation.h: telling a person's browser opening the panel from the panel's own calls,
// scripts and embedded resources, by the request headers a browser sends.
#pragma once

namespace credvane {

// True when the request is a browser navigation to a page: Sec-Fetch-Dest says "document"
// or "iframe", or, where the browser sends no Fetch Metadata (plain HTTP to another host),
// Accept ranks text/html above JSON. A Sec-Fetch-Dest of any other kind (the panel's fetch
// calls, an <img>) is never a navigation, whatever Accept says. Either may be null.
bool browser_navigation(const char* sec_fetch_dest, const char* accept);

}  // namespace credvane

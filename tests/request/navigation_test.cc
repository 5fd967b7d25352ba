// navigation_test.cc: which requests count as a person's browser opening the panel, and
// which as another site's page.
#include <gtest/gtest.h>

#include <string_view>

#include "request/navigation.h"

namespace credvane {
namespace {

TEST(BrowserNavigation, Table) {
    struct row {
        const char* dest;
        const char* accept;
        bool navigation;
    };
    const char* chromium_page =
        "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
        "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7";
    const row rows[] = {
        // Fetch Metadata decides when it is there.
        {"document", chromium_page, true},
        {"document", nullptr, true},
        {"iframe", chromium_page, true},
        {" Document ", "*/*", true},
        {"empty", chromium_page, false},  // the panel's own fetch calls
        {"image", chromium_page, false},  // an <img> of any page
        {"script", nullptr, false},
        {"", chromium_page, false},
        {"documents", chromium_page, false},
        // Without it (plain HTTP to another host), the Accept header's preference.
        {nullptr, chromium_page, true},
        {nullptr, "text/html", true},
        {nullptr, "TEXT/HTML;q=0.5, application/json;q=0.4", true},
        {nullptr, nullptr, false},
        {nullptr, "", false},
        {nullptr, "*/*", false},  // fetch() and curl
        {nullptr, "application/json", false},
        {nullptr, "text/html;q=0.5,application/json", false},
        {nullptr, "text/html,application/json", false},
        {nullptr, "text/html;q=0.9,application/*;q=1", false},
        {nullptr, "text/html;q=0, */*;q=0", false},
        {nullptr, "text/html;q=0.001", true},
        {nullptr, "text/htmlx,*/*;q=0.1", false},
        {nullptr, "text/html;level=1;q=0.9,*/*;q=0.8", true},
        {nullptr, "text/html;q=junk,*/*;q=0.8", true},
        {nullptr, ",,text/html ,", true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(browser_navigation(r.dest, r.accept), r.navigation)
            << (r.dest ? r.dest : "(no Sec-Fetch-Dest)") << " / "
            << (r.accept ? r.accept : "(no Accept)");
    }
}

// What marks another site's page: Fetch Metadata's cross-site and same-site, or an opaque
// origin; compared as a token in any case, blanks around it forgiven, nothing else.
TEST(OtherSite, Table) {
    struct row {
        const char* site;
        const char* origin;
        std::string_view why;
    };
    const row rows[] = {
        {"cross-site", nullptr, "Sec-Fetch-Site: cross-site"},
        {" Cross-Site\t", "https://panel.example", "Sec-Fetch-Site: cross-site"},
        {"same-site", nullptr, "Sec-Fetch-Site: same-site"},
        {"same-site", "null", "Sec-Fetch-Site: same-site"},
        {"same-origin", "null", "Origin: null"},
        {nullptr, " NULL ", "Origin: null"},
        {"same-origin", "https://panel.example", ""},
        {"none", nullptr, ""},
        {nullptr, nullptr, ""},  // curl, scripts, a hub's own calls
        {"cross-sites", "nullx", ""},
        {"", "", ""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(other_site(r.site, r.origin), r.why)
            << (r.site ? r.site : "(no Sec-Fetch-Site)") << " / "
            << (r.origin ? r.origin : "(no Origin)");
    }
}

}  // namespace
}  // namespace credvane

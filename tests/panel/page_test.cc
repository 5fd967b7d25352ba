// page_test.cc: the page writer's exact output and the shape of the embedded page texts.
#include "panel/page.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "base/sha256.h"

namespace credvane {
namespace {

// Runs emit_page with standard output sent to a temporary file and returns what it wrote.
std::string captured_page() {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    EXPECT_NE(sink, nullptr);
    if (sink == nullptr) return {};
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    emit_page();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string out;
    std::rewind(sink);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0) out.append(chunk, n);
    std::fclose(sink);
    return out;
}

size_t count_of(std::string_view text, std::string_view needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

TEST(EmitPage, WritesTheHeaderBlockAndTheTemplateWithBothThemeTextsInPlace) {
    const std::string out = captured_page();

    ASSERT_EQ(html_headers.size(), 159u);
    ASSERT_GE(out.size(), html_headers.size());
    EXPECT_EQ(out.substr(0, html_headers.size()), html_headers);
    EXPECT_EQ(out.find('\x01'), std::string::npos);
    EXPECT_EQ(out.find('\x02'), std::string::npos);
    EXPECT_EQ(out.find('\0'), std::string::npos);

    const size_t head_mark = page_template.find('\x01');
    const size_t script_mark = page_template.find('\x02');
    ASSERT_NE(head_mark, std::string_view::npos);
    ASSERT_NE(script_mark, std::string_view::npos);
    std::string expected(html_headers);
    expected.append(page_template.substr(0, head_mark));
    expected.append(page_theme_head);
    expected.append(page_template.substr(head_mark + 1, script_mark - head_mark - 1));
    expected.append(page_theme_script);
    expected.append(page_template.substr(script_mark + 1));
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.size(), html_headers.size() + page_template.size() - 2 + page_theme_head.size() +
                              page_theme_script.size());
}

TEST(EmitPage, DocumentOpensWithTheFixedHeadAndClosesAfterTheThemeBridge) {
    const std::string out = captured_page();
    const std::string_view body = std::string_view(out).substr(html_headers.size());

    const std::string opening =
        "<!DOCTYPE html>\n"
        "<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        // Before anything that could make a request: none of them carries the page's address,
        // which may hold the node password, as a Referer, whatever headers a hub serves it with.
        "<meta name=\"referrer\" content=\"no-referrer\">\n"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
        "<title>Codex sign-in - credvane</title>\n"
        "<meta name=\"description\" content=\""
        "Sign the OpenAI Codex CLI on this node in with a one-time device code, renew its token, "
        "and pick a named account.\">\n"
        // The icon is drawn inline: the page loads nothing, and a browser asking for
        // /favicon.ico would log a failed request.
        "<link rel=\"icon\" href=\"data:image/svg+xml,";
    ASSERT_EQ(body.substr(0, opening.size()), opening);
    const std::string policy_opening =
        "\">\n<meta http-equiv=\"Content-Security-Policy\" content=\"";
    const size_t policy_at = body.find(policy_opening, opening.size());
    ASSERT_NE(policy_at, std::string_view::npos);
    const size_t policy_end = body.find("\">\n", policy_at + policy_opening.size()) + 3;
    // The theme is chosen and the palette defined before the page's own stylesheet.
    EXPECT_EQ(body.substr(policy_end, page_theme_head.size()), page_theme_head);
    // Then the script that holds the password card's room, and the page's own stylesheet.
    const size_t after_head = policy_end + page_theme_head.size();
    EXPECT_EQ(body.substr(after_head, 9), "\n<script>");
    const size_t own_style = body.find("\n<style>", after_head);
    ASSERT_NE(own_style, std::string_view::npos);
    EXPECT_LT(own_style, body.find("</head>"));
    // The bridge runs after the panel script, as the last thing in the body.
    const std::string closing = std::string(page_theme_script) + "</body></html>\n";
    ASSERT_GE(body.size(), closing.size());
    EXPECT_EQ(body.substr(body.size() - closing.size()), closing);
    EXPECT_EQ(body.rfind("<script>"), body.size() - closing.size());
    EXPECT_EQ(count_of(body, "<html"), 1u);
    EXPECT_EQ(count_of(body, "</head>"), 1u);
}

TEST(PageTexts, ThemeTextsAreAScriptThenAStylesheetAndAScriptEndingInALineFeed) {
    EXPECT_EQ(page_theme_head.substr(0, 8), "<script>");
    EXPECT_EQ(count_of(page_theme_head, "</script>\n<style>"), 1u);
    EXPECT_EQ(page_theme_head.substr(page_theme_head.size() - 8), "</style>");
    EXPECT_EQ(page_theme_script.substr(0, 8), "<script>");
    EXPECT_EQ(page_theme_script.substr(page_theme_script.size() - 10), "</script>\n");
}

TEST(PageTexts, AreAsciiWithLineFeedsAndExactlyOneMarkOfEachKindInTheTemplate) {
    const struct {
        const char* name;
        std::string_view text;
        size_t head_marks;
        size_t script_marks;
    } cases[] = {
        {"page_template", page_template, 1, 1},
        {"page_theme_head", page_theme_head, 0, 0},
        {"page_theme_script", page_theme_script, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(count_of(c.text, "\x01"), c.head_marks);
        EXPECT_EQ(count_of(c.text, "\x02"), c.script_marks);
        for (char ch : c.text) {
            // Cast: a byte above 0x7f must not pass as a negative char.
            const auto byte = static_cast<unsigned char>(ch);
            const bool fine =
                byte == '\n' || byte == 0x01 || byte == 0x02 || (byte >= 0x20 && byte < 0x7f);
            ASSERT_TRUE(fine) << "byte " << int{byte};
        }
    }
    EXPECT_LT(page_template.find('\x01'), page_template.find('\x02'));
    // The template is NUL-terminated, as its writer walks it to the NUL.
    EXPECT_EQ(page_template.data()[page_template.size()], '\0');
}

// A script that looks up an element the markup lacks fails only in the browser, at the first
// click; this catches a renamed or misspelt id at build time.
TEST(PageTexts, EveryElementTheScriptsLookUpExistsExactlyOnce) {
    const std::string page(page_template);
    std::map<std::string, int> ids;
    const std::regex id_attr(R"re(\sid="([^"]+)")re");
    for (std::sregex_iterator it(page.begin(), page.end(), id_attr), end; it != end; ++it) {
        ++ids[(*it)[1]];
    }
    for (const auto& [id, n] : ids) EXPECT_EQ(n, 1) << "duplicate id " << id;

    const std::regex lookup(R"re(\$\('([A-Za-z]+)'\))re");
    int lookups = 0;
    for (std::sregex_iterator it(page.begin(), page.end(), lookup), end; it != end; ++it) {
        ++lookups;
        EXPECT_EQ(ids.count((*it)[1]), 1u) << "no element with id " << (*it)[1];
    }
    EXPECT_GT(lookups, 0);
}

std::string base64(const sha256_digest& d) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < d.size(); i += 3) {
        const unsigned v = unsigned{d[i]} << 16 | (i + 1 < d.size() ? unsigned{d[i + 1]} << 8 : 0) |
                           (i + 2 < d.size() ? unsigned{d[i + 2]} : 0);
        out += abc[v >> 18 & 63];
        out += abc[v >> 12 & 63];
        out += i + 1 < d.size() ? abc[v >> 6 & 63] : '=';
        out += i + 2 < d.size() ? abc[v & 63] : '=';
    }
    return out;
}

// The policy the build wrote must name exactly the digests of the blocks the page serves,
// and nothing that would let another script or style in.
TEST(EmitPage, PolicyAllowsExactlyThePagesOwnInlineBlocks) {
    const std::string out = captured_page();
    const std::string body = out.substr(html_headers.size());
    std::string sources[2];
    const char* tags[2] = {"script", "style"};
    for (int t = 0; t < 2; ++t) {
        // Appended, not `"<" + std::string(...)`: GCC 12 takes that operator's inlined copy
        // for an overlapping memcpy (-Wrestrict) in optimised builds.
        std::string open = "<";
        open += tags[t];
        const std::string close = "</" + std::string(tags[t]) + ">";
        std::vector<std::string> seen;
        for (size_t at = body.find(open); at != std::string::npos; at = body.find(open, at)) {
            const size_t from = body.find('>', at) + 1;  // past any attributes
            const size_t to = body.find(close, from);
            ASSERT_NE(to, std::string::npos) << tags[t];
            const std::string src = "'sha256-" + base64(sha256(body.substr(from, to - from))) + "'";
            if (std::find(seen.begin(), seen.end(), src) == seen.end()) seen.push_back(src);
            at = to;
        }
        ASSERT_FALSE(seen.empty()) << tags[t];
        for (const std::string& src : seen) sources[t] += (sources[t].empty() ? "" : " ") + src;
    }
    EXPECT_EQ(count_of(body, "<script"), count_of(body, "</script>"));
    EXPECT_EQ(count_of(body, "<style"), count_of(body, "</style>"));
    const std::string meta =
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
        "'none'; script-src " +
        sources[0] + "; style-src " + sources[1] +
        "; connect-src 'self'; img-src 'self' data:; base-uri 'none'; "
        "form-action 'none'\">\n";
    EXPECT_EQ(count_of(body, meta), 1u) << body.substr(0, 1200);
    // It governs only what follows it: nothing may run or style before it.
    EXPECT_LT(body.find(meta), body.find("<script"));
    EXPECT_LT(body.find(meta), body.find("<style"));
    EXPECT_EQ(count_of(body, " style=\""), 0u);
}

// The default build names no address for the source: the footer holds the name alone, with no
// link and no separator left over. (tests/panel/source_link_test.cmake covers an address.)
TEST(PageTexts, FooterLinksNoSourceWhenTheBuildNamesNoAddress) {
#ifndef CREDVANE_NO_SOURCE_URL
    GTEST_SKIP() << "this build names a source address";
#else
    const std::string_view page = page_template;
    EXPECT_EQ(count_of(page, "<footer><span id=\"footInfo\">credvane</span></footer>\n"), 1u);
    EXPECT_EQ(count_of(page, "&middot;"), 0u);
    EXPECT_EQ(count_of(page, "source-link"), 0u);
#endif
}

}  // namespace
}  // namespace credvane

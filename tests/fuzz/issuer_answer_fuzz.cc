// issuer_answer_fuzz.cc: fuzz target for what the sign-in programs take from an issuer's
// answer and from a credential file. Whatever the bytes, nothing crashes; a user code
// taken fits credvane whole; every value taken passes the checks a token must pass; and a
// credential document written out reads back as the same document.
// Input: the answer body (a JSON text, up to a NUL).
#include <string>

#include "signin/authfile.h"
#include "signin/issuer.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace credvane;
    fuzz::input in(data, size);
    const std::string body = in.text();

    const auto doc = authfile::parse(body);
    if (!doc) return 0;
    const std::string written = authfile::format(*doc);
    const auto again = authfile::parse(written);
    fuzz::check(again.has_value() && *again == *doc, "a written document does not read back", body);

    if (!doc->is_object()) return 0;
    std::string why;
    if (const auto code = signin::read_device_code(*doc, &why)) {
        fuzz::check(code->user_code.size() <= signin::max_user_code,
                    "a user code longer than credvane carries", body);
        fuzz::check(signin::opaque_ok(code->user_code, signin::max_user_code) &&
                        signin::opaque_ok(code->device_auth_id, 1024),
                    "an unchecked user code or device id", body);
        fuzz::check(code->interval >= 1 && code->interval <= signin::max_interval,
                    "an interval out of range", body);
    }
    if (const auto g = signin::read_grant(*doc, &why)) {
        fuzz::check(signin::opaque_ok(g->authorization_code, 4096) &&
                        signin::opaque_ok(g->code_verifier, 4096),
                    "an unchecked grant", body);
    }
    for (const bool refresh : {false, true}) {
        if (const auto t = signin::read_tokens(*doc, refresh, &why)) {
            fuzz::check(signin::jwt_ok(t->access_token), "an access token that is not a JWT", body);
            fuzz::check(t->id_token.empty() ? refresh : signin::jwt_ok(t->id_token),
                        "a bad id token", body);
            fuzz::check(
                t->refresh_token.empty() ? refresh : signin::opaque_ok(t->refresh_token, 8192),
                "a bad refresh token", body);
            const authfile::json file = authfile::new_login(
                *t, "https://a.example", "client", "owner", signin::account_id_of(t->id_token),
                "2026-01-01T00:00:00.000000000Z");
            fuzz::check(authfile::parse(authfile::format(file)) == file,
                        "a new credential file does not read back", body);
        }
    }
    (void)signin::error_code(*doc);
    (void)signin::refresh_token_reused(*doc);
    return 0;
}

// auth_fuzz.cc: fuzz target for the node-password check, against a plain model of its
// rules: the header exactly; "Bearer " in any case after leading spaces, more spaces, then
// exactly the password; or the first raw "pwd" value exactly, at most 255 bytes.
// Input: one byte whose low bits make the sources absent, then secret, header,
// authorization and query, separated by NUL.
#include <string>

#include "request/auth.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool model_bearer(const std::string& auth, const std::string& secret) {
    std::size_t i = auth.find_first_not_of(' ');
    if (i == std::string::npos || auth.size() - i < 7) return false;
    static const std::string scheme = "bearer ";
    for (std::size_t k = 0; k < 7; ++k) {
        char c = auth[i + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != scheme[k]) return false;
    }
    i += 7;
    while (i < auth.size() && auth[i] == ' ') ++i;
    return auth.compare(i, std::string::npos, secret) == 0;
}

// The first segment "pwd=..." decides; its whole value must equal the secret.
bool model_pwd(const std::string& q, const std::string& secret) {
    std::size_t seg = 0;
    while (!q.empty()) {
        if (q.compare(seg, 4, "pwd=") == 0) {
            const std::size_t to = std::min(q.find('&', seg + 4), q.size());
            const std::string value = q.substr(seg + 4, to - seg - 4);
            return value.size() <= 255 && value == secret;
        }
        const std::size_t amp = q.find('&', seg);
        if (amp == std::string::npos || amp + 1 == q.size()) break;
        seg = amp + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint8_t absent = in.byte();
    const std::string secret = in.text();
    const std::string header = in.text();
    const std::string auth = in.text();
    const std::string query = in.text();

    const auto s = fuzz::exact_copy(secret);
    const auto h = fuzz::exact_copy(header);
    const auto a = fuzz::exact_copy(auth);
    const auto q = fuzz::exact_copy(query);
    const credvane::password_sources offered{
        (absent & 1) ? nullptr : s.get(), (absent & 2) ? nullptr : h.get(),
        (absent & 4) ? nullptr : a.get(), (absent & 8) ? nullptr : q.get()};

    bool want = (absent & 1) || secret.empty();
    if (!want) {
        want = (!(absent & 2) && header == secret) ||
               (!(absent & 4) && model_bearer(auth, secret)) ||
               (!(absent & 8) && model_pwd(query, secret));
    }
    fuzz::check(credvane::password_ok(offered) == want,
                want ? "a request that carries the password was refused"
                     : "a request without the password passed",
                secret + " | " + header + " | " + auth + " | " + query);
    return 0;
}

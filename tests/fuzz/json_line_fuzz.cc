// json_line_fuzz.cc: fuzz target for the last-JSON-line finder on a captured CLI output,
// and for the answer lookups the actions then run from that line to the capture's end.
// Input: the capture (up to a NUL, as a capture never holds one).
#include <string>

#include "base/text.h"
#include "runner/runner.h"
#include "store/json.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/strict_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::string output = in.text();
    credvane::buf capture;
    if (!output.empty()) credvane::buf_adds(capture, output);

    std::size_t want = std::string::npos;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '{' && (i == 0 || output[i - 1] == '\n')) want = i;
    }
    const char* line = credvane::last_json_line(capture);
    if (want == std::string::npos) {
        fuzz::check(line == nullptr, "a JSON line found where none begins", output);
        return 0;
    }
    fuzz::check(line == capture.c_str() + want, "not the last line that begins with '{'", output);

    // What the start, poll and cancel actions read from the line.
    const char* end = capture.c_str() + capture.len;
    credvane::text<1024> url;
    credvane::text<64> code;
    credvane::text<512> error;
    credvane::json_str_field(line, end, "verify_url", url.span());
    credvane::json_str_field(line, end, "user_code", code.span());
    credvane::json_str_field(line, end, "error", error.span());
    // What the answers make of them: strict UTF-8 whatever the CLI printed.
    credvane::buf answer;
    credvane::buf_json(answer, url.view());
    credvane::buf_json(answer, code.view());
    credvane::buf_json(answer, error.view());
    fuzz::check(fuzz::strict_utf8(answer.view()), "an answer is not strict UTF-8", output);
    const int ok = credvane::json_bool_field(line, end, "ok", 1);
    fuzz::check(ok == 0 || ok == 1, "ok is neither true nor false");
    // Read for the sanitizers: digits run on to the capture's end.
    (void)credvane::json_num_field(line, end, "interval");
    return 0;
}

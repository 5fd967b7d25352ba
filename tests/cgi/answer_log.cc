// answer_log.cc: one JSON record per credvane run, in the folder CREDVANE_ANSWER_LOG names.
#include "tests/cgi/answer_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace cgi {

namespace {

std::string base64(const std::string& in) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                           static_cast<unsigned char>(in[i + 1]) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        out += abc[v >> 18 & 63];
        out += abc[v >> 12 & 63];
        out += abc[v >> 6 & 63];
        out += abc[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += abc[v >> 18 & 63];
        out += abc[v >> 12 & 63];
        out += i + 1 < in.size() ? abc[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

// A JSON string of bytes that may not be UTF-8: each byte of 0x80 and above becomes the
// code point of the same value, which is enough to name a query in a report.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

}  // namespace

void log_answer(const std::map<std::string, std::string>& vars,
                const std::vector<std::string>& args, const std::string& out) {
    const char* dir = std::getenv("CREDVANE_ANSWER_LOG");
    if (dir == nullptr || *dir == '\0') return;
    static std::atomic<unsigned> serial{0};
    const std::string file = std::string(dir) + "/" + std::to_string(::getpid()) + "-" +
                             std::to_string(serial++) + ".json";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test =
        info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "";
    const auto query = vars.find("QUERY_STRING");
    std::string rec = "{\"test\":" + quoted(test) + ",\"query\":" +
                      (query == vars.end() ? std::string("null") : quoted(query->second)) +
                      ",\"args\":[";
    for (std::size_t i = 0; i < args.size(); ++i) {
        // Appended piece by piece: GCC 12 misreads "," + std::string as an overlapping copy.
        if (i > 0) rec += ',';
        rec += quoted(args[i]);
    }
    rec += std::string("],\"meta\":") + (vars.count("QN_PLUGIN_META") ? "true" : "false") +
           ",\"gateway\":" + (vars.count("GATEWAY_INTERFACE") ? "true" : "false") + ",\"out\":\"" +
           base64(out) + "\"}\n";
    std::ofstream f(file, std::ios::binary);
    f << rec;
    if (!f) throw std::runtime_error("cannot write " + file);
}

}  // namespace cgi

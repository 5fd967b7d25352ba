// cred_scan_test.cc: the credential scan of a file streamed through a fixed buffer
// answers what the scan of the whole text answers, wherever the buffer's edges fall.
#include "store/cred_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "store/creds.h"
#include "store/json.h"
#include "tests/store/cred_reference.h"

namespace credvane {
namespace {

void expect_same_masks(const block_masks& a, const block_masks& b, const std::string& what) {
    EXPECT_EQ(a.in_string, b.in_string) << what;
    EXPECT_EQ(a.outside, b.outside) << what;
}

// Every byte value at every position, and random blocks dense with the bytes that matter:
// the 64-byte way (SSE2 on x86-64) marks exactly what the portable way marks.
TEST(BlockMasks, BothWaysMarkTheSameBytes) {
    for (int v = 0; v < 256; ++v) {
        for (int pos = 0; pos < 64; ++pos) {
            std::string block(64, 'a');
            block[static_cast<std::size_t>(pos)] = static_cast<char>(v);
            expect_same_masks(block_masks_64(block.data()), block_masks_portable(block.data(), 64),
                              "byte " + std::to_string(v) + " at " + std::to_string(pos));
        }
    }
    std::mt19937 rng(7);
    const std::string pool = "\"\\{}[]{|}~;:[\\]\x5b\x5d\x7b\x7d\x3b\x1b\xdb\xfb az";
    for (int i = 0; i < 2000; ++i) {
        std::string block(64, ' ');
        for (char& c : block) c = pool[rng() % pool.size()];
        expect_same_masks(block_masks_64(block.data()), block_masks_portable(block.data(), 64),
                          block);
    }
    const block_masks m = block_masks_portable("\"\\{[}]x;\xfb\x5b", 10);
    EXPECT_EQ(m.in_string, 0b11u);
    EXPECT_EQ(m.outside, 0b1000111101u);
    // Bytes past n are not looked at.
    EXPECT_EQ(block_masks_portable("\"\"", 1).in_string, 1u);
}

class StreamedFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/credvane-stream-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string make(const std::string& name, const std::string& content) {
        const std::string p = (dir_ / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    std::filesystem::path dir_;
};

bool same_record(const login_status& a, const login_status& b) {
    return a.logged_in == b.logged_in && a.has_refresh == b.has_refresh &&
           a.api_key_present == b.api_key_present && a.expires_at == b.expires_at &&
           a.last_refresh == b.last_refresh && a.account_id.view() == b.account_id.view() &&
           a.file_problem == b.file_problem;
}

// The values the streaming scan reads from the whole text, with and without the record.
void expect_reference_values(const std::string& text) {
    for (const bool record : {true, false}) {
        cred_scanner s(record);
        s.feed(text.c_str(), text.c_str() + text.size(), true);
        reference::cred_read want;
        reference::read_creds(text.c_str(), record, want);
        EXPECT_TRUE(reference::same_values(s.values(), want.values))
            << text.substr(0, 80) << (record ? " (record)" : "");
    }
}

// The rules as the plain scanner states them, on texts chosen for their edges: the token window,
// raw values and cuts, and the id token.
TEST(CredScanner, ReadsWhatThePlainScanReads) {
    const std::string jwt = "eyJhbGciOiJub25lIn0.eyJleHAiOjE3MDAwMDAwMDB9.c2ln";
    const std::string texts[] = {
        R"({"tokens":{"access_token":"x"},"access_token":"y"})",
        R"({"tokens":{"access_token":"x"},"access_token":"y")",
        R"({"tokens":{"access_token":"x"})",
        R"({"tokens":{"account_id":  12 ,"access_token":true}})",
        R"({"tokens":{"account_id":")" + std::string(200, 'a') + R"("}})",
        R"({"access_token":")" + std::string(5000, 'x') + R"("})",
        R"({"tokens":{"id_token":")" + jwt + R"(","access_token":"x"}})",
        R"({"tokens":{"access_token":"x"}})",
        R"({"tokens":{"id_token":null}})",
        R"({"tokens":{"id_token":")" + std::string(8191, 'i') + R"("}})",
        R"({"tokens":{"id_token":")" + std::string(8192, 'i') + R"("}})",
        R"({"tokens":{"id_token":")" + std::string(8190, 'i') + R"(\u00e9"}})",
        R"({"id_token":"x","tokens":{"i\u0064_token":"a.b.c"}})",
        R"({"tokens":{"x":{"id_token":"a.b.c"}}})",
    };
    for (const std::string& text : texts) expect_reference_values(text);
}

// A string is present with one character outside escape pairs; a backslash that ends
// the text counts as one.
TEST(CredScanner, PresenceNeedsOnePlainCharacter) {
    const std::pair<std::string, int> rows[] = {
        {R"({"refresh_token":"a"})", 1},
        {R"({"refresh_token":""})", 0},
        {R"({"refresh_token":"\n"})", 0},
        {R"({"refresh_token":"\\"})", 0},
        {R"({"refresh_token":"\n\ta"})", 1},
        {R"({"refresh_token":"\u0041"})", 1},
        {R"({"refresh_token":5})", 0},
        {R"({"refresh_token":null})", 0},
        {R"({"x":"a"})", 0},
        {R"({"refresh_token":"\)", 1},
        {R"({"refresh_token":")", 0},
    };
    for (const auto& [text, want] : rows) {
        cred_scanner s(false);
        s.feed(text.c_str(), text.c_str() + text.size(), true);
        EXPECT_EQ(s.values().refresh_present, want == 1) << text;
        expect_reference_values(text);
    }
}

// Texts whose escapes, keys, values and the "tokens" object's brace land on the buffer's
// 64 KiB edge at every offset around it: the file scan must answer as the scan of the
// whole text does, and that as the plain scan reads it.
TEST_F(StreamedFile, EveryEdgeAnswersAsTheWholeText) {
    const std::string jwt = "eyJhbGciOiJub25lIn0.eyJleHAiOjE3MDAwMDAwMDB9.c2ln";
    const std::vector<std::string> tails = {
        R"("tokens":{"acc\u0065ss_token":")" + jwt + R"(","refresh_token":"\n\u0041"},"x":1})",
        R"("access_token":"a\ud83d\ude00b","account_id":"\u00e9\ud800x",)"
        R"("last_refresh":"2024-05-01T12:00:00Z"})",
        R"("OPENAI_API_KEY":"\\\"","tokens":{"account_id":12345 ,"access_token":true}})",
        R"("tokens":{"access_token":")" + jwt + R"("] "refresh_token":"r"}})",
        R"("tokens":{"access_token":")" + jwt + R"(",)",
        R"("access_token":"\)",
        R"("tokens":{"id_token":"a.\u0062.c","access_token":"x"}})",
        R"("tokens":{"id_token":"\ud83d\ude00","access_token":"x"},"last_refresh":5})",
        R"("refresh_token":"\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n","tokens":"x","access_token":)" + jwt,
    };
    const std::size_t edge = 64 * 1024;
    for (const std::string& tail : tails) {
        for (std::size_t back = 0; back <= 16; ++back) {
            // A padding member puts the tail's first byte at edge - back.
            const std::string head = R"({"pad":")";
            std::string text = head + std::string(edge - back - head.size() - 2, 'p') + "\",";
            text += tail;
            const std::string path = make("c.json", text);
            expect_reference_values(text);
            login_status want;
            scan_creds(text.c_str(), want, nullptr);
            login_status got;
            ASSERT_TRUE(scan_creds_file(path.c_str(), got, lock_read_deadline())) << tail;
            EXPECT_TRUE(same_record(got, want)) << "tail " << tail << " at edge - " << back;
            account_entry entry;
            ASSERT_TRUE(scan_creds_entry_file(path.c_str(), entry, lock_read_deadline()));
            EXPECT_EQ(entry.logged_in, want.logged_in) << tail;
            EXPECT_EQ(entry.has_refresh, want.has_refresh) << tail;
            EXPECT_EQ(entry.expires_at, want.expires_at) << tail;
        }
    }
}

// The file is read whole or not at all, as read_file reads it; a NUL ends the text.
TEST_F(StreamedFile, ReadWholeOrNothing) {
    login_status st;
    EXPECT_FALSE(scan_creds_file(nullptr, st, lock_read_deadline()));
    EXPECT_FALSE(scan_creds_file("", st, lock_read_deadline()));
    EXPECT_FALSE(scan_creds_file((dir_ / "missing.json").c_str(), st, lock_read_deadline()));
    EXPECT_FALSE(scan_creds_file(dir_.c_str(), st, lock_read_deadline()));
    const std::string fifo = (dir_ / "fifo.json").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(scan_creds_file(fifo.c_str(), st, lock_read_deadline()));
    account_entry entry;
    EXPECT_FALSE(scan_creds_entry_file(fifo.c_str(), entry, lock_read_deadline()));
    EXPECT_EQ(entry.logged_in, 0);

    EXPECT_TRUE(scan_creds_file(make("empty.json", "").c_str(), st, lock_read_deadline()));
    EXPECT_EQ(st.logged_in, 0);

    // After a NUL nothing counts, though the file is read to its end.
    const std::string nul("{\"refresh_token\":\"r\",\0\"access_token\":\"x\"}", 41);
    ASSERT_TRUE(scan_creds_file(make("nul.json", nul).c_str(), st, lock_read_deadline()));
    EXPECT_EQ(st.logged_in, 0);
    EXPECT_EQ(st.has_refresh, 1);

    // 8 MiB is read; one byte more is not a credential file at all.
    const std::string head = "{\"access_token\":\"x\",\"pad\":\"";
    std::string big = head + std::string(read_file_max - head.size() - 2, 'p') + "\"}";
    login_status at_limit;
    ASSERT_TRUE(scan_creds_file(make("max.json", big).c_str(), at_limit, lock_read_deadline()));
    EXPECT_EQ(at_limit.logged_in, 1);
    big.insert(big.size() - 2, "p");
    login_status over;
    EXPECT_FALSE(scan_creds_file(make("over.json", big).c_str(), over, lock_read_deadline()));
    EXPECT_EQ(over.logged_in, 0);
}

}  // namespace
}  // namespace credvane

// scanner_bench.cc: the JSON scanner and the credential scan over large texts, next to a
// plain pass over the same bytes (memchr for a byte that is not there), which is the
// floor any scan of the text pays. bench/run.sh prints each figure as a ratio to it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "store/cred_scan.h"
#include "store/creds.h"
#include "store/json.h"
#include "store/login_status.h"

namespace {

constexpr std::size_t mib8 = 8u * 1024 * 1024;

// A credential file whose bulk is one long string member, as a bloated or padded file is.
std::string one_long_string(std::size_t size) {
    const std::string head =
        "{\"tokens\":{\"access_token\":\"eyJhbGciOiJub25lIn0.eyJleHAiOjQxMDI0NDQ4MDB9.c2ln\","
        "\"refresh_token\":\"r\"},\"pad\":\"";
    return head + std::string(size - head.size() - 2, 'p') + "\"}";
}

// A credential file whose bulk is many short members: every byte goes through the
// scanner's key decoding.
std::string many_members(std::size_t size) {
    std::string s =
        "{\"tokens\":{\"access_token\":\"eyJhbGciOiJub25lIn0.eyJleHAiOjQxMDI0NDQ4MDB9.c2ln\"}";
    for (int i = 0; s.size() + 40 < size; ++i) s += ",\"member" + std::to_string(i) + "\":12345";
    s.append(size - s.size() - 1, ' ');
    return s + "}";
}

// A credential file as the login CLI writes it: two JWTs of 578 bytes, 1.3 KiB in all.
std::string usual_file() {
    const std::string jwt =
        "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.eyJleHAiOjQxMDI0NDQ4MDAsImlhdCI6MTcwMDAwMDAwMCwi"
        "aXNzIjoiaHR0cHM6Ly9hdXRoLmV4YW1wbGUiLCJhdWQiOlsiYXBpIl0sInN1YiI6InVzZXItMTIzNDU2Nzg5"
        "MCIsInNjb3BlIjoib3BlbmlkIHByb2ZpbGUgZW1haWwgb2ZmbGluZV9hY2Nlc3MifQ." +
        std::string(342, 's');
    return "{\"OPENAI_API_KEY\":null,\"tokens\":{\"id_token\":\"" + jwt + "\",\"access_token\":\"" +
           jwt +
           "\",\"refresh_token\":\"rt_0123456789abcdef0123456789abcdef\",\"account_id\":"
           "\"acct-0123456789\"},\"last_refresh\":\"2025-01-01T12:00:00.000000Z\"}";
}

const std::string& text_for(int shape) {
    static const std::string a = one_long_string(mib8);
    static const std::string b = many_members(mib8);
    static const std::string c = usual_file();
    return shape == 0 ? a : shape == 1 ? b : c;
}

void floor_memchr(benchmark::State& state) {
    const std::string& t = text_for(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(std::memchr(t.data(), '\x01', t.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

void find_absent_key(benchmark::State& state) {
    const std::string& t = text_for(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            credvane::json_find_key(t.c_str(), t.c_str() + t.size(), "last_refresh"));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

// The record is made once: the scan only sets fields, so scanning the same text into it
// again does the same work, and clearing 11 KiB is not the scan's cost.
void scan_creds(benchmark::State& state) {
    const std::string& t = text_for(static_cast<int>(state.range(0)));
    credvane::login_status st;
    for (auto _ : state) {
        credvane::scan_creds(t.c_str(), st, nullptr);
        benchmark::DoNotOptimize(st.expires_at);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

// What the accounts list reads from each named account file: the scan without the record.
void scan_creds_entry(benchmark::State& state) {
    const std::string& t = text_for(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        credvane::cred_scanner s(false);
        s.feed(t.c_str(), t.c_str() + t.size(), true);
        benchmark::DoNotOptimize(s.values().access_token);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

// Argument: 0 one long string, 1 many short members (both 8 MiB), 2 the usual file.
BENCHMARK(floor_memchr)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(find_absent_key)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(scan_creds)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(scan_creds_entry)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// harness.cc: Windows process plumbing for the wine CGI tests.
#include "tests/wine/harness.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace wine {

const std::string json_head =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

std::string status_head(const std::string& status_and_reason) {
    return "Status: " + status_and_reason + "\r\n" + json_head;
}

namespace {

// The strings here are built by appending: GCC 12 takes "literal" + std::string&& for an
// overlapping copy (-Wrestrict) and the test build treats warnings as errors.
std::string object_name(const std::string& name, const char* what) {
    std::string full = "Local\\";
    full += name;
    full += '-';
    full += what;
    return full;
}

// Returns once the helper has ended: its mutex is free only then (abandoned by its end).
void wait_for_end(const std::string& name) {
    HANDLE alive =
        OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, object_name(name, "alive").c_str());
    if (alive == nullptr) return;  // no helper holds it any more, or none ever did
    const DWORD w = WaitForSingleObject(alive, INFINITE);
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) ReleaseMutex(alive);
    CloseHandle(alive);
}

}  // namespace

held_helper::held_helper() {
    static int count = 0;
    name_ = "credvane-held-";
    name_ += std::to_string(GetCurrentProcessId());
    name_ += '-';
    name_ += std::to_string(++count);
    up_ = CreateEventA(nullptr, TRUE, FALSE, object_name(name_, "up").c_str());
    go_ = CreateEventA(nullptr, TRUE, FALSE, object_name(name_, "go").c_str());
    if (up_ == nullptr || go_ == nullptr)
        throw std::runtime_error("cannot make the helper's events");
}

held_helper::~held_helper() {
    let_go_and_wait();
    CloseHandle(up_);
    CloseHandle(go_);
}

std::string held_helper::command(const char* mode) const {
    std::string line = "\"";
    line += exe_dir();
    line += "wine_helper.exe\" ";
    line += mode;
    line += ' ';
    line += name_;
    return line;
}

std::string held_helper::hold_command(const std::string& mark) const {
    std::string line = command("hold");
    line += " \"";
    line += mark;
    line += '"';
    return line;
}

std::string held_helper::up_command() const {
    return command("up");
}

bool held_helper::came_up() const {
    return WaitForSingleObject(up_, 0) == WAIT_OBJECT_0;
}

void held_helper::let_go_and_wait() {
    SetEvent(go_);
    wait_for_end(name_);
}

bool nocase_less::operator()(const std::string& a, const std::string& b) const {
    return _stricmp(a.c_str(), b.c_str()) < 0;
}

std::string exe_dir() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of('\\') + 1);
}

namespace {

struct handle {
    HANDLE h = nullptr;
    handle() = default;
    explicit handle(HANDLE v) : h(v == INVALID_HANDLE_VALUE ? nullptr : v) {}
    ~handle() { reset(); }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    void reset() {
        if (h != nullptr) CloseHandle(h);
        h = nullptr;
    }
};

// The variables a Windows process needs to find its system; the rest is the test's.
const char* const system_variables[] = {"SystemRoot", "windir",  "SystemDrive", "PATH",
                                        "PATHEXT",    "COMSPEC", "TEMP",        "TMP"};

void drain(HANDLE h, std::string& into) {
    char chunk[65536];
    DWORD n = 0;
    while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0) into.append(chunk, n);
}

}  // namespace

host::host() {
    static unsigned serial = 0;
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, temp);
    // A space in every path: each CLI path and credential path must survive cmd.exe.
    root = std::string(temp) + "credvane wine " + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++serial);
    home = root + "\\home";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(root + "\\bin");
    for (const char* name : system_variables) {
        if (const char* v = std::getenv(name)) env[name] = v;
    }
    env["USERPROFILE"] = home;
    // The default login CLI name is nowhere on PATH, so by default there is no CLI.
}

host::~host() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

std::string host::write(const std::string& rel, const std::string& content) {
    const std::filesystem::path p = root + "\\" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

std::string host::script(const std::string& name, const std::string& body) {
    std::string crlf = "@echo off\r\n";
    for (const char c : body) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return write("bin\\" + name + ".cmd", crlf);
}

std::string host::read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool host::exists(const std::string& path) const {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

result host::run(const std::string& query, const std::vector<std::string>& args,
                 bool query_set) const {
    auto vars = env;
    if (query_set) vars["QUERY_STRING"] = query;
    // A sorted block (the map's order) of NAME=value entries, ended by an empty one.
    std::string block;
    for (const auto& [k, v] : vars) block += k + "=" + v + '\0';
    block += '\0';
    block += '\0';

    const std::string exe = exe_dir() + "credvane.exe";
    std::string line = "\"" + exe + "\"";
    for (const std::string& a : args) line += " \"" + a + "\"";

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe out");
    handle out_read(r), out_write(w);
    if (!CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe err");
    handle err_read(r), err_write(w);
    if (!CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe in");
    handle in_read(r), in_write(w);
    // Our ends stay with us, or the child would hold its own pipes open.
    SetHandleInformation(out_read.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write.h, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read.h;
    si.hStdOutput = out_write.h;
    si.hStdError = err_write.h;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, block.data(),
                        root.c_str(), &si, &pi)) {
        throw std::runtime_error("CreateProcess " + exe);
    }
    handle process(pi.hProcess), thread(pi.hThread);
    out_write.reset();
    err_write.reset();
    in_read.reset();

    // The request body waits on credvane's stdin; a CLI that read it would show.
    DWORD written = 0;
    WriteFile(in_write.h, stdin_bytes.data(), static_cast<DWORD>(stdin_bytes.size()), &written,
              nullptr);
    in_write.reset();

    result res;
    std::thread err_reader([&] { drain(err_read.h, res.err); });
    drain(out_read.h, res.out);
    err_reader.join();
    WaitForSingleObject(process.h, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.h, &code);
    res.exit_code = code;
    return res;
}

std::string json_text(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string jwt_with_exp(long long exp) {
    const std::string payload = "{\"exp\":" + std::to_string(exp) + "}";
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (const unsigned char c : payload) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += abc[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out += abc[(acc << (6 - bits)) & 63];
    return "eyJhbGciOiJub25lIn0." + out + ".c2ln";
}

}  // namespace wine

// cli_posix_test.cc: what only a POSIX node shows of credvane-login and credvane-refresh:
// file modes and folders others may change, a full disk, proxy variables, core files and
// TLS through libcurl. The cases both platforms share are in cases_test.cc.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "helpers.h"
#include "tests/signin/harness.h"

namespace signin_test {
namespace {

// A file of up to 3 KiB may be written, as on a nearly full disk; a larger write fails
// (the signal that would end the program is ignored, so the write itself reports it).
cgi::result with_small_disk(const cgi::host& h, const std::string& program,
                            std::vector<std::string> args) {
    std::vector<std::string> sh = {"-c", "trap '' XFSZ; ulimit -f 6; exec \"$0\" \"$@\"", program};
    sh.insert(sh.end(), args.begin(), args.end());
    return h.exec("/bin/sh", sh);
}

// The refresh token is single-use: when the new tokens would have nowhere to go, it is not sent.
TEST_F(Signin, RefreshSendsNoTokenItCouldNotWriteTheAnswerOf) {
    const std::string old = login_file(iss.url(), jwt({{"exp", 1800000000}}));
    put_auth(old);
    // The answer is larger than the disk takes; the old file is not.
    const json tokens = {
        {"access_token", jwt({{"exp", 1900000000}, {"pad", std::string(6000, 'x')}})},
        {"refresh_token", "rt-new"}};
    iss.fault(oauth_path, {{"status", 200}, {"body", tokens.dump()}});
    const cgi::result r =
        with_small_disk(h, refresh_exe(), {"--credentials-file", auth(), "--force"});
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(answer_of(r)["error"], "write_failed") << r.out;
    EXPECT_EQ(iss.count(oauth_path), 0u)
        << "the token was spent on an answer that could not be kept";
    EXPECT_EQ(h.read(auth()), old);
    for (const auto& e : std::filesystem::directory_iterator(at_home(".codex"))) {
        EXPECT_EQ(e.path().filename().string().rfind(".auth-", 0), std::string::npos) << e.path();
    }
}

// Sets or clears a file's immutable flag; false where the file system keeps none or the
// process may not (only root may).
bool set_immutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// A folder that takes new files may still keep the old one: an immutable credential file is
// found before the single-use refresh token or authorization code is sent, not after.
TEST_F(Signin, AFileThatCannotBeReplacedIsFoundBeforeATokenIsSent) {
    const std::string old = login_file(iss.url(), jwt({{"exp", 1800000000}}));
    put_auth(old);
    if (!set_immutable(auth(), true)) GTEST_SKIP() << "no immutable files here (root on ext4)";
    struct cleared {
        std::string path;
        ~cleared() { set_immutable(path, false); }
    } const clear{auth()};
    const json refreshed = refresh_auth();
    EXPECT_EQ(refreshed.value("error", ""), "write_failed") << refreshed.dump();
    EXPECT_EQ(iss.count(oauth_path), 0u) << "the refresh token was spent";

    const std::string code = start({"--force"});
    iss.control("/test/approve", {{"user_code", code}});
    make_poll_due();
    const json polled = login({"--poll"});
    EXPECT_EQ(polled.value("error", ""), "write_failed") << polled.dump();
    EXPECT_EQ(iss.count(oauth_path), 0u) << "the code was exchanged";
    EXPECT_EQ(h.read(auth()), old);
}

// A sign-out leaves no copy of the tokens on disk: through a link it removes the file the link
// leads to, where a write would have put them (the link stays, as a write leaves it), and a
// file whose bytes other hard links share is emptied for every name. A file that cannot go is
// found before its token is revoked.
TEST_F(Signin, LogoutLeavesNoCopyOfTheTokens) {
    const std::string file = login_file(iss.url(), jwt({{"exp", 1800000000}}), "rt-out");
    const std::string target = h.write("elsewhere/auth.json", file);
    h.folder(home_rel(".codex"));
    std::filesystem::create_symlink(target, auth());
    EXPECT_EQ(login({"--logout"}).value("state", ""), "logged_out");
    EXPECT_FALSE(h.exists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(auth()));
    std::filesystem::remove(auth());

    put_auth(file);
    const std::string other = h.path("elsewhere/other-name.json");
    std::filesystem::create_hard_link(auth(), other);
    EXPECT_EQ(login({"--logout"}).value("state", ""), "logged_out");
    EXPECT_FALSE(h.exists(auth()));
    EXPECT_EQ(h.read(other), "");
    EXPECT_EQ(iss.count(revoke_path), 2u);

    put_auth(file);
    if (!set_immutable(auth(), true)) GTEST_SKIP() << "no immutable files here (root on ext4)";
    const json refused = login({"--logout"});
    set_immutable(auth(), false);
    EXPECT_EQ(refused.value("error", ""), "write_failed") << refused.dump();
    EXPECT_NE(refused.value("detail", "").find("nothing was revoked"), std::string::npos);
    EXPECT_EQ(iss.count(revoke_path), 2u);
    EXPECT_EQ(h.read(auth()), file);
    for (const auto& e : std::filesystem::directory_iterator(at_home(".codex"))) {
        EXPECT_EQ(e.path().filename().string().rfind(".auth-", 0), std::string::npos) << e.path();
    }
}

// Plain http goes to the loopback only, and never through a proxy, whatever variable names
// one. The proxy is a second stand-in issuer: any call that reached it would be recorded.
TEST_F(Signin, LoopbackTrafficTakesNoProxy) {
    const stand_in_issuer proxy;
    ASSERT_FALSE(proxy.url().empty());
    for (const char* var : {"http_proxy", "all_proxy", "ALL_PROXY", "HTTPS_PROXY", "https_proxy"}) {
        h.env[var] = proxy.url();
    }
    const std::string code = start();
    iss.control("/test/approve", {{"user_code", code}});
    make_poll_due();
    EXPECT_EQ(login({"--poll"})["state"], "done");
    EXPECT_EQ(proxy.requests().size(), 0u) << "the code and the tokens went to the proxy";
}

// A folder someone else may change is not written into, as ssh refuses its own files.
TEST_F(Signin, FoldersOthersMayChangeAreRefused) {
    struct row {
        const char* what;
        std::string folder;  // relative to home
        unsigned mode;
        bool foreign_owner;
        bool refused;
    };
    const row rows[] = {
        {"codex folder writable by all", ".codex", 0777, false, true},
        {"codex folder writable by the group", ".codex", 0770, false, true},
        // Another user could still make auth.json there first, as a link or a file.
        {"codex folder with the sticky bit", ".codex", 01777, false, true},
        {"group folder with the sticky bit", ".codex", 01770, false, true},
        {"codex folder of another user", ".codex", 0700, true, true},
        {"pending folder writable by all", ".claude/.login-pending", 0777, false, true},
        {"private folders", ".codex", 0700, false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        cgi::host fresh;
        prepare_host(fresh);
        fresh.env["CREDVANE_ISSUER"] = iss.url();
        const std::string dir = fresh.folder("home/" + r.folder);
        ASSERT_EQ(::chmod(dir.c_str(), r.mode), 0);
        // Run as root, the test can hand the folder to nobody; otherwise that row is skipped.
        if (r.foreign_owner && ::chown(dir.c_str(), 65534, 65534) != 0) continue;
        const cgi::result start = fresh.exec(login_exe(), {"--start"});
        if (r.refused) {
            EXPECT_EQ(start.exit_code, 1) << start.out;
            EXPECT_EQ(answer_of(start)["error"], "write_failed") << start.out;
            EXPECT_NE(answer_of(start)["detail"].get<std::string>().find(dir), std::string::npos);
            EXPECT_FALSE(
                fresh.exists(fresh.path("home/.claude/.login-pending/codex-default.json")));
        } else {
            EXPECT_EQ(start.exit_code, 0) << start.out;
        }
        if (r.folder == ".codex") {
            const std::string file = fresh.write("home/.codex/auth.json",
                                                 login_file(iss.url(), jwt({{"exp", 1800000000}})));
            ::chmod(dir.c_str(), r.mode);  // the write may not change it, but be sure
            const std::size_t before = iss.count(oauth_path);
            const cgi::result ref =
                fresh.exec(refresh_exe(), {"--credentials-file", file, "--force"});
            EXPECT_EQ(answer_of(ref)["error"] == "write_failed", r.refused) << ref.out;
            if (r.refused) {
                EXPECT_EQ(iss.count(oauth_path), before);
            }
        }
    }
}

// A home the program may not make the pending folder in is named, with the system's
// reason, before the issuer hands out a code that could not be kept.
TEST_F(Signin, AHomeThatCannotBeWrittenIsNamedBeforeACodeIsAsked) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write any folder whatever its mode";
    ASSERT_EQ(::chmod(h.home.c_str(), 0500), 0);
    const cgi::result start = login_run({"--start"});
    ::chmod(h.home.c_str(), 0700);
    EXPECT_EQ(start.exit_code, 1) << start.out;
    EXPECT_EQ(answer_of(start)["error"], "marker_failed") << start.out;
    EXPECT_EQ(answer_of(start)["detail"], "could not write the pending-login marker " + marker() +
                                              ": " + h.home +
                                              " cannot be written: Permission denied");
    EXPECT_EQ(iss.count(usercode_path), 0u);
}

// As the Codex CLI: a linked credential file is written through the link (a hard-linked one
// is refused: cases_test.cc).
TEST_F(Signin, LinkedCredentialFilesAreWrittenAsTheCodexCliWritesThem) {
    const std::string old = login_file(iss.url(), jwt({{"exp", 1800000000}}));
    const std::string target = h.write("elsewhere/auth.json", old);
    h.folder(home_rel(".codex"));
    std::filesystem::create_symlink("../../elsewhere/auth.json", auth());
    const json tokens = {{"access_token", jwt({{"exp", 1900000000}})}, {"refresh_token", "rt-new"}};
    iss.fault(oauth_path, {{"status", 200}, {"body", tokens.dump()}});
    const json r = refresh_auth();
    EXPECT_EQ(r["state"], "refreshed") << r.dump();
    EXPECT_TRUE(std::filesystem::is_symlink(auth()));
    EXPECT_EQ(json::parse(h.read(target))["tokens"]["refresh_token"], "rt-new");
    expect_owner_only(target);
}

// Whether the process behind a /proc folder is a child of this test process: the tests run
// side by side, and another test's credvane-login may be just starting.
bool is_my_child(const std::filesystem::path& proc) {
    std::ifstream in(proc / "stat");
    std::string stat;
    std::getline(in, stat);
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses of its own.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    return ppid == static_cast<long>(::getpid());
}

// The core-file limit of every credvane-login this test runs now, as the system reports it.
std::vector<std::string> core_limits_of_running_logins() {
    std::vector<std::string> limits;
    std::error_code ec;
    const auto exe = std::filesystem::canonical(CREDVANE_LOGIN_EXE, ec);
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(e.path() / "exe", ignored) != exe) continue;
        if (!is_my_child(e.path())) continue;
        std::ifstream in(e.path() / "limits");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("Max core file size", 0) == 0) limits.push_back(line);
        }
    }
    return limits;
}

// A program that holds tokens leaves no core file behind when it crashes.
TEST_F(Signin, TheLoginProgramAllowsNoCoreFile) {
    // Read while the program waits for the issuer's answer.
    iss.control("/test/hold", {{"path", usercode_path}});
    cgi::result start;
    std::thread running([&] { start = login_run({"--start"}); });
    iss.wait_for("held");
    const std::vector<std::string> seen_limits = core_limits_of_running_logins();
    iss.control("/test/release", {{"path", usercode_path}});
    running.join();
    ASSERT_EQ(start.exit_code, 0) << start.out;
    ASSERT_FALSE(seen_limits.empty()) << "the running program was not found";
    for (const std::string& line : seen_limits) {
        std::istringstream words(line.substr(std::string("Max core file size").size()));
        std::string soft, hard;
        words >> soft >> hard;
        EXPECT_EQ(soft, "0") << line;
        EXPECT_EQ(hard, "0") << line;
    }
}

// An https server on 127.0.0.1 with a certificate nobody trusts: enough for a TLS handshake
// to begin, and so for a key log to be written, before the certificate is refused.
class tls_server {
  public:
    explicit tls_server(const std::string& dir) {
        const std::string key = dir + "/key.pem", cert = dir + "/cert.pem";
        const std::string make =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" +
            key + "' -out '" + cert + "' -subj /CN=localhost -days 1 >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) return;
        port = closed_port();
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        const std::string accept = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args = {"openssl", "s_server", "-accept", accept, "-cert",
                                         cert,      "-key",     key,       "-www"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, "openssl", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            pid_ = -1;
            return;
        }
        // It says ACCEPT once it listens.
        FILE* f = ::fdopen(out[0], "r");
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::string_view(line).starts_with("ACCEPT")) {
                ready = true;
                break;
            }
        }
        std::fclose(f);
    }
    ~tls_server() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool ready = false;
    int port = 0;

  private:
    pid_t pid_ = -1;
};

// TLS session secrets never reach a key log file, whatever the environment says.
TEST_F(Signin, NoKeyLogIsWritten) {
    const tls_server tls(h.root);
    if (!tls.ready) GTEST_SKIP() << "openssl s_server could not be started";
    const std::string keys = h.path("keys.log");
    h.env["SSLKEYLOGFILE"] = keys;
    h.env["CREDVANE_ISSUER"] = "https://127.0.0.1:" + std::to_string(tls.port);
    const cgi::result r = login_run({"--start"});
    EXPECT_EQ(answer_of(r)["error"], "start_failed") << r.out;  // the certificate is not trusted
    EXPECT_FALSE(h.exists(keys)) << h.read(keys);
    put_auth(login_file(h.env["CREDVANE_ISSUER"], jwt({{"exp", 1800000000}})));
    EXPECT_EQ(refresh_auth()["error"], "refresh_failed");
    EXPECT_FALSE(h.exists(keys)) << h.read(keys);
}

// An issuer whose certificate no authority vouches for fails the issuer check on the
// certificate, and the self-check sends the operator to CREDVANE_CA_FILE.
TEST_F(Signin, TheIssuerCheckTellsAnUntrustedCertificate) {
    const tls_server tls(h.root);
    if (!tls.ready) GTEST_SKIP() << "openssl s_server could not be started";
    h.env["CREDVANE_ISSUER"] = "https://localhost:" + std::to_string(tls.port);
    const json a = login({"--check-issuer"});
    EXPECT_EQ(a["error"], "unreachable") << a;
    EXPECT_NE(a["detail"].get<std::string>().find("certificate"), std::string::npos) << a;
    EXPECT_EQ(a["ca"], "the system's");
    h.env["CODEX_LOGIN_BIN"] = login_exe();
    const cgi::result check = h.run_args({"--check"});
    EXPECT_EQ(check.exit_code, 1);
    const std::size_t line = check.out.find("failed  issuer: https://localhost:");
    ASSERT_NE(line, std::string::npos) << check.out;
    EXPECT_NE(check.out.find("certificate", line), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("CREDVANE_CA_FILE", line), std::string::npos) << check.out;
}

// An operator's own certificate authority is named to both programs in one variable.
TEST_F(Signin, ACertificateAuthorityFileIsHonoured) {
    const tls_server tls(h.root);
    if (!tls.ready) GTEST_SKIP() << "openssl s_server could not be started";
    h.env["CREDVANE_ISSUER"] = "https://localhost:" + std::to_string(tls.port);
    const cgi::result untrusted = login_run({"--start"});
    EXPECT_EQ(answer_of(untrusted)["error"], "start_failed") << untrusted.out;
    EXPECT_NE(untrusted.out.find("certificate"), std::string::npos) << untrusted.out;
    h.env["CREDVANE_CA_FILE"] = h.path("cert.pem");
    // The test server completes the handshake but never answers a POST: the run ends when
    // its time is up, and not on the certificate.
    h.env["CREDVANE_CLI_TIMEOUT"] = "2";
    const cgi::result trusted = login_run({"--start"});
    EXPECT_EQ(answer_of(trusted)["error"], "start_failed") << trusted.out;
    EXPECT_EQ(trusted.out.find("certificate"), std::string::npos) << trusted.out;
}

}  // namespace
}  // namespace signin_test

/* floor_status.c: the least work a status request can do, as the benchmark's yardstick:
 * read the credential file once, run the login CLI once through /bin/sh reading its
 * output, write a fixed answer. Same inputs as credvane (CODEX_CREDS_PATH,
 * CODEX_LOGIN_BIN); no parsing, no formatting, no other file. With the argument
 * --accounts it also reads every "*.json" file of CODEX_ACCOUNTS_DIR once, the floor of
 * a status that lists named accounts. With --stream it reads the credential file through
 * one 64 KiB buffer instead of into a block of its size: every byte passes once and none
 * is kept, the least a reader of the whole file can do. With --poll it runs the CLI three
 * times, as a poll does (--status, --poll, --status). Every run goes through /bin/sh, as
 * credvane's did before it started the CLI directly: the "shell floor". */
#define _GNU_SOURCE /* pipe2 */
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static const char answer[] =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n"
    "{\"ok\":true,\"state\":\"done\",\"logged_in\":false}\n";

static void read_once(const char* path) {
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    struct stat st;
    if (fd < 0) return;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        char* text = malloc((size_t)st.st_size + 1);
        if (text && read(fd, text, (size_t)st.st_size) == st.st_size) text[st.st_size] = '\0';
        free(text);
    }
    close(fd);
}

static void stream_once(const char* path) {
    static char chunk[65536];
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return;
    while (read(fd, chunk, sizeof chunk) > 0) {
    }
    close(fd);
}

static void run_cli_once(const char* cli, const char* args) {
    char line[1024];
    char out[4096];
    int fds[2];
    pid_t pid;
    posix_spawn_file_actions_t fa;
    char* argv[] = {"/bin/sh", "-c", line, NULL};
    snprintf(line, sizeof line, "'%s' %s 2>/dev/null", cli ? cli : "", args);
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    if (posix_spawn(&pid, "/bin/sh", &fa, NULL, argv, environ) == 0) {
        close(fds[1]);
        while (read(fds[0], out, sizeof out) > 0) {
        }
        waitpid(pid, NULL, 0);
    } else {
        close(fds[1]);
    }
    close(fds[0]);
    posix_spawn_file_actions_destroy(&fa);
}

static void read_accounts(const char* dir) {
    char path[4096];
    struct dirent* e;
    DIR* d = dir ? opendir(dir) : NULL;
    if (!d) return;
    while ((e = readdir(d)) != NULL) {
        size_t n = strlen(e->d_name);
        if (n <= 5 || strcmp(e->d_name + n - 5, ".json") != 0) continue;
        snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        read_once(path);
    }
    closedir(d);
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "--stream") == 0) {
        stream_once(getenv("CODEX_CREDS_PATH"));
    } else {
        read_once(getenv("CODEX_CREDS_PATH"));
    }
    if (strcmp(mode, "--accounts") == 0) read_accounts(getenv("CODEX_ACCOUNTS_DIR"));
    if (strcmp(mode, "--poll") == 0) {
        /* A poll asks the CLI three times: the status, the poll, the status after it. */
        run_cli_once(getenv("CODEX_LOGIN_BIN"), "--status");
        run_cli_once(getenv("CODEX_LOGIN_BIN"), "--poll");
    }
    run_cli_once(getenv("CODEX_LOGIN_BIN"), "--status");
    return write(1, answer, sizeof answer - 1) == (ssize_t)(sizeof answer - 1) ? 0 : 1;
}

/* floor_status.c: the least work a status request can do, as the benchmark's yardstick:
 * read the credential file once, run the login CLI once reading its output, write a fixed
 * answer. Same inputs as credvane (CODEX_CREDS_PATH, CODEX_LOGIN_BIN); no parsing, no
 * formatting, no other file. Arguments, in any combination:
 *   --direct    start the CLI itself with posix_spawn and wait for it; without it every
 *               run goes through /bin/sh, as credvane's did before it started the CLI
 *               directly (the "shell floor");
 *   --stream    read every file through one 64 KiB buffer instead of into a block of its
 *               size: every byte passes once and none is kept, the least a reader of the
 *               whole file can do;
 *   --accounts  also read every "*.json" file of CODEX_ACCOUNTS_DIR once, the floor of a
 *               status that lists named accounts;
 *   --list      also list CODEX_ACCOUNTS_DIR once, every entry, reading no file;
 *   --poll      run the CLI three times, as a poll does (--status, --poll, --status). */
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

static int direct, streaming;

static void run_cli_once(const char* cli, const char* args) {
    char line[1024];
    char arg[64];
    char out[4096];
    int fds[2];
    pid_t pid;
    posix_spawn_file_actions_t fa;
    char* shell_argv[] = {"/bin/sh", "-c", line, NULL};
    char* cli_argv[] = {(char*)(cli ? cli : ""), arg, NULL};
    char** argv = direct ? cli_argv : shell_argv;
    snprintf(line, sizeof line, "'%s' %s 2>/dev/null", cli ? cli : "", args);
    snprintf(arg, sizeof arg, "%s", args);
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    if (direct) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, argv[0], &fa, NULL, argv, environ) == 0) {
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
        if (streaming) {
            stream_once(path);
        } else {
            read_once(path);
        }
    }
    closedir(d);
}

static void list_once(const char* dir) {
    DIR* d = dir ? opendir(dir) : NULL;
    if (!d) return;
    while (readdir(d) != NULL) {
    }
    closedir(d);
}

static int has(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], flag) == 0) return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    direct = has(argc, argv, "--direct");
    streaming = has(argc, argv, "--stream");
    if (streaming) {
        stream_once(getenv("CODEX_CREDS_PATH"));
    } else {
        read_once(getenv("CODEX_CREDS_PATH"));
    }
    if (has(argc, argv, "--accounts")) read_accounts(getenv("CODEX_ACCOUNTS_DIR"));
    if (has(argc, argv, "--list")) list_once(getenv("CODEX_ACCOUNTS_DIR"));
    if (has(argc, argv, "--poll")) {
        /* A poll asks the CLI three times: the status, the poll, the status after it. */
        run_cli_once(getenv("CODEX_LOGIN_BIN"), "--status");
        run_cli_once(getenv("CODEX_LOGIN_BIN"), "--poll");
    }
    run_cli_once(getenv("CODEX_LOGIN_BIN"), "--status");
    return write(1, answer, sizeof answer - 1) == (ssize_t)(sizeof answer - 1) ? 0 : 1;
}

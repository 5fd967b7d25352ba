/* floor_http.c: the network floor of a sign-in CLI run: the same POSTs to the same local
 * server over plain sockets, each answer read whole, nothing else.
 *   floor_http PORT PATH [PATH...]   one request per PATH, one connection for all */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int exchange(int fd, const char* path) {
    const char* body = "{\"client_id\":\"app_EMoamEEZ73f0CkXaXp7hrann\"}";
    char req[512];
    int n = snprintf(req, sizeof req,
                     "POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                     "Content-Length: %zu\r\n\r\n%s",
                     path, strlen(body), body);
    if (write(fd, req, (size_t)n) != n) return 1;
    char buf[8192];
    size_t got = 0;
    for (;;) {
        ssize_t r = read(fd, buf + got, sizeof buf - got - 1);
        if (r <= 0) return 1;
        got += (size_t)r;
        buf[got] = 0;
        char* end = strstr(buf, "\r\n\r\n");
        if (end == NULL) continue;
        const char* cl = strstr(buf, "Content-Length: ");
        size_t want = (size_t)(end + 4 - buf) + (cl ? strtoul(cl + 16, NULL, 10) : 0);
        if (got >= want) return 0;
    }
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) return 1;
    for (int i = 2; i < argc; ++i) {
        if (exchange(fd, argv[i]) != 0) return 1;
    }
    close(fd);
    fputs("{\"ok\":true}\n", stdout);
    return 0;
}

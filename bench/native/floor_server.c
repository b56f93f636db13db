/* floor_server.c: the server benchmark's floor: one thread, epoll, a fixed verdict per line.
 *
 *   floor_server [--port N] [--max-seconds S]
 *
 * Answers every line feed received with {"verdict":"release"} and parses or stores
 * nothing, so what it costs is the generator, the loopback and the least a server on
 * one event loop must do: per readiness, one read and one write of every reply that
 * read asked for. Listens on 127.0.0.1 (an ephemeral port unless --port is given) and
 * prints the port on standard output. Ends when standard input closes (the benchmark
 * holds the other end) or after --max-seconds (default 1800).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

static const char kReply[] = "{\"verdict\":\"release\"}\n";
#define REPLY_SIZE (sizeof kReply - 1)
#define READ_SIZE 65536                       /* one read at most */
#define REPLIES_SIZE (REPLY_SIZE * READ_SIZE) /* a reply per byte read, at most */
#define EVENTS 256

static char input[READ_SIZE];
static char replies[REPLIES_SIZE];

static int write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            /* The client is not reading: wait for room, as a blocking write would. */
            fd_set room;
            FD_ZERO(&room);
            FD_SET(fd, &room);
            if (fd < FD_SETSIZE) select(fd + 1, NULL, &room, NULL, NULL);
            continue;
        }
        if (written <= 0) return -1;
        data += written;
        size -= (size_t)written;
    }
    return 0;
}

/* Reads once; answers every line feed in what was read. -1: the connection is over. */
static int serve(int fd) {
    ssize_t got = read(fd, input, sizeof input);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (got <= 0) return -1;
    size_t lines = 0;
    for (ssize_t i = 0; i < got; ++i) lines += input[i] == '\n';
    for (size_t i = 0; i < lines; ++i) memcpy(replies + i * REPLY_SIZE, kReply, REPLY_SIZE);
    return lines == 0 ? 0 : write_all(fd, replies, lines * REPLY_SIZE);
}

int main(int argc, char **argv) {
    unsigned long port = 0, max_seconds = 1800;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--port") == 0) port = strtoul(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--max-seconds") == 0) max_seconds = strtoul(argv[i + 1], NULL, 10);
        else argc = 0;
    }
    if (argc % 2 != 1 || port > 65535 || max_seconds == 0) {
        fprintf(stderr, "usage: floor_server [--port N] [--max-seconds S]\n");
        return 2;
    }
    alarm((unsigned)max_seconds); /* SIGALRM's default action ends the process */

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) < 0 ||
        listen(listener, 128) < 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) < 0) {
        perror("floor_server: listen");
        return 1;
    }
    printf("%u\n", ntohs(address.sin_port));
    fflush(stdout);

    int poller = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {.events = EPOLLIN, .data.fd = listener};
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = STDIN_FILENO;
    epoll_ctl(poller, EPOLL_CTL_ADD, STDIN_FILENO, &event);
    struct epoll_event ready[EVENTS];
    for (;;) {
        int count = epoll_wait(poller, ready, EVENTS, -1);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return 1;
        for (int i = 0; i < count; ++i) {
            int fd = ready[i].data.fd;
            if (fd == STDIN_FILENO) {
                char ignored[256];
                ssize_t got = read(STDIN_FILENO, ignored, sizeof ignored);
                if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return 0;
            } else if (fd == listener) {
                int client;
                while ((client = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    /* Level-triggered and registered once: no system call per wait. */
                    struct epoll_event readable = {.events = EPOLLIN, .data.fd = client};
                    epoll_ctl(poller, EPOLL_CTL_ADD, client, &readable);
                }
            } else if (serve(fd) < 0) {
                close(fd); /* also leaves the epoll set */
            }
        }
    }
}

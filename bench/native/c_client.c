/* c_client.c: the round-trip floor: a minimal C client of the gate line protocol.
 *
 *   c_client PORT COUNT
 *
 * For each of ping, submit and decide it sends COUNT requests (after a warm-up), each
 * request and its line feed in a single write, reads the reply line, and times every
 * round trip with the monotonic clock. Prints one JSON object per operation with the
 * median and 99th percentile in nanoseconds: what the kernel's loopback costs when
 * the client itself costs nearly nothing.
 */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kWarmup = 2000, kBufferSize = 8192 };

/* The same bytes GateClient sends for these calls, line feed included. */
static const struct {
    const char* name;
    const char* line;
} kRequests[] = {
    {"ping", "{\"op\":\"ping\"}\n"},
    {"submit", "{\"effect_key\":\"email:42\",\"needs_approval\":false,\"op\":\"submit\","
               "\"run_id\":\"run-1\"}\n"},
    {"decide", "{\"approved\":true,\"effect_key\":\"email:42\",\"op\":\"decide\","
               "\"run_id\":\"run-1\"}\n"},
};

static int64_t now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return -1;
        data += written;
        size -= (size_t)written;
    }
    return 0;
}

/* Reads up to and including one line feed; the server sends nothing unasked, so
 * nothing past the line feed can arrive. */
static int read_line(int fd, char* buffer) {
    size_t filled = 0;
    for (;;) {
        ssize_t got = read(fd, buffer + filled, kBufferSize - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        filled += (size_t)got;
        if (memchr(buffer + filled - got, '\n', (size_t)got) != NULL) return 0;
        if (filled == kBufferSize) return -1;
    }
}

static int compare_int64(const void* a, const void* b) {
    int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
    return (x > y) - (x < y);
}

static int round_trip(int fd, const char* line, size_t size, char* buffer) {
    return write_all(fd, line, size) == 0 && read_line(fd, buffer) == 0 ? 0 : -1;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT COUNT\n", argv[0]);
        return 2;
    }
    const unsigned port = (unsigned)strtoul(argv[1], NULL, 10);
    const long count = strtol(argv[2], NULL, 10);
    if (port == 0 || port > 65535 || count < 1) {
        fprintf(stderr, "bad port or count\n");
        return 2;
    }

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        perror("connect");
        return 1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    char buffer[kBufferSize];
    int64_t* samples = malloc(sizeof(int64_t) * (size_t)count);
    if (samples == NULL) return 1;
    for (size_t r = 0; r < sizeof kRequests / sizeof kRequests[0]; ++r) {
        const char* line = kRequests[r].line;
        const size_t size = strlen(line);
        for (int i = 0; i < kWarmup; ++i) {
            if (round_trip(fd, line, size, buffer) != 0) return 1;
        }
        for (long i = 0; i < count; ++i) {
            const int64_t start = now_ns();
            if (round_trip(fd, line, size, buffer) != 0) return 1;
            samples[i] = now_ns() - start;
        }
        qsort(samples, (size_t)count, sizeof samples[0], compare_int64);
        printf("{\"op\":\"%s\",\"count\":%ld,\"median_ns\":%lld,\"p99_ns\":%lld}\n",
               kRequests[r].name, count, (long long)samples[count / 2],
               (long long)samples[(count * 99) / 100]);
    }
    free(samples);
    close(fd);
    return 0;
}

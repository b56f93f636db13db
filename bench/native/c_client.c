/* c_client.c: the round-trip floor: a minimal C client of the gate line protocol.
 *
 *   c_client PORT COUNT     time COUNT round trips of each of ping, submit and decide
 *                           and print one JSON object per operation (median, p99, ns)
 *   c_client PORT --chunks  read "OP COUNT WARMUP" lines on standard input; for each,
 *                           make WARMUP untimed then COUNT timed round trips and print
 *                           the COUNT times in nanoseconds on one line
 *
 * Every request goes out with its line feed in a single write, and every round trip
 * is timed with the monotonic clock: what the kernel's loopback costs when the
 * client itself costs nearly nothing. The chunk mode lets bench_client.py interleave
 * this client with the others in short stretches.
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

enum { kWarmup = 2000, kBufferSize = 8192, kMaxChunk = 1000000 };

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
enum { kRequestCount = sizeof kRequests / sizeof kRequests[0] };

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

/* Makes `warmup` untimed round trips, then `count` timed ones into `samples`. */
static int time_round_trips(int fd, int request, long warmup, long count, int64_t* samples) {
    char buffer[kBufferSize];
    const char* line = kRequests[request].line;
    const size_t size = strlen(line);
    for (long i = 0; i < warmup + count; ++i) {
        const int64_t start = now_ns();
        if (write_all(fd, line, size) != 0 || read_line(fd, buffer) != 0) return -1;
        if (i >= warmup) samples[i - warmup] = now_ns() - start;
    }
    return 0;
}

static int connect_loopback(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        perror("connect");
        if (fd >= 0) close(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

static int run_batch(int fd, long count) {
    int64_t* samples = malloc(sizeof(int64_t) * (size_t)count);
    if (samples == NULL) return 1;
    for (int r = 0; r < kRequestCount; ++r) {
        if (time_round_trips(fd, r, kWarmup, count, samples) != 0) {
            free(samples);
            return 1;
        }
        qsort(samples, (size_t)count, sizeof samples[0], compare_int64);
        printf("{\"op\":\"%s\",\"count\":%ld,\"median_ns\":%lld,\"p99_ns\":%lld}\n",
               kRequests[r].name, count, (long long)samples[count / 2],
               (long long)samples[(count * 99) / 100]);
    }
    free(samples);
    return 0;
}

static int run_chunks(int fd) {
    int64_t* samples = malloc(sizeof(int64_t) * kMaxChunk);
    if (samples == NULL) return 1;
    char name[16];
    long count, warmup;
    int status = 0;
    while (scanf("%15s %ld %ld", name, &count, &warmup) == 3) {
        int request = 0;
        while (request < kRequestCount && strcmp(kRequests[request].name, name) != 0) ++request;
        if (request == kRequestCount || count < 1 || count > kMaxChunk || warmup < 0 ||
            time_round_trips(fd, request, warmup, count, samples) != 0) {
            status = 1;
            break;
        }
        for (long i = 0; i < count; ++i) printf(i ? " %lld" : "%lld", (long long)samples[i]);
        printf("\n");
        fflush(stdout);
    }
    free(samples);
    return status;
}

int main(int argc, char** argv) {
    const int chunked = argc == 3 && strcmp(argv[2], "--chunks") == 0;
    const unsigned port = argc == 3 ? (unsigned)strtoul(argv[1], NULL, 10) : 0;
    const long count = argc == 3 && !chunked ? strtol(argv[2], NULL, 10) : 0;
    if (port == 0 || port > 65535 || (!chunked && count < 1)) {
        fprintf(stderr, "usage: %s PORT COUNT | %s PORT --chunks\n", argv[0], argv[0]);
        return 2;
    }
    const int fd = connect_loopback(port);
    if (fd < 0) return 1;
    const int status = chunked ? run_chunks(fd) : run_batch(fd, count);
    close(fd);
    return status;
}

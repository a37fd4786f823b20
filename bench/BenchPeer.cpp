// The two ends of a benchmark connection: a sender, a checking sink, and an
// echo pair for round trips. Plain blocking POSIX sockets on purpose: the
// ends must cost as little as possible so that what is measured is whatever
// sits between them, and they must behave the same for every middle.
//
//   dravlin_bench_peer sink SHAPE BYTES      listens on 127.0.0.1:0, prints "port N",
//                                            takes one connection, checks every byte
//   dravlin_bench_peer sinks SHAPE BYTES N   the same for N connections at once, each checked
//                                            in a thread of its own; complete_ns is the last one's
//   dravlin_bench_peer send SHAPE BYTES PORT [wait]  sends to 127.0.0.1:PORT, then half-closes;
//                                            with wait, says "ready" and starts on a line from stdin
//   dravlin_bench_peer echo                  listens, answers each 100-byte request
//   dravlin_bench_peer ping PORT COUNT       COUNT timed round trips through PORT
//
// The same inside TLS (OpenSSL on the same blocking descriptors). DIALOGUE is
// "starttls" (a greeting, STARTTLS, 220, then TLS) or "implicit" (TLS at once):
//
//   dravlin_bench_peer tlssink SHAPE BYTES CERT KEY DIALOGUE
//   dravlin_bench_peer tlssend SHAPE BYTES PORT DIALOGUE   timed from the end of the handshake
//   dravlin_bench_peer tlsecho CERT KEY                     STARTTLS, then answers EHLO; one client after another
//   dravlin_bench_peer tlsping PORT COUNT [nagle]           COUNT timed sessions: connect to the EHLO answer;
//                                                           with nagle, leaves Nagle's algorithm on as most
//                                                           mail clients do (python's smtplib, swaks)
//
// SHAPE is "lines" (78-byte CR LF lines of base64) or "binary" (random bytes
// without any CR LF, written 64 KiB at a time).

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t WriteBytes = size_t{64} * 1024;
constexpr size_t MessageBytes = 100;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "dravlin_bench_peer: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Same bytes in the sender and the sink, so the sink can compare each one.
std::vector<char> makeData(const std::string &shape, size_t size)
{
    std::vector<char> data(size);
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    if (shape == "lines") {
        static const char alphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t i = 0; i < size; ++i) {
            const size_t column = i % 78;
            data[i] = column == 76 ? '\r' : column == 77 ? '\n' : alphabet[next() & 63];
        }
    } else if (shape == "binary") {
        for (size_t i = 0; i < size; i += 8) {
            const uint64_t word = next();
            std::memcpy(data.data() + i, &word, std::min<size_t>(8, size - i));
        }
        for (size_t i = 1; i < size; ++i) {
            if (data[i] == '\n' && data[i - 1] == '\r')
                data[i] = 'N';
        }
    } else {
        std::fprintf(stderr, "dravlin_bench_peer: unknown shape %s\n", shape.c_str());
        std::exit(2);
    }
    return data;
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int listenOnLoopback()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        die("socket");
    sockaddr_in addr = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0)
        die("listen");
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    std::printf("port %u\n", unsigned(ntohs(addr.sin_port)));
    std::fflush(stdout);
    return fd;
}

int acceptOne(int listener)
{
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        die("accept");
    close(listener);
    return fd;
}

int connectTo(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        die("socket");
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        die("connect");
    return fd;
}

void noDelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die("write");
        data += n;
        size -= size_t(n);
    }
}

bool readExactly(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("read");
        if (n == 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

struct Sunk {
    size_t received = 0;
    size_t firstMismatch = SIZE_MAX;
    int64_t completeNs = 0;
};

// Reads fd to its end, comparing every byte with expected.
Sunk sinkStream(int fd, const std::vector<char> &expected)
{
    const size_t size = expected.size();
    std::vector<char> buffer(1 << 20);
    Sunk got;
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("read");
        if (n == 0)
            break;
        const size_t count = size_t(n);
        if (got.firstMismatch == SIZE_MAX) {
            const size_t comparable = got.received < size ? std::min(count, size - got.received) : 0;
            if (comparable < count
                || std::memcmp(buffer.data(), expected.data() + got.received, comparable) != 0) {
                size_t i = 0;
                while (i < comparable && buffer[i] == expected[got.received + i])
                    ++i;
                got.firstMismatch = got.received + i;
            }
        }
        got.received += count;
        if (got.received >= size && got.completeNs == 0)
            got.completeNs = nowNs();
    }
    close(fd);
    return got;
}

int runSinks(const std::string &shape, size_t size, int count)
{
    const std::vector<char> expected = makeData(shape, size);
    const int listener = listenOnLoopback();
    std::vector<Sunk> results(static_cast<size_t>(count), Sunk{});
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            die("accept");
        threads.emplace_back([fd, &expected, &results, i] { results[size_t(i)] = sinkStream(fd, expected); });
    }
    close(listener);
    for (std::thread &t : threads)
        t.join();
    Sunk all;
    bool exact = true;
    for (const Sunk &got : results) {
        all.received += got.received;
        all.completeNs = std::max(all.completeNs, got.completeNs);
        if (got.received != size || got.firstMismatch != SIZE_MAX) {
            exact = false;
            all.firstMismatch = std::min(all.firstMismatch, got.firstMismatch);
        }
    }
    std::printf("received %zu exact %d mismatch_at %lld complete_ns %lld\n", all.received, exact ? 1 : 0,
                all.firstMismatch == SIZE_MAX ? -1LL : (long long)all.firstMismatch, (long long)all.completeNs);
    return exact ? 0 : 1;
}

int runSink(const std::string &shape, size_t size)
{
    return runSinks(shape, size, 1);
}

// Ends our sending, says when it started, and stays connected until the far
// end lets go, so a relay sees an orderly close.
int endSending(int fd, int64_t startNs)
{
    shutdown(fd, SHUT_WR);
    std::printf("start_ns %lld\n", (long long)startNs);
    std::fflush(stdout);
    char sink[4096];
    while (read(fd, sink, sizeof sink) > 0) {
    }
    close(fd);
    return 0;
}

int runSend(const std::string &shape, size_t size, uint16_t port, bool waitForGo)
{
    const std::vector<char> data = makeData(shape, size);
    // Senders started together make their data first, so that none is still
    // making it while another's transfer is timed.
    if (waitForGo) {
        std::printf("ready\n");
        std::fflush(stdout);
        char go[16];
        if (!std::fgets(go, sizeof go, stdin))
            die("waiting for go");
    }
    const int64_t startNs = nowNs();
    const int fd = connectTo(port);
    for (size_t sent = 0; sent < size; sent += WriteBytes)
        writeAll(fd, data.data() + sent, std::min(WriteBytes, size - sent));
    return endSending(fd, startNs);
}

std::vector<char> message(char fill)
{
    std::vector<char> m(MessageBytes, fill);
    m[MessageBytes - 2] = '\r';
    m[MessageBytes - 1] = '\n';
    return m;
}

int runEcho()
{
    const int fd = acceptOne(listenOnLoopback());
    noDelay(fd);
    const std::vector<char> reply = message('R');
    std::vector<char> request(MessageBytes);
    while (readExactly(fd, request.data(), request.size()))
        writeAll(fd, reply.data(), reply.size());
    close(fd);
    return 0;
}

int runPing(uint16_t port, int count)
{
    constexpr int WarmUp = 200;
    const int fd = connectTo(port);
    noDelay(fd);
    const std::vector<char> request = message('Q');
    std::vector<char> reply(MessageBytes);
    std::vector<int64_t> samples;
    samples.reserve(size_t(count));
    for (int i = 0; i < WarmUp + count; ++i) {
        const int64_t t0 = nowNs();
        writeAll(fd, request.data(), request.size());
        if (!readExactly(fd, reply.data(), reply.size())) {
            std::fprintf(stderr, "dravlin_bench_peer: connection closed after %d round trips\n", i);
            return 1;
        }
        if (i >= WarmUp)
            samples.push_back(nowNs() - t0);
        if (reply != message('R')) {
            std::fprintf(stderr, "dravlin_bench_peer: reply %d differs\n", i);
            return 1;
        }
    }
    close(fd);
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) { return samples[size_t(q * double(samples.size() - 1))]; };
    std::printf("round_trips %d median_ns %lld p99_ns %lld max_ns %lld\n", count,
                (long long)at(0.5), (long long)at(0.99), (long long)samples.back());
    return 0;
}

// --- TLS ---

// The throughput ends send no session tickets, which nobody would use; the
// echo server sends them as a real server does (OpenSSL's default), as they
// also tell a client at once that its last flight arrived.
SSL_CTX *tlsContext(const char *cert, const char *key, bool tickets = false)
{
    SSL_CTX *context = SSL_CTX_new(cert ? TLS_server_method() : TLS_client_method());
    if (!context || (cert && (SSL_CTX_use_certificate_chain_file(context, cert) != 1
                              || SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1))) {
        ERR_print_errors_fp(stderr);
        std::exit(1);
    }
    if (!tickets)
        SSL_CTX_set_num_tickets(context, 0);
    return context;
}

// One plain line, read a byte at a time so that nothing past it is taken from TLS.
std::string readLine(int fd)
{
    std::string line;
    char c = 0;
    while (line.size() < 1024 && read(fd, &c, 1) == 1) {
        line += c;
        if (c == '\n')
            break;
    }
    return line;
}

void serverDialogue(int fd)
{
    writeAll(fd, "220 bench ESMTP\r\n", 17);
    if (readLine(fd) != "STARTTLS\r\n")
        die("no STARTTLS");
    writeAll(fd, "220 go\r\n", 8);
}

void clientDialogue(int fd)
{
    if (readLine(fd).compare(0, 4, "220 ") != 0)
        die("no greeting");
    writeAll(fd, "STARTTLS\r\n", 10);
    if (readLine(fd).compare(0, 4, "220 ") != 0)
        die("STARTTLS refused");
}

SSL *tlsOn(SSL_CTX *context, int fd)
{
    SSL *ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if ((SSL_is_server(ssl) ? SSL_accept(ssl) : SSL_connect(ssl)) != 1) {
        ERR_print_errors_fp(stderr);
        die("TLS handshake");
    }
    return ssl;
}

void tlsWriteAll(SSL *ssl, const char *data, size_t size)
{
    size_t written = 0;
    if (size > 0 && SSL_write_ex(ssl, data, size, &written) != 1)
        die("SSL_write");
}

int runTlsSink(const std::string &shape, size_t size, const char *cert, const char *key, bool starttls)
{
    const std::vector<char> expected = makeData(shape, size);
    SSL_CTX *context = tlsContext(cert, key);
    const int fd = acceptOne(listenOnLoopback());
    if (starttls)
        serverDialogue(fd);
    SSL *ssl = tlsOn(context, fd);
    std::vector<char> buffer(1 << 20);
    size_t received = 0;
    bool exact = true;
    int64_t completeNs = 0;
    size_t n = 0;
    while (SSL_read_ex(ssl, buffer.data(), buffer.size(), &n) == 1) {
        exact = exact && received + n <= size && std::memcmp(buffer.data(), expected.data() + received, n) == 0;
        received += n;
        if (received >= size && completeNs == 0)
            completeNs = nowNs();
    }
    exact = exact && received == size;
    SSL_shutdown(ssl);
    close(fd);
    std::printf("received %zu exact %d complete_ns %lld\n", received, exact ? 1 : 0, (long long)completeNs);
    return exact ? 0 : 1;
}

int runTlsSend(const std::string &shape, size_t size, uint16_t port, bool starttls)
{
    const std::vector<char> data = makeData(shape, size);
    SSL_CTX *context = tlsContext(nullptr, nullptr);
    const int fd = connectTo(port);
    if (starttls)
        clientDialogue(fd);
    SSL *ssl = tlsOn(context, fd);
    const int64_t startNs = nowNs();
    for (size_t sent = 0; sent < size; sent += WriteBytes)
        tlsWriteAll(ssl, data.data() + sent, std::min(WriteBytes, size - sent));
    SSL_shutdown(ssl);
    return endSending(fd, startNs);
}

int runTlsEcho(const char *cert, const char *key)
{
    SSL_CTX *context = tlsContext(cert, key, true);
    const int listener = listenOnLoopback();
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            die("accept");
        noDelay(fd);
        serverDialogue(fd);
        SSL *ssl = tlsOn(context, fd);
        char c = 0;
        size_t n = 0;
        while (SSL_read_ex(ssl, &c, 1, &n) == 1 && c != '\n') {
        }
        tlsWriteAll(ssl, "250 ok\r\n", 8);
        SSL_shutdown(ssl);
        SSL_free(ssl);
        close(fd);
    }
}

int runTlsPing(uint16_t port, int count, bool nagle)
{
    SSL_CTX *context = tlsContext(nullptr, nullptr);
    std::vector<int64_t> samples;
    for (int i = 0; i < count; ++i) {
        // A relay takes one client at a time and listens again shortly after: retry a refusal.
        int fd = -1;
        int64_t t0 = 0;
        for (int attempt = 0; fd < 0 && attempt < 500; ++attempt) {
            fd = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in addr = loopback(port);
            t0 = nowNs();
            if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
                close(fd);
                fd = -1;
                usleep(10000);
            }
        }
        if (fd < 0)
            die("connect");
        if (!nagle)
            noDelay(fd);
        clientDialogue(fd);
        SSL *ssl = tlsOn(context, fd);
        tlsWriteAll(ssl, "EHLO bench\r\n", 12);
        char answer[64];
        size_t n = 0;
        if (SSL_read_ex(ssl, answer, sizeof answer, &n) != 1 || std::strncmp(answer, "250 ", 4) != 0)
            die("no EHLO answer");
        samples.push_back(nowNs() - t0);
        SSL_shutdown(ssl);
        SSL_free(ssl);
        char rest[256];
        while (read(fd, rest, sizeof rest) > 0) {
        }
        close(fd);
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) { return samples[size_t(q * double(samples.size() - 1))]; };
    std::printf("sessions %d median_ns %lld p99_ns %lld\n", count, (long long)at(0.5), (long long)at(0.99));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sink" && argc == 4)
        return runSink(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (mode == "sinks" && argc == 5)
        return runSinks(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
    if (mode == "send" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "wait")))
        return runSend(argv[2], std::strtoull(argv[3], nullptr, 10), uint16_t(std::atoi(argv[4])), argc == 6);
    if (mode == "echo" && argc == 2)
        return runEcho();
    if (mode == "ping" && argc == 4)
        return runPing(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]));
    if (mode == "tlssink" && argc == 7)
        return runTlsSink(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4], argv[5], std::string(argv[6]) == "starttls");
    if (mode == "tlssend" && argc == 6)
        return runTlsSend(argv[2], std::strtoull(argv[3], nullptr, 10), uint16_t(std::atoi(argv[4])),
                          std::string(argv[5]) == "starttls");
    if (mode == "tlsecho" && argc == 4)
        return runTlsEcho(argv[2], argv[3]);
    if (mode == "tlsping" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "nagle")))
        return runTlsPing(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]), argc == 5);
    std::fprintf(stderr, "usage: dravlin_bench_peer sink|send|echo|ping|tlssink|tlssend|tlsecho|tlsping ...\n");
    return 2;
}

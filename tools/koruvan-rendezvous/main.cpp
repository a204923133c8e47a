// koruvan-rendezvous: the UDP rendezvous server of the engine's NAT traversal.
//
//   koruvan-rendezvous [--listen ADDR:PORT] [--max-registrations N] [--keepalive SECONDS]
//                      [--rate PER_SECOND] [--burst N]
//
// One log line per registration, lookup and connect notice on standard output; a summary
// line every minute. SIGINT and SIGTERM end it cleanly.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "tools/koruvan-rendezvous/RendezvousCore.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PrintLine(const std::string& line) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::printf("%s %s\n", stamp, line.c_str());
    std::fflush(stdout);
}

// "ADDR:PORT", "ADDR" or ":PORT"; port 82 and all addresses when left out.
bool ParseListen(const std::string& text, sockaddr_in* out) {
    std::memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    std::string host = text;
    int port = 82;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        port = std::stoi(digits);
        if (port < 1 || port > 65535) {
            return false;
        }
    }
    out->sin_port = htons(static_cast<std::uint16_t>(port));
    if (host.empty()) {
        out->sin_addr.s_addr = INADDR_ANY;
        return true;
    }
    return inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    namespace rv = koruvan::rendezvous;
    std::string listen = "0.0.0.0:82";
    rv::Limits limits;
    CLI::App app{
        "Rendezvous server of the UDP transport: registrations, address look-ups and "
        "hole-punch notices"};
    app.add_option("--listen", listen, "ADDR:PORT to receive on (default 0.0.0.0:82)");
    app.add_option("--max-registrations", limits.maxRegistrations,
                   "registrations kept at most; the least recently refreshed goes first")
        ->check(CLI::Range(1, 10000000));
    app.add_option("--keepalive", limits.keepAliveSeconds,
                   "the nodes' keep-alive interval in seconds (registrations of nodes behind a "
                   "NAT expire after three)")
        ->check(CLI::Range(1, 86400));
    app.add_option("--rate", limits.perSecond, "datagrams per second per source address")
        ->check(CLI::Range(0.1, 1e6));
    app.add_option("--burst", limits.burst, "datagrams a source may send at once")
        ->check(CLI::Range(1.0, 1e6));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    sockaddr_in address{};
    if (!ParseListen(listen, &address)) {
        std::fprintf(stderr, "koruvan-rendezvous: --listen wants ADDR:PORT, got \"%s\"\n",
                     listen.c_str());
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        std::fprintf(stderr, "koruvan-rendezvous: cannot listen on %s: %s\n", listen.c_str(),
                     std::strerror(errno));
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    rv::RendezvousCore core(limits, PrintLine);
    PrintLine("listening on " + listen);
    std::int64_t lastExpire = NowMs();
    std::int64_t lastSummary = lastExpire;
    std::uint8_t buffer[8192 + 1];
    while (g_stop == 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 1000);
        const std::int64_t now = NowMs();
        if (ready > 0) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof(from);
            const ssize_t n = ::recvfrom(fd, buffer, sizeof(buffer), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n >= 0 && n <= 8192) {
                const rv::Endpoint source{from.sin_addr.s_addr, ntohs(from.sin_port)};
                for (const rv::Datagram& d :
                     core.Handle(buffer, static_cast<std::size_t>(n), source, now)) {
                    sockaddr_in to{};
                    to.sin_family = AF_INET;
                    to.sin_addr.s_addr = d.to.ip;
                    to.sin_port = htons(d.to.port);
                    ::sendto(fd, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&to), sizeof(to));
                }
            }
        }
        if (now - lastExpire >= 1000) {
            core.Expire(now);
            lastExpire = now;
        }
        if (now - lastSummary >= 60000) {
            const rv::Counters& c = core.Stats();
            PrintLine("summary registrations " + std::to_string(core.Registrations()) +
                      " sources " + std::to_string(core.Sources()) + " malformed " +
                      std::to_string(c.malformed) + " rate-limited " +
                      std::to_string(c.rateLimited) + " expired " + std::to_string(c.expired) +
                      " evicted " + std::to_string(c.evicted));
            lastSummary = now;
        }
    }
    ::close(fd);
    PrintLine("stopped");
    return 0;
}

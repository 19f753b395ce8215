// SMBus read-byte-data transactions a second on tavro-sim's port (real timing, 115200 bit/s)
// and on the same port served by ser2net over RFC 2217 on the loopback: as the README's
// ser2net.yaml serves it (nodelay, chardelay off), and with ser2net's defaults. The three are
// measured in turn, ROUNDS times: each one's best round, and the median over the rounds of
// its rate over the port's in the same round (on a loaded machine both are disturbed).
//
//   build/bench/rfc2217_rate build/sim/tavro-sim [SECONDS] [ROUNDS]
#include "tavro_bus.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int freePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &size);
    close(s);
    return ntohs(a.sin_port);
}

bool accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Transactions a second over seconds on port, or -1 when the link does not open.
double rate(const std::string &port, double seconds) {
    TavroBus bus;
    LinkSettings settings;
    settings.rate = 115200;
    BusResult opened = bus.open(port, settings);
    for (int tries = 0; !opened.ok() && tries < 20; ++tries) { // ser2net may still be closing
        usleep(100000);
        opened = bus.open(port, settings);
    }
    if (!opened.ok()) {
        std::fprintf(stderr, "rfc2217_rate: %s: %s\n", port.c_str(), opened.detail.c_str());
        return -1;
    }
    SmbusTransaction read;
    read.address = 0x50;
    read.read = true;
    read.command = 0x12;
    std::vector<std::uint8_t> data;
    int count = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (!bus.smbus(read, data).ok())
            return -1;
        ++count;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    bus.close();
    return count / elapsed;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: rfc2217_rate TAVRO-SIM [SECONDS] [ROUNDS]\n");
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;

    int out[2];
    if (pipe(out) != 0)
        return 1;
    const pid_t sim = fork();
    if (sim == 0) {
        dup2(out[1], 1);
        execl(argv[1], argv[1], "--timing", "real", "--quiet", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string pty;
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';)
        pty += c;

    const int quick = freePort(), plain = freePort();
    const std::string yaml = "/tmp/rfc2217_rate-" + std::to_string(getpid()) + ".yaml";
    std::ofstream(yaml)
        << "connection: &quick\n    accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1," << quick
        << "\n    connector: serialdev," << pty
        << ",19200n81,local\n    options:\n      chardelay: false\n"
        << "connection: &plain\n    accepter: telnet(rfc2217),tcp,127.0.0.1," << plain
        << "\n    connector: serialdev," << pty << ",19200n81,local\n";
    const pid_t server = fork();
    if (server == 0) {
        execlp("ser2net", "ser2net", "-n", "-u", "-c", yaml.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // ser2net listening: a connection it accepts (and then drops) says so.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!(accepts(quick) && accepts(plain)) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const std::string names[] = {"local port", "rfc2217, README yaml", "rfc2217, ser2net defaults"};
    const std::string ports[] = {pty, "rfc2217://127.0.0.1:" + std::to_string(quick),
                                 "rfc2217://127.0.0.1:" + std::to_string(plain)};
    double best[3] = {0, 0, 0};
    std::vector<double> ratios[3]; // each round's rate over the port's in the same round
    for (int round = 0; round < rounds; ++round) {
        double got[3];
        for (int i = 0; i < 3; ++i) {
            got[i] = rate(ports[i], seconds);
            std::printf("round %d  %-26s %7.1f transactions/s\n", round + 1, names[i].c_str(),
                        got[i]);
            std::fflush(stdout);
            best[i] = std::max(best[i], got[i]);
            ratios[i].push_back(got[i] / got[0]);
        }
    }
    for (auto &r : ratios)
        std::sort(r.begin(), r.end());
    std::printf("median of the rounds' ratios to the port: README yaml %.3f, ser2net's defaults "
                "%.3f\n",
                ratios[1][ratios[1].size() / 2], ratios[2][ratios[2].size() / 2]);
    std::printf("best: local %.1f/s; rfc2217 as the README serves it %.1f/s (%.3f of local); "
                "with ser2net's defaults %.1f/s (%.3f)\n",
                best[0], best[1], best[1] / best[0], best[2], best[2] / best[0]);

    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(yaml.c_str());
    return 0;
}

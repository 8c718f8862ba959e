// SPDX-License-Identifier: BSD-2-Clause
// gpsfanout-load: feeds a relay daemon (gpsfanout, or gpsd for comparison)
// with stamped NMEA sentences over UDP on loopback at a set rate, holds K TCP
// clients, and prints one JSON line of what the run cost and delivered:
// lines delivered and lost per client, delay from send to receipt, the relay
// process's CPU per 1000 lines, peak memory, threads, and (when asked) the
// CPU and context switches over a stretch without traffic.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "load_stats.h"
#include "process_probe.h"
#include "stamped_lines.h"

// Seconds of the trip that the mix cycles through.
constexpr int mix_seconds = 60;
constexpr int mix_count = mix_seconds * mix_lines_per_second;
// How long the warm-up waits for every client to be served.
constexpr int warmup_limit_ms = 5000;
constexpr int warmup_interval_ms = 20;
// After the last line: how long the clients may stay silent before the run
// ends (the run may wait --drain seconds in all).
constexpr int drain_quiet_ms = 1000;

struct load_options {
    int udp_port = 10101;
    int tcp_port = 11102;
    int clients = 1;
    double rate = 1000;  // lines per second; 0 sends as fast as it can
    double seconds = 5;
    long long lines = 0; // overrides rate * seconds when set
    pid_t pid = 0;       // the relay process to watch
    bool watch = false;  // ask for raw NMEA the way gpsd wants it
    double idle = 0;     // seconds without traffic to watch afterwards
    double drain = 10;   // seconds after the last line that lines may still arrive in
    bool ipv6 = false;   // clients connect to ::1 rather than 127.0.0.1
};

struct client_state {
    int fd;
    bool closed; // the relay closed it
    line_stream stream;
    client_tally tally;
};

// Shared between the sender (main thread) and the receiver thread.
static std::vector<client_state *> clients;
static std::vector<uint32_t> delays_us; // receiver only until it has stopped
static std::atomic<int> served_count{0};
static std::atomic<uint64_t> measured_received{0};
static std::atomic<int> closed_count{0};
static std::atomic<bool> stop_receiving{false};
static uint64_t other_lines = 0;   // lines without a stamp (a peer's JSON, say)
static uint64_t corrupt_lines = 0; // stamped lines whose checksum fails

static uint64_t now_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

static void sleep_ms(int ms)
{
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

static void sleep_until_us(uint64_t when)
{
    timespec at = {static_cast<time_t>(when / 1000000u), static_cast<long>(when % 1000000u) * 1000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

static bool checksum_intact(const char *line, size_t length)
{
    char copy[stamped_line_size * 2];
    if (length >= sizeof copy)
        return false;
    memcpy(copy, line, length);
    copy[length] = '\0';
    return sentence_checksum_ok(copy);
}

static void take_line(client_state *client, const char *line, size_t length, uint64_t received_us)
{
    uint32_t seq;
    uint64_t sent_us;
    if (!parse_stamp(line, length, &seq, &sent_us)) {
        other_lines++;
        return;
    }
    if (!checksum_intact(line, length)) {
        corrupt_lines++;
        return;
    }
    bool was_served = client->tally.served;
    if (tally_line(&client->tally, seq)) {
        uint64_t delay = received_us > sent_us ? received_us - sent_us : 0;
        delays_us.push_back(delay > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(delay));
        measured_received.fetch_add(1, std::memory_order_relaxed);
    }
    if (!was_served)
        served_count.fetch_add(1);
}

static void drain_client(client_state *client, int poller)
{
    for (;;) {
        size_t room;
        char *at = stream_room(&client->stream, &room);
        ssize_t got = recv(client->fd, at, room, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got <= 0) {
            epoll_ctl(poller, EPOLL_CTL_DEL, client->fd, nullptr);
            client->closed = true;
            closed_count.fetch_add(1);
            return;
        }
        uint64_t received_us = now_us();
        stream_received(&client->stream, static_cast<size_t>(got));
        const char *line;
        size_t length;
        while (stream_next_line(&client->stream, &line, &length))
            take_line(client, line, length, received_us);
        if (static_cast<size_t>(got) < room)
            return; // the socket is empty: no need for a read that says so
    }
}

static void receive_thread(int poller)
{
    epoll_event events[64];
    while (!stop_receiving.load()) {
        int ready = epoll_wait(poller, events, 64, 50);
        for (int i = 0; i < ready; i++)
            drain_client(static_cast<client_state *>(events[i].data.ptr), poller);
    }
}

// A socket of `type` connected to 127.0.0.1:port, or ::1:port with `ipv6`; -1 on failure.
static int connect_loopback(int type, int port, bool ipv6 = false)
{
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    sockaddr_in6 address6 = {};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = address.sin_port;
    int connected = ipv6 ? connect(fd, reinterpret_cast<sockaddr *>(&address6), sizeof address6)
                         : connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    if (fd < 0 || connected != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

static int connect_client(const load_options &options)
{
    int fd = connect_loopback(SOCK_STREAM, options.tcp_port, options.ipv6);
    if (fd >= 0 && options.watch) {
        static const char watch[] = "?WATCH={\"enable\":true,\"raw\":1}\n";
        if (send(fd, watch, sizeof watch - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof watch - 1)) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

static long send_errors = 0;

static void send_line(int sender, const sentence_body &body, uint32_t seq)
{
    char line[stamped_line_size];
    int length = stamp_sentence(body, seq, now_us(), line, sizeof line);
    if (length < 0 || send(sender, line, static_cast<size_t>(length), 0) != length)
        send_errors++;
}

static void usage(const char *program)
{
    fprintf(stderr,
            "Usage: %s --pid PID [--udp-port P] [--tcp-port P] [--clients K] [--rate LINES_PER_S]\n"
            "          [--seconds S | --lines N] [--watch] [--idle S] [--drain S] [--ipv6]\n"
            "Sends to 127.0.0.1 only; --ipv6 connects the clients to ::1. --rate 0 sends as fast as it can. --watch asks each\n"
            "client for raw NMEA the way gpsd wants it. --drain bounds the wait for lines\n"
            "after the last one is sent (default 10 s).\n",
            program);
    exit(2);
}

static load_options parse_options(int argc, char **argv)
{
    static const option long_options[] = {
        {"pid", required_argument, nullptr, 'p'},     {"udp-port", required_argument, nullptr, 'u'},
        {"tcp-port", required_argument, nullptr, 't'}, {"clients", required_argument, nullptr, 'k'},
        {"rate", required_argument, nullptr, 'r'},    {"seconds", required_argument, nullptr, 's'},
        {"lines", required_argument, nullptr, 'n'},   {"watch", no_argument, nullptr, 'w'},
        {"idle", required_argument, nullptr, 'i'},    {"drain", required_argument, nullptr, 'd'},
        {"ipv6", no_argument, nullptr, '6'},
        {nullptr, 0, nullptr, 0},
    };
    load_options options;
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case 'p': options.pid = static_cast<pid_t>(atoi(optarg)); break;
        case 'u': options.udp_port = atoi(optarg); break;
        case 't': options.tcp_port = atoi(optarg); break;
        case 'k': options.clients = atoi(optarg); break;
        case 'r': options.rate = atof(optarg); break;
        case 's': options.seconds = atof(optarg); break;
        case 'n': options.lines = atoll(optarg); break;
        case 'w': options.watch = true; break;
        case 'i': options.idle = atof(optarg); break;
        case 'd': options.drain = atof(optarg); break;
        case '6': options.ipv6 = true; break;
        default: usage(argv[0]);
        }
    }
    if (options.pid <= 0 || options.clients < 0 || options.rate < 0 || options.seconds <= 0)
        usage(argv[0]);
    if (options.lines <= 0)
        options.lines = static_cast<long long>(options.rate * options.seconds);
    if (options.lines <= 0 || options.lines >= static_cast<long long>(UINT32_MAX))
        usage(argv[0]);
    return options;
}

static double ms(uint32_t us)
{
    return us / 1000.0;
}

int main(int argc, char **argv)
{
    load_options options = parse_options(argc, argv);
    uint32_t lines = static_cast<uint32_t>(options.lines);
    // Sleeps end on time, so the pace holds at a thousand lines a second.
    prctl(PR_SET_TIMERSLACK, 1000UL);

    static sentence_body mix[mix_count];
    if (!compose_mix(mix, mix_count)) {
        fprintf(stderr, "Unable to compose the sentence mix\n");
        return 1;
    }
    int sender = connect_loopback(SOCK_DGRAM, options.udp_port);
    int poller = epoll_create1(EPOLL_CLOEXEC);
    if (sender < 0 || poller < 0) {
        perror("Unable to set up the sender");
        return 1;
    }

    int connected = 0;
    for (int i = 0; i < options.clients; i++) {
        client_state *client = new client_state;
        client->fd = connect_client(options);
        client->closed = client->fd < 0;
        stream_reset(&client->stream);
        tally_reset(&client->tally, lines);
        clients.push_back(client);
        if (client->fd < 0)
            continue;
        connected++;
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.ptr = client;
        epoll_ctl(poller, EPOLL_CTL_ADD, client->fd, &event);
    }
    delays_us.reserve(static_cast<size_t>(lines) * static_cast<size_t>(options.clients));
    std::thread receiver(receive_thread, poller);

    // Warm-up: until every connected client has a line, so that each is
    // registered with the relay before anything is measured.
    uint64_t warmup_start = now_us();
    for (int i = 0; served_count.load() < connected - closed_count.load(); i++) {
        if (now_us() - warmup_start > warmup_limit_ms * 1000u)
            break;
        send_line(sender, mix[i % mix_count], 0);
        sleep_ms(warmup_interval_ms);
    }
    sleep_ms(100); // the last warm-up lines reach everybody before counting starts
    double warmup_s = static_cast<double>(now_us() - warmup_start) / 1e6;

    process_sample before = {}, after = {}, idle_end = {};
    bool sampled = sample_process(options.pid, &before);

    uint64_t first_send = now_us();
    for (uint32_t seq = 1; seq <= lines; seq++) {
        if (options.rate > 0) {
            uint64_t due = first_send + static_cast<uint64_t>((seq - 1) * 1e6 / options.rate);
            if (now_us() < due)
                sleep_until_us(due);
        }
        send_line(sender, mix[(seq - 1) % mix_count], seq);
    }
    uint64_t last_send = now_us();

    uint64_t expected = static_cast<uint64_t>(lines) * static_cast<uint64_t>(served_count.load());
    uint64_t quiet_since = now_us();
    uint64_t seen = measured_received.load();
    while (seen < expected && now_us() - last_send < static_cast<uint64_t>(options.drain * 1e6)) {
        sleep_ms(5);
        uint64_t count = measured_received.load();
        if (count != seen) {
            seen = count;
            quiet_since = now_us();
        } else if (now_us() - quiet_since > drain_quiet_ms * 1000u) {
            break;
        }
    }
    sampled = sample_process(options.pid, &after) && sampled;

    bool idle_sampled = false;
    if (options.idle > 0 && sampled) {
        sleep_ms(200); // let the last sends settle before the quiet stretch
        process_sample idle_start = {};
        idle_sampled = sample_process(options.pid, &idle_start);
        sleep_until_us(now_us() + static_cast<uint64_t>(options.idle * 1e6));
        idle_sampled = idle_sampled && sample_process(options.pid, &idle_end);
        idle_end.cpu_seconds -= idle_start.cpu_seconds;
        idle_end.context_switches -= idle_start.context_switches;
    }

    stop_receiving = true;
    receiver.join();

    std::vector<client_tally> tallies;
    uint64_t overlong = 0;
    for (client_state *client : clients) {
        tallies.push_back(client->tally);
        overlong += client->stream.overlong;
    }
    run_losses losses = sum_losses(tallies, lines);
    size_t samples = delays_us.size();
    uint32_t p50 = percentile(&delays_us, 0.50);
    uint32_t p99 = percentile(&delays_us, 0.99);
    uint32_t worst = percentile(&delays_us, 1.0);
    double send_seconds = static_cast<double>(last_send - first_send) / 1e6;
    double cpu = after.cpu_seconds - before.cpu_seconds;

    printf("{\"clients\":%d,\"connected\":%d,\"served\":%d,\"closed_by_relay\":%d,"
           "\"rate_target\":%.0f,\"rate_sent\":%.1f,\"lines\":%u,\"send_errors\":%ld,\"warmup_s\":%.2f,"
           "\"lost\":%" PRIu64 ",\"clients_with_loss\":%d,\"fewest_delivered\":%" PRIu64 ","
           "\"duplicates\":%" PRIu64 ",\"out_of_order\":%" PRIu64 ",\"strangers\":%" PRIu64 ","
           "\"corrupt\":%" PRIu64 ",\"overlong\":%" PRIu64 ",\"other_lines\":%" PRIu64 ","
           "\"delay_samples\":%zu,\"p50_ms\":%.3f,\"p99_ms\":%.3f,\"max_ms\":%.3f",
           options.clients, connected, losses.served, closed_count.load(), options.rate,
           send_seconds > 0 ? (lines - 1) / send_seconds : 0.0, lines, send_errors, warmup_s, losses.lost,
           losses.clients_with_loss, losses.fewest_delivered, losses.duplicates, losses.out_of_order,
           losses.strangers, corrupt_lines, overlong, other_lines, samples, ms(p50), ms(p99), ms(worst));
    if (sampled)
        printf(",\"cpu_s\":%.3f,\"cpu_per_1000_lines_s\":%.4f,\"peak_rss_kb\":%ld,\"rss_kb\":%ld,\"threads\":%ld", cpu,
               cpu * 1000.0 / lines, after.peak_rss_kb, after.rss_kb, after.threads);
    if (idle_sampled)
        printf(",\"idle_s\":%.1f,\"idle_cpu_s\":%.3f,\"idle_context_switches\":%" PRIu64, options.idle,
               idle_end.cpu_seconds, idle_end.context_switches);
    printf("}\n");

    for (client_state *client : clients) {
        if (client->fd >= 0)
            close(client->fd);
        delete client;
    }
    close(sender);
    close(poller);
    return sampled ? 0 : 1;
}

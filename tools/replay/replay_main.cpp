// SPDX-License-Identifier: BSD-2-Clause
// gpsfanout-replay: sends an NMEA log file, one line per datagram, to a UDP
// port (by default the daemon's input, 127.0.0.1:10101), at a fixed number of
// lines per second or at the pace of the log's RMC timestamps. Lets anyone
// without a receiver feed the daemon.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "replay/replay_pace.h"

// Room for one line of the log. A longer line is cut into pieces that go
// out as lines of their own; the daemon relays at most 8191 characters anyway.
constexpr size_t line_size = 8192;
// Room for one dotted address.
constexpr size_t address_size = 100;
// The slowest fixed rate: one line every 1000 seconds. At a slower one a
// line could be due further off than the clock's seconds can count.
constexpr double min_lines_per_second = 0.001;

struct replay_options {
    char address[address_size];
    int port;
    double lines_per_second; // 0: RMC pace
    long long repeats;       // 0: for ever
    bool verbose;
    const char *file;
};

// The usage text: on standard output when asked for, else on standard error
// after what was wrong.
[[noreturn]] static void usage(const char *program, FILE *to = stderr, int status = 1)
{
    fprintf(to,
            "Usage: %s [-a address] [-p port] [-r lines_per_second | -t] [-n times] [-v] file\n"
            "  -a  IPv4 address to send to (default 127.0.0.1)\n"
            "  -p  UDP port (default 10101, the daemon's input)\n"
            "  -r  send this many lines per second (e.g. 10, or 0.5; at least 0.001)\n"
            "  -t  follow the timestamps of the RMC sentences (the default)\n"
            "  -n  play the file this many times, 0 for ever (default 1)\n"
            "  -v  print each line as it is sent\n"
            "  -h, --help  print this text\n",
            program);
    exit(status);
}

// Names the option, its value and why it was refused, then the usage text.
[[noreturn]] static void refuse(const char *program, int option, const char *value, const char *why)
{
    fprintf(stderr, "%s: -%c %s: %s\n", program, option, value, why);
    usage(program);
}

static bool parse_number(const char *text, double *value)
{
    char *end;
    errno = 0;
    *value = strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(*value);
}

// A whole number of times: digits only, and no more than a long long holds.
static bool parse_count(const char *text, long long *value)
{
    char *end;
    errno = 0;
    *value = strtoll(text, &end, 10);
    return errno == 0 && isdigit(static_cast<unsigned char>(text[0])) && *end == '\0';
}

static replay_options parse_options(int argc, char **argv)
{
    replay_options options = {"127.0.0.1", 10101, 0, 1, false, nullptr};
    int option;
    double value;
    long long count;
    static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    while ((option = getopt_long(argc, argv, "a:p:r:tn:vh", long_options, nullptr)) != -1) {
        switch (option) {
        case 'a':
            if (snprintf(options.address, sizeof options.address, "%s", optarg) >= static_cast<int>(address_size))
                refuse(argv[0], option, optarg, "too long for an IPv4 address");
            break;
        case 'p':
            if (!parse_number(optarg, &value) || value < 1 || value > 65535 || value != floor(value))
                refuse(argv[0], option, optarg, "not a UDP port (1 to 65535)");
            options.port = static_cast<int>(value);
            break;
        case 'r':
            if (!parse_number(optarg, &value) || value < min_lines_per_second)
                refuse(argv[0], option, optarg, "not a number of lines per second of at least 0.001");
            options.lines_per_second = value;
            break;
        case 't': options.lines_per_second = 0; break;
        case 'n':
            if (!parse_count(optarg, &count))
                refuse(argv[0], option, optarg, "not a whole number of times (0: for ever)");
            options.repeats = count;
            break;
        case 'v': options.verbose = true; break;
        case 'h': usage(argv[0], stdout, 0);
        default: usage(argv[0]); // getopt has said what was wrong
        }
    }
    if (optind == argc) {
        fprintf(stderr, "%s: no log file named\n", argv[0]);
        usage(argv[0]);
    }
    if (optind < argc - 1) {
        fprintf(stderr, "%s: one log file only, not %d\n", argv[0], argc - optind);
        usage(argv[0]);
    }
    options.file = argv[optind];
    return options;
}

// Sleeps until `seconds` after `start` on the monotonic clock.
static void wait_until(const timespec &start, double seconds)
{
    timespec due = start;
    double whole = floor(seconds);
    due.tv_sec += static_cast<time_t>(whole);
    due.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (due.tv_nsec >= 1000000000L) {
        due.tv_sec++;
        due.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
}

// Cuts the line end off `line`; returns the length left.
static size_t strip_line_end(char *line)
{
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        line[--length] = '\0';
    return length;
}

int main(int argc, char **argv)
{
    replay_options options = parse_options(argc, argv);

    sockaddr_in destination;
    memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.address, &destination.sin_addr) != 1) {
        fprintf(stderr, "%s: not an IPv4 address: %s\n", argv[0], options.address);
        return 1;
    }
    FILE *log = fopen(options.file, "r");
    if (log == nullptr) {
        fprintf(stderr, "%s: %s: %s\n", argv[0], options.file, strerror(errno));
        return 2;
    }
    int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (out < 0) {
        perror("Unable to create the UDP socket");
        return 2;
    }

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    replay_pace pace = pace_start(options.lines_per_second);
    static char line[line_size + 2]; // room to put CR LF back
    // Long long counts: played for ever on a 32-bit target, a long would
    // wrap within weeks at a brisk rate.
    long long sent = 0;
    for (long long pass = 0; options.repeats == 0 || pass < options.repeats; pass++) {
        rewind(log);
        pace_pass(&pace);
        bool sent_any = false;
        while (fgets(line, line_size, log) != nullptr) {
            size_t length = strip_line_end(line);
            if (length == 0)
                continue;
            wait_until(start, pace_line(&pace, line));
            // The daemon turns the CR into the line end it relays.
            memcpy(line + length, "\r\n", 3);
            if (sendto(out, line, length + 2, 0, reinterpret_cast<sockaddr *>(&destination), sizeof destination) < 0) {
                fprintf(stderr, "%s: sending to %s:%d: %s\n", argv[0], options.address, options.port,
                        strerror(errno));
                return 2;
            }
            sent++;
            sent_any = true;
            if (options.verbose)
                fputs(line, stdout);
        }
        if (ferror(log)) {
            fprintf(stderr, "%s: %s: %s\n", argv[0], options.file, strerror(errno));
            return 2;
        }
        // Nothing to play is a mistake worth hearing about, and with -n 0 it
        // would otherwise read the file over and over at full speed.
        if (!sent_any) {
            fprintf(stderr, "%s: %s: no sentences to send\n", argv[0], options.file);
            return 2;
        }
    }
    fclose(log);
    close(out);
    fprintf(stderr, "%s: sent %lld lines to %s:%d\n", argv[0], sent, options.address, options.port);
    return 0;
}

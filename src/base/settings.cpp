// SPDX-License-Identifier: BSD-2-Clause
#include "base/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

settings_record settings = default_settings;

bool supported_baud(int baud)
{
    static const int speeds[] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int speed : speeds)
        if (speed == baud)
            return true;
    return false;
}

// atoi's rules (blanks, a sign, digits up to the first other character, 0 for
// none), without atoi's undefined behaviour on overflow: the value keeps the
// low bits of the long, as glibc's atoi does.
static int option_value(const char *text)
{
    return static_cast<int>(strtol(text, nullptr, 10));
}

// Sockets take only the low 16 bits of a port, so 65536 would bind port 0:
// a port the kernel picks and nobody knows.
static bool names_port_zero(int port)
{
    return (port & 0xffff) == 0;
}

// The line that names a refused value.
static bool refused(char *why, size_t why_size, char option, const char *text, const char *reason)
{
    if (why != nullptr && why_size > 0)
        snprintf(why, why_size, "-%c %s: %s", option, text, reason);
    return false;
}

const char *parse_clock(const char *text, clock_name *out)
{
    *out = {};
    if (text[0] == '/') {
        if (strlen(text) >= clock_path_capacity)
            return "a socket path longer than the 107 bytes a local socket's address holds";
        out->is_socket = true;
        snprintf(out->path, sizeof out->path, "%s", text);
        return nullptr;
    }
    // Digits alone: " 2", "+2" or "2x" are typing errors, not unit 2.
    int unit = 0;
    size_t digits = 0;
    for (; text[digits] >= '0' && text[digits] <= '9'; digits++)
        unit = unit > 255 ? unit : unit * 10 + (text[digits] - '0');
    if (digits == 0 || text[digits] != '\0' || unit > 255)
        return "not a clock: a shared-memory unit from 0 to 255, or the absolute path of a refclock socket";
    out->unit = unit;
    return nullptr;
}

// -f OUTPUT=FILTER: at most one filter an output.
static bool take_filter(const char *text, settings_record *out, char *why, size_t why_size)
{
    const char *equals = strchr(text, '=');
    if (equals == nullptr)
        return refused(why, why_size, 'f', text, "not output=filter, as tcp=+GP***:-all");
    filter_output output = output_named(text, static_cast<size_t>(equals - text));
    if (output == filter_outputs)
        return refused(why, why_size, 'f', text, "an unknown output (udp, tcp, serial or reports)");
    if (out->filters[output].rule_count > 0)
        return refused(why, why_size, 'f', text, "a second filter for the same output");
    char reason[160];
    if (!parse_filter(equals + 1, &out->filters[output], reason, sizeof reason))
        return refused(why, why_size, 'f', text, reason);
    out->filtering = true;
    return true;
}

bool parse_settings(int argc, char **argv, settings_record *out, char *why, size_t why_size, bool *help)
{
    optind = 0; // a fresh scan each call: tests parse many command lines
    if (why != nullptr && why_size > 0)
        why[0] = '\0';
    if (help != nullptr)
        *help = false;
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    // The text of the last value given for each checked option.
    const char *in_text = "", *out_text = "", *baud_text = "";
    int option;
    while ((option = getopt_long(argc, argv, "wusdhi:o:t:b:a:c:f:", long_options, nullptr)) != -1) {
        switch (option) {
        case 'w': out->write_serial = !out->write_serial; break;
        case 'u': out->udp_input = !out->udp_input; break;
        case 's': out->use_serial = !out->use_serial; break;
        case 'd': out->daemon_mode = !out->daemon_mode; break;
        case 'i': out->in_udp_port = option_value(in_text = optarg); break;
        case 'o': out->out_udp_port = option_value(out_text = optarg); break;
        case 't': out->out_tcp_port = option_value(optarg); break;
        case 'b': out->baud = option_value(baud_text = optarg); break;
        case 'h':
            if (help != nullptr)
                *help = true;
            return false;
        case 'a': {
            static_assert(max_writer_networks == 16, "the usage and the refusal name the table's size");
            if (out->writer_count == max_writer_networks)
                return refused(why, why_size, 'a', optarg, "more networks than the 16 that -a may name");
            const char *wrong = parse_network(optarg, &out->writers[out->writer_count]);
            if (wrong != nullptr)
                return refused(why, why_size, 'a', optarg, wrong);
            out->writer_count++;
            break;
        }
        case 'c': {
            static_assert(max_clocks == 4, "the refusal names the table's size");
            if (out->clock_count == max_clocks)
                return refused(why, why_size, 'c', optarg, "more clocks than the 4 that -c may name");
            const char *wrong = parse_clock(optarg, &out->clocks[out->clock_count]);
            if (wrong != nullptr)
                return refused(why, why_size, 'c', optarg, wrong);
            out->clock_count++;
            break;
        }
        case 'f':
            if (!take_filter(optarg, out, why, why_size))
                return false;
            break;
        default: return false; // getopt has already said what was wrong
        }
    }
    if (!supported_baud(out->baud))
        return refused(why, why_size, 'b', baud_text,
                       "not a supported line speed (110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200)");
    const char *no_port = "not a UDP port: a port keeps only its low 16 bits (70000 is 4464), and they must not be 0";
    if (names_port_zero(out->in_udp_port))
        return refused(why, why_size, 'i', in_text, no_port);
    if (names_port_zero(out->out_udp_port))
        return refused(why, why_size, 'o', out_text, no_port);
    return true;
}

void write_usage(FILE *to, const char *program)
{
    fprintf(to,
            "Usage: %s [-w] [-u] [-s] [-d] [-i in_udp_port] [-o out_udp_port] [-t out_tcp_port] [-b baud] "
            "[-a network] [-c clock] [-f output=filter] [-h]\n",
            program);
}

void write_help(FILE *to, const char *program)
{
    const settings_record &d = default_settings;
    auto toggle = [](bool on) { return on ? "on" : "off"; };
    write_usage(to, program);
    fprintf(to,
            "  -i  UDP input port (default %d)\n"
            "  -o  UDP broadcast output port (default %d)\n"
            "  -t  TCP client port (default %d)\n"
            "  -b  serial line speed: 110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 "
            "(default %d)\n"
            "  -s  use a serial receiver: the first of /dev/GPS, /dev/ttyUSB0, /dev/ttyUSB1, /dev/ttyUSB2 that "
            "opens (toggle, default %s)\n"
            "  -w  write relayed lines to the serial device, except AIS (toggle, default %s)\n"
            "  -u  take lines from UDP input (toggle, default %s)\n"
            "  -d  detach as a daemon and print nothing (toggle, default %s)\n"
            "  -a  a network whose clients may write to the receiver, as 192.168.1.0/24 or fd00:1::/64; up to 16,\n"
            "      loopback only when named (default: every client may)\n"
            "  -c  a clock to hand the serial receiver's time to (default none): an NTP shared-memory unit\n"
            "      (0 to 255) or the absolute path of a chrony SOCK refclock socket; up to 4\n"
            "  -f  what an output carries, as tcp=+GP***:+AI***:-all; the outputs udp, tcp, serial and reports,\n"
            "      once each; rules +KEY (allow), -KEY (deny), ~KEY/SECONDS (limit), KEY five characters ('*' any)\n"
            "      or all, %%serial or %%udp for one input; the first rule that matches decides (default: all pass)\n"
            "  -h, --help  print this text\n",
            d.in_udp_port, d.out_udp_port, d.out_tcp_port, d.baud, toggle(d.use_serial),
            toggle(d.write_serial), toggle(d.udp_input), toggle(d.daemon_mode));
}

void parse_command_line(int argc, char **argv)
{
    char why[400]; // room for a filter's value and what is wrong with it
    bool help;
    if (parse_settings(argc, argv, &settings, why, sizeof why, &help))
        return;
    const char *program = argc > 0 ? argv[0] : "gpsfanout";
    if (help) {
        write_help(stdout, program);
        exit(0);
    }
    if (why[0] != '\0')
        fprintf(stderr, "%s: %s\n", program, why);
    // One line says what is wrong, one how it is used: the whole table would
    // bury the first in a journal.
    write_usage(stderr, program);
    // A misconfigured start must look like a failure to a supervisor or script.
    exit(1);
}

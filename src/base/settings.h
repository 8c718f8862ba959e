// SPDX-License-Identifier: BSD-2-Clause
// The process-wide configuration, taken from the command line only.
#pragma once

#include <cstddef>
#include <cstdio>

#include "base/networks.h"
#include "base/sentence_filter.h"

// -c may name this many clocks.
constexpr size_t max_clocks = 4;
// A local socket's path and its NUL (sun_path).
constexpr size_t clock_path_capacity = 108;

// A clock that the receiver's time is handed to (-c): the shared-memory
// refclock of a unit, or a refclock socket at a path.
struct clock_name {
    bool is_socket;                  // path names a socket; else unit names a segment
    int unit;                        // 0 to 255
    char path[clock_path_capacity];  // absolute
};

struct settings_record {
    int in_udp_port;   // UDP port bound for input lines
    int out_udp_port;  // destination port of the broadcast copies
    int out_tcp_port;  // TCP port on which clients are accepted
    int baud;          // serial line speed in bits per second
    bool write_serial; // relayed lines also go to the serial device
    bool udp_input;    // lines received on in_udp_port are relayed (off: read and dropped)
    bool use_serial;   // a serial device is opened, watched and reopened
    bool daemon_mode;  // detach and print no progress messages
    // -a: with any, only clients in these networks (of either family,
    // loopback no exception) may write to the receiver; the others read and
    // their text is discarded.
    ip_network writers[max_writer_networks] = {};
    size_t writer_count = 0;
    // -c: the clocks fed with the serial receiver's time; none, none fed.
    clock_name clocks[max_clocks] = {};
    size_t clock_count = 0;
    // -f: what each output carries; an output whose filter has no rules
    // gets every line. `filtering` says whether any output has one, so that
    // without -f a text costs not even a look at them.
    sentence_filter filters[filter_outputs] = {};
    bool filtering = false;
};

constexpr settings_record default_settings = {10101, 11101, 11102, 4800,
                                              false, true, false, false};

// Written once by main before any other thread exists; read by all without a lock.
extern settings_record settings;

// True for the line speeds the serial port supports.
bool supported_baud(int baud);

// Applies the options of argv to *out, which holds the starting values.
// Returns false when the command line is bad and the usage message is due;
// then `why`, when given, names the option, the value and why it was refused
// ("-b 1234: not a supported line speed ..."), or is left empty where the
// option scanner has said what was wrong itself. Asked for help (-h,
// --help), it returns false too, with *help set when given.
bool parse_settings(int argc, char **argv, settings_record *out, char *why = nullptr, size_t why_size = 0,
                    bool *help = nullptr);

// What -c takes: a unit from 0 to 255 or an absolute path; nullptr when
// `text` is one (then *out holds it), else why it is not.
const char *parse_clock(const char *text, clock_name *out);

// The usage message: one line naming every option.
void write_usage(FILE *to, const char *program);

// The usage line, then each option with its default: what -h prints.
void write_help(FILE *to, const char *program);

// Fills `settings` from the command line; asked for help, prints the usage
// message on standard output and exits with status 0; otherwise prints what
// was wrong and the usage message on standard error and exits with status 1.
void parse_command_line(int argc, char **argv);

// SPDX-License-Identifier: BSD-2-Clause
// What each output carries (-f): the rule language kplex users already
// write, read once from the command line, and the judgement of one line by
// a filter and its limit timers. Pure: the caller holds the filter and its
// state and passes the time in, so a test's clock is a number.
#pragma once

#include <cstddef>

// The outputs a filter may name, in the order their counts are said.
enum filter_output { output_udp, output_tcp, output_serial, output_reports, filter_outputs };

// Where a line came in; a rule may name one (%serial, %udp).
enum line_source : unsigned char { source_any, source_serial, source_udp };

// Room for the rules of one filter; more are refused, never dropped unsaid.
constexpr unsigned filter_rules_max = 32;

enum rule_action : unsigned char { rule_allow, rule_deny, rule_limit };

struct filter_rule {
    rule_action action;
    line_source source; // source_any unless the rule names one
    bool all;           // matches every line; else `key` is compared
    char key[5];        // with the five characters after '$' or '!'; '*' matches any one
    long long limit_us; // a limit's least time between two lines it passes
};

struct sentence_filter {
    filter_rule rule[filter_rules_max];
    unsigned rule_count; // 0: no filter, every line passes
};

// One encapsulated message in parts that a limit rule is letting through
// or holding back: its later parts follow its first.
struct parted_message {
    unsigned char count; // parts in it, 0 when none is under way
    unsigned char next;  // the part number expected next
    bool passing;
};

// Sequential message ids 0 to 9, and one slot for a message without one.
constexpr unsigned parted_slots = 11;

// The limit timer of one rule of one output's filter.
struct rule_timer {
    bool passed;        // has passed a line since the start
    long long last_us;  // when it last passed one
    parted_message message[parted_slots];
};

struct filter_state {
    rule_timer timer[filter_rules_max];
};

// Reads "+GP***:+AI***:+SDDBT:-all" into *out. Returns true when good;
// else false, with why it was refused in `why` (why_size bytes).
bool parse_filter(const char *text, sentence_filter *out, char *why, size_t why_size);

// The output named by "udp", "tcp", "serial" or "reports"; filter_outputs
// for any other name.
filter_output output_named(const char *name, size_t length);
const char *output_name(filter_output output);

// Whether one line (its bytes up to and including its line ends) passes:
// the first rule that matches it decides, and a line no rule matches
// passes. A limit rule's timer is in `state`, `now_us` on a clock that only
// goes forward.
bool line_passes(const sentence_filter &filter, filter_state *state, const char *line, size_t length,
                 line_source from, long long now_us);

// Judges each line of `text` (a relayed text, ending with its line end)
// on its own and copies those that pass, in order and as they were, into
// `out` (room for length + 1 bytes), NUL-terminated; but when the last that
// passes is not the text's last, its line ends become one LF. Returns the
// length copied, 0 when no line passed; *held counts the lines held back.
size_t filter_text(const sentence_filter &filter, filter_state *state, const char *text, size_t length,
                   line_source from, long long now_us, char *out, unsigned *held);

// SPDX-License-Identifier: BSD-2-Clause
#include "base/sentence_filter.h"

#include <cstdio>
#include <cstring>

static const char *const output_names[filter_outputs] = {"udp", "tcp", "serial", "reports"};

filter_output output_named(const char *name, size_t length)
{
    for (int o = 0; o < filter_outputs; o++)
        if (strlen(output_names[o]) == length && memcmp(output_names[o], name, length) == 0)
            return static_cast<filter_output>(o);
    return filter_outputs;
}

const char *output_name(filter_output output)
{
    return output < filter_outputs ? output_names[output] : "?";
}

static bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

static bool ends_part(char c)
{
    return c == '\0' || c == ':' || c == '%' || c == '/';
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Says why rule `number` (from 1), which starts at `rule`, was refused.
static bool refuse(char *why, size_t why_size, unsigned number, const char *rule, const char *reason)
{
    size_t length = strcspn(rule, ":");
    if (why != nullptr && why_size > 0)
        snprintf(why, why_size, "rule %u \"%.*s\": %s", number, static_cast<int>(length < 40 ? length : 40), rule,
                 reason);
    return false;
}

// "5", "0.5", "1.25", ".5": whole seconds as kplex takes them, and
// decimals past it, into microseconds; the rest of `at` after them.
static bool read_seconds(const char **at, long long *us)
{
    const char *p = *at;
    long long whole = 0, fraction = 0, scale = 1000000;
    int digits = 0, whole_digits = 0;
    for (; is_digit(*p); p++, digits++, whole_digits++) {
        if (whole_digits == 9)
            return false; // over thirty years: a typing error
        whole = whole * 10 + (*p - '0');
    }
    if (*p == '.')
        for (p++; is_digit(*p); p++, digits++)
            if (scale > 1)
                fraction += (*p - '0') * (scale /= 10);
    if (digits == 0 || !ends_part(*p))
        return false;
    *us = whole * 1000000 + fraction;
    *at = p;
    return true;
}

bool parse_filter(const char *text, sentence_filter *out, char *why, size_t why_size)
{
    sentence_filter f;
    memset(&f, 0, sizeof f);
    const char *at = text;
    for (unsigned number = 1;; number++) {
        const char *rule_text = at;
        if (*at == '\0' || *at == ':')
            return refuse(why, why_size, number, rule_text, "an empty rule");
        if (f.rule_count == filter_rules_max)
            return refuse(why, why_size, number, rule_text, "more rules than the 32 a filter may hold");
        filter_rule &r = f.rule[f.rule_count];
        if (*at == '+')
            r.action = rule_allow;
        else if (*at == '-')
            r.action = rule_deny;
        else if (*at == '~')
            r.action = rule_limit;
        else
            return refuse(why, why_size, number, rule_text, "a rule begins with + (allow), - (deny) or ~ (limit)");
        const char *key = ++at;
        while (!ends_part(*at))
            at++;
        size_t key_length = static_cast<size_t>(at - key);
        if (key_length == 3 && memcmp(key, "all", 3) == 0)
            r.all = true;
        else if (key_length == 5)
            memcpy(r.key, key, 5);
        else
            return refuse(why, why_size, number, rule_text,
                          "the key is five characters ('*' matches any one) or the word all");
        // A source and a limit's seconds follow the key, in kplex's order
        // (~KEY%source/seconds) or the other.
        bool has_seconds = false;
        while (*at == '%' || *at == '/') {
            if (*at == '%') {
                const char *name = ++at;
                while (!ends_part(*at))
                    at++;
                size_t length = static_cast<size_t>(at - name);
                if (r.source != source_any)
                    return refuse(why, why_size, number, rule_text, "a rule names one source at most");
                if (length == 6 && memcmp(name, "serial", 6) == 0)
                    r.source = source_serial;
                else if (length == 3 && memcmp(name, "udp", 3) == 0)
                    r.source = source_udp;
                else
                    return refuse(why, why_size, number, rule_text, "an unknown source (%serial or %udp)");
            } else {
                at++;
                if (r.action != rule_limit)
                    return refuse(why, why_size, number, rule_text, "only a limit (~) takes seconds");
                if (has_seconds || !read_seconds(&at, &r.limit_us))
                    return refuse(why, why_size, number, rule_text,
                                  "a limit's seconds are a number, as 1 or 0.5, given once");
                has_seconds = true;
            }
        }
        if (r.action == rule_limit && !has_seconds)
            return refuse(why, why_size, number, rule_text, "a limit without its seconds (~KEY/SECONDS)");
        f.rule_count++;
        if (*at == '\0')
            break;
        at++; // the ':' between rules
    }
    *out = f;
    return true;
}

// The five characters after the '$' or '!' that begins a sentence, after
// a TAG block ("\...\") when there is one; nullptr when the line is no
// sentence or is too short to have them. *start is where the sentence begins.
static const char *key_of(const char *line, size_t content, size_t *start)
{
    size_t at = 0;
    if (content > 0 && line[0] == '\\') {
        const char *close = static_cast<const char *>(memchr(line + 1, '\\', content - 1));
        if (close == nullptr)
            return nullptr;
        at = static_cast<size_t>(close - line) + 1;
    }
    if (at + 6 > content || (line[at] != '$' && line[at] != '!'))
        return nullptr;
    *start = at;
    return line + at + 1;
}

// One or two digits and the character after them; -1 when not digits.
static int small_number(const char *p, const char *end, const char **after)
{
    int value = 0, digits = 0;
    for (; p < end && is_digit(*p) && digits < 2; p++, digits++)
        value = value * 10 + (*p - '0');
    *after = p;
    return digits == 0 || p == end || is_digit(*p) ? -1 : value;
}

// An encapsulated sentence ("!AIVDM,2,1,7,...") that is one part of a
// message in several: its part count, number and the slot of its message id.
static bool part_of(const char *sentence, size_t length, unsigned *count, unsigned *number, unsigned *slot)
{
    const char *end = sentence + length;
    const char *p = static_cast<const char *>(memchr(sentence, ',', length));
    if (sentence[0] != '!' || p == nullptr)
        return false;
    int c = small_number(p + 1, end, &p);
    if (c < 2 || *p != ',')
        return false;
    int n = small_number(p + 1, end, &p);
    if (n < 1 || n > c || *p != ',')
        return false;
    p++;
    if (p < end && is_digit(*p) && (p + 1 == end || p[1] == ',' || p[1] == '*'))
        *slot = static_cast<unsigned>(*p - '0');
    else if (p == end || *p == ',' || *p == '*')
        *slot = parted_slots - 1; // a message without an id
    else
        return false;
    *count = static_cast<unsigned>(c);
    *number = static_cast<unsigned>(n);
    return true;
}

// A limit: a line passes when the rule has passed none yet, or at least its
// time has gone by since the last it passed. The later parts of a message
// in parts follow its first part, whatever the time: a receiver can do
// nothing with half a message. A later part whose first this rule did not
// see is held back for the same reason.
static bool limit_passes(const filter_rule &rule, rule_timer *t, const char *sentence, size_t length,
                         long long now_us)
{
    unsigned count, number, slot;
    bool parted = sentence != nullptr && part_of(sentence, length, &count, &number, &slot);
    if (parted && number > 1) {
        parted_message &m = t->message[slot];
        if (m.count != count || m.next != number) {
            m.count = 0;
            return false;
        }
        bool passing = m.passing;
        m.next++;
        if (number == count)
            m.count = 0;
        return passing;
    }
    bool pass = !t->passed || now_us - t->last_us >= rule.limit_us;
    if (pass) {
        t->passed = true;
        t->last_us = now_us;
    }
    if (parted)
        t->message[slot] = {static_cast<unsigned char>(count), 2, pass};
    return pass;
}

bool line_passes(const sentence_filter &filter, filter_state *state, const char *line, size_t length,
                 line_source from, long long now_us)
{
    size_t content = 0;
    while (content < length && !is_line_end(line[content]))
        content++;
    size_t start = 0;
    const char *key = key_of(line, content, &start);
    for (unsigned i = 0; i < filter.rule_count; i++) {
        const filter_rule &r = filter.rule[i];
        if (r.source != source_any && r.source != from)
            continue;
        if (!r.all) {
            if (key == nullptr)
                continue;
            unsigned c = 0;
            while (c < 5 && (r.key[c] == '*' || r.key[c] == key[c]))
                c++;
            if (c < 5)
                continue;
        }
        if (r.action == rule_allow)
            return true;
        if (r.action == rule_deny)
            return false;
        return limit_passes(r, &state->timer[i], key != nullptr ? line + start : nullptr, content - start, now_us);
    }
    return true; // no rule matched
}

size_t filter_text(const sentence_filter &filter, filter_state *state, const char *text, size_t length,
                   line_source from, long long now_us, char *out, unsigned *held)
{
    size_t kept = 0, at = 0;
    bool last_kept = false;
    *held = 0;
    while (at < length) {
        // A line is its text and the run of line ends after it, as the
        // line rules cut it; it goes on as it came.
        size_t end = at;
        while (end < length && !is_line_end(text[end]))
            end++;
        while (end < length && is_line_end(text[end]))
            end++;
        last_kept = line_passes(filter, state, text + at, end - at, from, now_us);
        if (last_kept) {
            memcpy(out + kept, text + at, end - at);
            kept += end - at;
        } else {
            (*held)++;
        }
        at = end;
    }
    // Every text handed on ends in one LF, or a reader that splits at LFs
    // would glue the next text to it: a line from the middle (CR LF, or a
    // CR alone) that ends what passed ends in an LF instead.
    if (kept > 0 && !last_kept) {
        while (kept > 0 && is_line_end(out[kept - 1]))
            kept--;
        out[kept++] = '\n';
    }
    out[kept] = '\0';
    return kept;
}

// SPDX-License-Identifier: BSD-2-Clause
#include "stamped_lines.h"

#include <cstdio>
#include <cstring>

// Satellites in view for the GSV part of the mix: three messages of four.
static const satellite_view sky[] = {
    {2, 64, 58, 44},  {5, 12, 304, 31}, {12, 41, 140, 40}, {15, 27, 210, 36},
    {18, 77, 7, 47},  {21, 9, 96, 28},  {25, 33, 265, 38}, {29, 52, 182, 42},
    {31, 18, 330, 30}, {33, 5, 20, 22}, {36, 60, 120, 45}, {40, 22, 250, 33},
};
constexpr int sky_count = sizeof sky / sizeof sky[0];

// Keeps the body of a composed sentence: drops the start, the checksum and CR LF.
static bool keep_body(const char *sentence, int length, sentence_body *out)
{
    const char *star = length > 0 ? strrchr(sentence, '*') : nullptr;
    if (star == nullptr)
        return false;
    size_t body_length = static_cast<size_t>(star - sentence - 1);
    if (body_length >= sizeof out->body)
        return false;
    out->start = sentence[0];
    memcpy(out->body, sentence + 1, body_length);
    out->body[body_length] = '\0';
    return true;
}

bool compose_mix(sentence_body *bodies, int count)
{
    char sentence[nmea_sentence_size];
    for (int i = 0; i < count; i++) {
        int second = i / mix_lines_per_second;
        nmea_fix fix = {};
        fix.time_of_day = 12 * 3600 + 35 * 60 + second;
        fix.day = 7;
        fix.month = 12;
        fix.year = 26;
        fix.latitude = 48.1173 + second * 0.0001;
        fix.longitude = 11.5167 + second * 0.00015;
        fix.speed_knots = 22.4;
        fix.course = 84.4;
        fix.altitude = 545.4;
        fix.valid = true;
        fix.satellites = 8;
        fix.hdop = 0.9;
        ais_position boat = {};
        boat.mmsi = 211000000 + static_cast<uint32_t>(i % 50);
        boat.nav_status = 0;
        boat.rate_of_turn = -128;
        boat.speed_knots = 6.3;
        boat.accurate = true;
        boat.longitude = 11.52 + second * 0.0002;
        boat.latitude = 48.12 - second * 0.0001;
        boat.course = 220.5;
        boat.heading = 221;
        boat.second = second % 60;
        boat.radio = 0x1234;
        int length = -1;
        switch (i % mix_lines_per_second) {
        case 0: length = compose_gga(fix, sentence, sizeof sentence); break;
        case 1: length = compose_rmc(fix, sentence, sizeof sentence); break;
        case 2: length = compose_vtg(fix, sentence, sizeof sentence); break;
        case 3: length = compose_gsv(sky, sky_count, 1, sentence, sizeof sentence); break;
        case 4: length = compose_gsv(sky, sky_count, 2, sentence, sizeof sentence); break;
        case 5: length = compose_gsv(sky, sky_count, 3, sentence, sizeof sentence); break;
        case 6: length = compose_vdm_position(boat, 'A', sentence, sizeof sentence); break;
        default: length = compose_vdm_position(boat, 'B', sentence, sizeof sentence); break;
        }
        if (!keep_body(sentence, length, &bodies[i]))
            return false;
    }
    return true;
}

int stamp_sentence(const sentence_body &sentence, uint32_t seq, uint64_t send_us, char *out, size_t capacity)
{
    char body[stamped_line_size];
    int length = snprintf(body, sizeof body, "%s,%u-%llu", sentence.body, static_cast<unsigned>(seq),
                          static_cast<unsigned long long>(send_us));
    if (length < 0 || static_cast<size_t>(length) >= sizeof body)
        return -1;
    return compose_sentence(sentence.start, body, out, capacity);
}

// Reads the decimal number in [from, to); false when it is empty, holds
// anything else, or does not fit.
static bool read_number(const char *from, const char *to, uint64_t limit, uint64_t *value)
{
    if (from == to)
        return false;
    uint64_t number = 0;
    for (const char *c = from; c < to; c++) {
        if (*c < '0' || *c > '9')
            return false;
        unsigned digit = static_cast<unsigned>(*c - '0');
        if (number > (limit - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool parse_stamp(const char *line, size_t length, uint32_t *seq, uint64_t *send_us)
{
    if (length < 1 || (line[0] != '$' && line[0] != '!'))
        return false;
    const char *star = static_cast<const char *>(memrchr(line, '*', length));
    if (star == nullptr)
        return false;
    const char *comma = static_cast<const char *>(memrchr(line, ',', static_cast<size_t>(star - line)));
    if (comma == nullptr)
        return false;
    const char *dash = static_cast<const char *>(memchr(comma, '-', static_cast<size_t>(star - comma)));
    if (dash == nullptr)
        return false;
    uint64_t number, time;
    if (!read_number(comma + 1, dash, UINT32_MAX, &number) || !read_number(dash + 1, star, UINT64_MAX, &time))
        return false;
    *seq = static_cast<uint32_t>(number);
    *send_us = time;
    return true;
}

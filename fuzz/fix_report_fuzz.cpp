// SPDX-License-Identifier: BSD-2-Clause
// Field splitting, finding sentences, fix extraction, the status text and the
// record on arbitrary GGA and RMC texts.
//
// Input: the GGA text, a NUL, the RMC text (each cut to 8191 characters).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "relay/line_assembly.h"
#include "report/field_split.h"
#include "report/fix_extraction.h"
#include "report/position_record.h"
#include "report/status_text.h"

static const char *const status_labels[] = {"Status: ",  "Date(day/mon/yr): ", "Time(hh:mm:ss): ",
                                            "Lat(deg): ", "Lon(deg): ",         "Course(deg): ",
                                            "Speed(m/s): ", "Alt(m): "};

static void check_fields(const char *text)
{
    char field[field_capacity];
    const char *at = text;
    for (int count = 0; at != nullptr; count++) {
        memset(field, 'x', sizeof field);
        const char *next = next_field(at, field, sizeof field, ',');
        if (strnlen(field, sizeof field) >= sizeof field)
            abort(); // always terminated, at most 19 characters
        if (next != nullptr && (next <= at || next[-1] != ',' || *next == '\0'))
            abort();
        at = next;
        if (count > static_cast<int>(text_capacity))
            abort();
    }
}

// A sentence found is one: where a line begins, "$", a talker that is not
// proprietary, the type and a comma, all within the text.
static void check_sentence(const char *text, const char *type)
{
    size_t length = strlen(text);
    const char *found = find_sentence(text, length, type);
    if (found == nullptr)
        return;
    if (found < text || found + 7 > text + length)
        abort();
    if (found > text && found[-1] != '\n' && found[-1] != '\r')
        abort();
    if (found[0] != '$' || found[1] == 'P' || memcmp(found + 3, type, 3) != 0 || found[6] != ',')
        abort();
}

static void check_status(const char *text, size_t length, const char *rmc, const char *gga)
{
    if (length == 0 || strlen(text) != length || text[length - 1] != '\n')
        abort();
    // "NMEA: " and each store whole, then the eight lines of values.
    size_t rmc_length = strlen(rmc), gga_length = strlen(gga);
    if (strncmp(text, "NMEA: ", 6) != 0 || strncmp(text + 6, rmc, rmc_length) != 0)
        abort();
    const char *at = text + 6 + rmc_length;
    if (strncmp(at, "NMEA: ", 6) != 0 || strncmp(at + 6, gga, gga_length) != 0)
        abort();
    at += 6 + gga_length;
    for (const char *label : status_labels) {
        if (strncmp(at, label, strlen(label)) != 0)
            abort();
        const char *end = strchr(at, '\n');
        if (end == nullptr)
            abort();
        at = end + 1;
    }
    if (*at != '\0')
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char gga[text_capacity], rmc[text_capacity];
    static char status[status_text_capacity];
    const char *input = reinterpret_cast<const char *>(data);
    const char *split = static_cast<const char *>(memchr(input, '\0', size));
    size_t gga_length = split ? static_cast<size_t>(split - input) : size;
    if (gga_length > text_capacity - 1)
        gga_length = text_capacity - 1;
    memcpy(gga, input, gga_length);
    gga[gga_length] = '\0';
    size_t rmc_length = 0;
    if (split != nullptr) {
        rmc_length = size - static_cast<size_t>(split + 1 - input);
        if (rmc_length > text_capacity - 1)
            rmc_length = text_capacity - 1;
        memcpy(rmc, split + 1, rmc_length);
    }
    rmc[rmc_length] = '\0';

    check_fields(gga);
    check_fields(rmc);
    check_sentence(gga, "GGA");
    check_sentence(rmc, "RMC");

    fix_values fix;
    extract_fix(gga, rmc, &fix);
    if (!(fix.altitude >= 0.0f) && !std::isnan(fix.altitude))
        abort(); // never negative

    size_t length = format_status_text(status, sizeof status, rmc, gga, fix);
    check_status(status, length, rmc, gga);

    for (bool alarm : {false, true}) {
        unsigned char file[position_file_size];
        memset(file, 0xee, sizeof file);
        position_file_bytes(fix, alarm, file);
        unsigned sum = 0;
        for (size_t i = 0; i < position_record_size; i++)
            sum += file[i];
        if (file[position_record_size] != ((sum >> 8) & 0xff) || file[position_record_size + 1] != (sum & 0xff))
            abort();
        if ((file[0] & 0xc0) != 0 || ((file[0] & 0x20) != 0) != alarm)
            abort(); // two zero bits, then the alarm
    }
    return 0;
}

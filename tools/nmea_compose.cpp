// SPDX-License-Identifier: BSD-2-Clause
#include "nmea_compose.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "relay/line_assembly.h"

// Room for the body of one sentence before its checksum is added.
constexpr size_t body_size = nmea_sentence_size;
// Room for one formatted field such as a latitude or a time.
constexpr size_t field_size = 20;
// Bits of an AIS position report.
constexpr size_t position_report_bits = 168;

unsigned nmea_checksum(const char *body, size_t length)
{
    unsigned sum = 0;
    for (size_t i = 0; i < length; i++)
        sum ^= static_cast<unsigned char>(body[i]);
    return sum;
}

// snprintf that reports truncation as -1.
static int format_into(char *out, size_t capacity, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(out, capacity, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<size_t>(length) >= capacity)
        return -1;
    return length;
}

int compose_sentence(char start, const char *body, char *out, size_t capacity)
{
    unsigned sum = nmea_checksum(body, strlen(body));
    return format_into(out, capacity, "%c%s*%02X\r\n", start, body, sum);
}

bool sentence_checksum_ok(const char *line)
{
    size_t length = strlen(line);
    if (length >= 2 && strcmp(line + length - 2, "\r\n") == 0)
        length -= 2;
    else if (length >= 1 && line[length - 1] == '\n')
        length--;
    return whole_sentence(line, length);
}

// An angle as whole degrees and minutes in 1/10000 minute, rounded once so
// that 59.99999 minutes carries into the degrees instead of printing as 60.
static void split_angle(double degrees, long *whole_degrees, long *minutes, long *fraction)
{
    long long units = llround(fabs(degrees) * 60.0 * 10000.0);
    *whole_degrees = static_cast<long>(units / 600000);
    *minutes = static_cast<long>(units % 600000 / 10000);
    *fraction = static_cast<long>(units % 10000);
}

int format_latitude(double latitude, char *out, size_t capacity)
{
    long degrees, minutes, fraction;
    split_angle(latitude, &degrees, &minutes, &fraction);
    return format_into(out, capacity, "%02ld%02ld.%04ld,%c", degrees, minutes, fraction, latitude < 0 ? 'S' : 'N');
}

int format_longitude(double longitude, char *out, size_t capacity)
{
    long degrees, minutes, fraction;
    split_angle(longitude, &degrees, &minutes, &fraction);
    return format_into(out, capacity, "%03ld%02ld.%04ld,%c", degrees, minutes, fraction, longitude < 0 ? 'W' : 'E');
}

int format_time_of_day(double seconds, char *out, size_t capacity)
{
    const long long day = 24LL * 3600 * 100;
    long long hundredths = llround(seconds * 100.0) % day;
    if (hundredths < 0)
        hundredths += day;
    long long whole = hundredths / 100;
    return format_into(out, capacity, "%02lld%02lld%02lld.%02lld", whole / 3600, whole / 60 % 60, whole % 60,
                       hundredths % 100);
}

// Time, latitude and longitude fields, shared by RMC and GGA.
struct position_fields {
    char time[field_size];
    char latitude[field_size];
    char longitude[field_size];
};

static bool format_position(const nmea_fix &fix, position_fields *fields)
{
    return format_time_of_day(fix.time_of_day, fields->time, field_size) >= 0 &&
           format_latitude(fix.latitude, fields->latitude, field_size) >= 0 &&
           format_longitude(fix.longitude, fields->longitude, field_size) >= 0;
}

int compose_rmc(const nmea_fix &fix, char *out, size_t capacity)
{
    position_fields fields;
    char body[body_size];
    if (!format_position(fix, &fields) ||
        format_into(body, sizeof body, "GPRMC,%s,%c,%s,%s,%.1f,%.1f,%02d%02d%02d,,,%c", fields.time,
                    fix.valid ? 'A' : 'V', fields.latitude, fields.longitude, fix.speed_knots, fix.course, fix.day,
                    fix.month, fix.year, fix.valid ? 'A' : 'N') < 0)
        return -1;
    return compose_sentence('$', body, out, capacity);
}

int compose_gga(const nmea_fix &fix, char *out, size_t capacity)
{
    // The geoid separation is a fixed, plausible 46.9 m; no differential data.
    position_fields fields;
    char body[body_size];
    if (!format_position(fix, &fields) ||
        format_into(body, sizeof body, "GPGGA,%s,%s,%s,%d,%02d,%.1f,%.1f,M,46.9,M,,", fields.time, fields.latitude,
                    fields.longitude, fix.valid ? 1 : 0, fix.satellites, fix.hdop, fix.altitude) < 0)
        return -1;
    return compose_sentence('$', body, out, capacity);
}

int compose_vtg(const nmea_fix &fix, char *out, size_t capacity)
{
    char body[body_size];
    if (format_into(body, sizeof body, "GPVTG,%.1f,T,,M,%.1f,N,%.1f,K,%c", fix.course, fix.speed_knots,
                    fix.speed_knots * 1.852, fix.valid ? 'A' : 'N') < 0)
        return -1;
    return compose_sentence('$', body, out, capacity);
}

int compose_gsv(const satellite_view *satellites, int count, int index, char *out, size_t capacity)
{
    int messages = (count + 3) / 4;
    if (count < 1 || index < 1 || index > messages)
        return -1;
    char body[body_size];
    int length = format_into(body, sizeof body, "GPGSV,%d,%d,%02d", messages, index, count);
    for (int i = (index - 1) * 4; length >= 0 && i < count && i < index * 4; i++) {
        const satellite_view &s = satellites[i];
        int more = format_into(body + length, sizeof body - static_cast<size_t>(length), ",%02d,%02d,%03d,%02d", s.prn,
                               s.elevation, s.azimuth, s.snr);
        length = more < 0 ? -1 : length + more;
    }
    if (length < 0)
        return -1;
    return compose_sentence('$', body, out, capacity);
}

int ais_armor(const uint8_t *bits, size_t bit_count, char *out, size_t capacity, int *fill)
{
    size_t characters = (bit_count + 5) / 6;
    if (characters + 1 > capacity)
        return -1;
    for (size_t c = 0; c < characters; c++) {
        unsigned value = 0;
        for (size_t b = c * 6; b < c * 6 + 6; b++) {
            unsigned bit = b < bit_count ? (bits[b / 8] >> (7 - b % 8)) & 1U : 0U;
            value = value << 1 | bit;
        }
        out[c] = static_cast<char>(value < 40 ? value + 48 : value + 56);
    }
    out[characters] = '\0';
    *fill = static_cast<int>(characters * 6 - bit_count);
    return static_cast<int>(characters);
}

// Appends the low `width` bits of `value` to a bit string, most significant first.
static void put_bits(uint8_t *bits, size_t *at, int width, long long value)
{
    for (int i = width - 1; i >= 0; i--, (*at)++) {
        unsigned bit = static_cast<unsigned>((static_cast<unsigned long long>(value) >> i) & 1U);
        bits[*at / 8] = static_cast<uint8_t>(bits[*at / 8] | bit << (7 - *at % 8));
    }
}

int compose_vdm_position(const ais_position &report, char channel, char *out, size_t capacity)
{
    uint8_t bits[position_report_bits / 8] = {0};
    size_t at = 0;
    put_bits(bits, &at, 6, 1); // message type: position report, scheduled
    put_bits(bits, &at, 2, 0); // repeat indicator
    put_bits(bits, &at, 30, report.mmsi);
    put_bits(bits, &at, 4, report.nav_status);
    put_bits(bits, &at, 8, report.rate_of_turn);
    put_bits(bits, &at, 10, llround(report.speed_knots * 10.0));
    put_bits(bits, &at, 1, report.accurate ? 1 : 0);
    put_bits(bits, &at, 28, llround(report.longitude * 600000.0));
    put_bits(bits, &at, 27, llround(report.latitude * 600000.0));
    put_bits(bits, &at, 12, llround(report.course * 10.0));
    put_bits(bits, &at, 9, report.heading);
    put_bits(bits, &at, 6, report.second);
    put_bits(bits, &at, 2, 0); // no special manoeuvre
    put_bits(bits, &at, 3, 0); // spare
    put_bits(bits, &at, 1, 0); // RAIM not in use
    put_bits(bits, &at, 19, report.radio);

    char payload[position_report_bits / 6 + 1];
    int fill;
    char body[body_size];
    if (ais_armor(bits, at, payload, sizeof payload, &fill) < 0 ||
        format_into(body, sizeof body, "AIVDM,1,1,,%c,%s,%d", channel, payload, fill) < 0)
        return -1;
    return compose_sentence('!', body, out, capacity);
}

// SPDX-License-Identifier: BSD-2-Clause
// Composing NMEA 0183 sentences and AIS VDM lines, for the tools that feed
// the daemon (the replay tool, the sample-trip generator, load generators).
// Pure functions: each writes one sentence into a caller's buffer and returns
// its length, or -1 when it does not fit.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for one composed sentence with its CR LF and terminator. NMEA allows
// 82 characters; a little more keeps long test lines possible.
constexpr size_t nmea_sentence_size = 128;

// The XOR of the bytes of `body` (what stands between the '$' or '!' and the
// '*' of a sentence).
unsigned nmea_checksum(const char *body, size_t length);

// Writes start, body, '*', two upper-case hex digits and CR LF.
int compose_sentence(char start, const char *body, char *out, size_t capacity);

// True when `line` is '$' or '!', a body, '*' and the two hex digits of the
// body's checksum, optionally followed by CR LF or LF and nothing else.
bool sentence_checksum_ok(const char *line);

// One moment of a receiver's view of the trip.
struct nmea_fix {
    double time_of_day;   // seconds since midnight UTC
    int day, month, year; // year in two digits
    double latitude;      // degrees, north positive
    double longitude;     // degrees, east positive
    double speed_knots;
    double course;        // degrees true
    double altitude;      // metres above mean sea level
    bool valid;           // A in RMC, fix quality 1 in GGA; V and 0 otherwise
    int satellites;       // satellites used
    double hdop;
};

// "ddmm.mmmm,N" and "dddmm.mmmm,E", rounded to 1/10000 minute.
int format_latitude(double latitude, char *out, size_t capacity);
int format_longitude(double longitude, char *out, size_t capacity);
// "hhmmss.ss".
int format_time_of_day(double seconds, char *out, size_t capacity);

int compose_rmc(const nmea_fix &fix, char *out, size_t capacity);
int compose_gga(const nmea_fix &fix, char *out, size_t capacity);
int compose_vtg(const nmea_fix &fix, char *out, size_t capacity);

struct satellite_view {
    int prn, elevation, azimuth, snr;
};

// Satellites in view: message `index` (1-based) of the ceil(count / 4)
// messages that describe all `count` satellites.
int compose_gsv(const satellite_view *satellites, int count, int index, char *out, size_t capacity);

// An AIS class A position report (message type 1).
struct ais_position {
    uint32_t mmsi;
    int nav_status;      // 0 under way, 5 moored, 15 not defined
    int rate_of_turn;    // the raw signed field; -128 when not available
    double speed_knots;  // 102.3 when not available
    bool accurate;       // position accuracy flag
    double longitude;    // degrees, east positive; 181 when not available
    double latitude;     // degrees, north positive; 91 when not available
    double course;       // degrees; 360 when not available
    int heading;         // degrees; 511 when not available
    int second;          // UTC second of the report; 60 when not available
    uint32_t radio;      // communication state, 19 bits
};

// Six-bit ASCII armouring of a bit string: `bit_count` bits from `bits`
// (most significant bit of bits[0] first), padded with zero fill bits to a
// whole character. *fill gets the number of fill bits.
int ais_armor(const uint8_t *bits, size_t bit_count, char *out, size_t capacity, int *fill);

// A whole single-fragment "!AIVDM,1,1,,<channel>,<payload>,<fill>*hh\r\n".
int compose_vdm_position(const ais_position &report, char channel, char *out, size_t capacity);

// SPDX-License-Identifier: BSD-2-Clause
// gpsfanout-tripgen: writes a synthetic NMEA log of a short trip to the file
// named on its command line, or else to standard output, for demonstrations and tests without a receiver. Each second of
// the trip gives RMC, VTG and GGA (RMC first, as many receivers send it, so
// that a replay at RMC pace sends each second's sentences together); every
// fifth second adds the satellites in view (GSV) and every fifteenth an AIS
// position report of a boat nearby. The output is the same on every run:
// samples/trip.nmea is this program's output, kept in the repository.
#include <cmath>
#include <cstdio>

#include "nmea_compose.h"

// Length of the trip in seconds.
constexpr int trip_seconds = 90;
constexpr double pi = 3.14159265358979323846;

// A leg of the trip: from its first second on, the car heads for `course`,
// turning at most `turn_rate` degrees and changing speed by at most
// `acceleration` knots per second towards `speed`.
struct trip_leg {
    int from_second;
    double course, speed;
};

static const trip_leg legs[] = {
    {0, 84.4, 0},   // waiting at the start with a fix
    {5, 84.4, 28},  // off east
    {35, 40, 32},   // bearing north-east
    {60, 110, 20},  // a bend to the south-east
    {80, 110, 0},   // slowing to a stop
};
constexpr double turn_rate = 3.0;
constexpr double acceleration = 2.5;

static const satellite_view sky[] = {
    {2, 64, 58, 44}, {5, 12, 304, 31}, {12, 41, 140, 40}, {15, 27, 210, 36},
    {18, 77, 7, 47}, {21, 9, 96, 28},  {25, 33, 265, 38}, {29, 52, 182, 42},
};
constexpr int sky_count = sizeof sky / sizeof sky[0];

static double approach(double value, double target, double most)
{
    if (value < target)
        return fmin(value + most, target);
    return fmax(value - most, target);
}

static FILE *out = stdout;

static void emit(int length, const char *sentence)
{
    if (length > 0)
        fputs(sentence, out);
}

int main(int argc, char **argv)
{
    if (argc > 2) {
        fprintf(stderr, "Usage: %s [output file]\n", argv[0]);
        return 1;
    }
    if (argc == 2 && (out = fopen(argv[1], "w")) == nullptr) {
        perror(argv[1]);
        return 2;
    }
    nmea_fix fix = {12 * 3600.0, 4, 5, 24, 48.1173, 11.5167, 0, 84.4, 545.4, true, 8, 0.9};
    ais_position boat = {211000001, 0, 0, 6.2, true, 11.5210, 48.1141, 67.0, 67, 0, 0};
    char sentence[nmea_sentence_size];
    int leg = 0;
    for (int second = 0; second < trip_seconds; second++) {
        while (leg + 1 < static_cast<int>(sizeof legs / sizeof legs[0]) && legs[leg + 1].from_second <= second)
            leg++;
        emit(compose_rmc(fix, sentence, sizeof sentence), sentence);
        emit(compose_vtg(fix, sentence, sizeof sentence), sentence);
        emit(compose_gga(fix, sentence, sizeof sentence), sentence);
        if (second % 5 == 0) {
            satellite_view seen[sky_count];
            for (int i = 0; i < sky_count; i++) {
                seen[i] = sky[i];
                seen[i].snr = sky[i].snr - (second / 5 + i) % 4; // a little fading
            }
            for (int index = 1; index <= (sky_count + 3) / 4; index++)
                emit(compose_gsv(seen, sky_count, index, sentence, sizeof sentence), sentence);
        }
        if (second % 15 == 10) {
            boat.second = static_cast<int>(fix.time_of_day) % 60;
            emit(compose_vdm_position(boat, second % 30 == 10 ? 'A' : 'B', sentence, sizeof sentence), sentence);
        }

        // One second on: a knot is one minute of latitude per hour.
        double miles = fix.speed_knots / 3600.0;
        double heading = fix.course * pi / 180.0;
        fix.latitude += miles * cos(heading) / 60.0;
        fix.longitude += miles * sin(heading) / 60.0 / cos(fix.latitude * pi / 180.0);
        fix.speed_knots = approach(fix.speed_knots, legs[leg].speed, acceleration);
        fix.course = approach(fix.course, legs[leg].course, turn_rate);
        fix.altitude += 0.1 * ((second % 7) - 3);
        fix.time_of_day += 1.0;
        double boat_miles = boat.speed_knots / 3600.0;
        boat.latitude += boat_miles * cos(boat.course * pi / 180.0) / 60.0;
        boat.longitude += boat_miles * sin(boat.course * pi / 180.0) / 60.0 / cos(boat.latitude * pi / 180.0);
    }
    bool written = !ferror(out);
    return fclose(out) == 0 && written ? 0 : 2;
}

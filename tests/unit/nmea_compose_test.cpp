// SPDX-License-Identifier: BSD-2-Clause
// Sentence composition for the tools that feed the daemon: checksums, field formats, whole sentences and
// AIS armouring, against sentences known from receivers and AIS transceivers.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "nmea_compose.h"
#include "reference.h"

namespace {

const nmea_fix munich_fix = {12 * 3600 + 35 * 60 + 19, 23, 3, 94, 48.1173, 11.5167, 22.4, 84.4, 545.4, true, 8, 0.9};
const std::string vdm = "!AIVDM,1,1,,B,177KQJ5000G?tO`K>RA1wUbN0TKH,0*5C\r\n";

TEST(NmeaCompose, ComposedSentencesCarryTheChecksumsReceiversSend)
{
    // As a receiver sends them: with CR LF where the relayed form has LF.
    const struct { char start; const char *body; std::string sentence; } cases[] = {
        {'$', "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W",
         example_rmc.substr(0, example_rmc.size() - 1) + "\r\n"},
        {'$', "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
         example_gga.substr(0, example_gga.size() - 1) + "\r\n"},
        {'!', "AIVDM,1,1,,B,177KQJ5000G?tO`K>RA1wUbN0TKH,0", vdm},
        {'$', "", "$*00\r\n"},
    };
    char out[nmea_sentence_size];
    for (auto &c : cases) {
        EXPECT_EQ(compose_sentence(c.start, c.body, out, sizeof out), static_cast<int>(c.sentence.size()));
        EXPECT_EQ(std::string(out), c.sentence);
    }
    // A sentence that does not fit is refused, not cut.
    const size_t needed = strlen("$GPTXT,01*hh\r\n") + 1;
    EXPECT_EQ(compose_sentence('$', "GPTXT,01", out, needed - 1), -1);
    EXPECT_EQ(compose_sentence('$', "GPTXT,01", out, needed), static_cast<int>(needed - 1));
}

TEST(NmeaCompose, ChecksumVerification)
{
    const std::string good = example_gga.substr(0, example_gga.size() - 4); // up to the "*"
    const struct { std::string line; bool ok; } cases[] = {
        {good + "*47", true},
        {good + "*47\r\n", true},
        {good + "*47\n", true},
        {"!AIVDM,1,1,,B,177KQJ5000G?tO`K>RA1wUbN0TKH,0*5c", true}, // lower-case hex
        {good + "*48", false},
        {"$GPGGA,123519,4807.039,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47", false},
        {good + "*4", false},
        {good + "*47x", false},
        {good, false},
        {good.substr(1) + "*47", false},
        {"$GPGGA,*G7", false},
        {"", false},
    };
    for (auto &c : cases)
        EXPECT_EQ(sentence_checksum_ok(c.line.c_str()), c.ok) << c.line;
}

TEST(NmeaCompose, LatitudeLongitudeAndTimeOfDay)
{
    const struct { double degrees; bool latitude; const char *text; } positions[] = {
        {48.1173, true, "4807.0380,N"},
        {-33.8688, true, "3352.1280,S"},
        {0.0, true, "0000.0000,N"},
        {10.999999999, true, "1100.0000,N"}, // 59.99999994 minutes carry into the degrees
        {-89.5, true, "8930.0000,S"},
        {11.5167, false, "01131.0020,E"},
        {-122.3458333333, false, "12220.7500,W"},
        {-0.0001, false, "00000.0060,W"},
        {179.999999999, false, "18000.0000,E"},
    };
    char out[20];
    for (auto &c : positions) {
        int length = (c.latitude ? format_latitude : format_longitude)(c.degrees, out, sizeof out);
        EXPECT_EQ(std::string(out), c.text) << c.degrees;
        EXPECT_EQ(length, static_cast<int>(strlen(c.text)));
    }
    const struct { double seconds; const char *text; } times[] = {
        {45319, "123519.00"}, {3725.5, "010205.50"}, {0, "000000.00"}, {86399.99, "235959.99"},
        {86399.996, "000000.00"}, // rounds up into the next day
        {86400 + 61, "000101.00"},
    };
    for (auto &c : times) {
        format_time_of_day(c.seconds, out, sizeof out);
        EXPECT_EQ(std::string(out), c.text) << c.seconds;
    }
}

TEST(NmeaCompose, SixBitArmouring)
{
    const struct { uint8_t bits[3]; size_t count; const char *text; int fill; } cases[] = {
        {{0x00, 0x00, 0x00}, 6, "0", 0},
        {{0x9C, 0x00, 0x00}, 6, "W", 0},  // 39, the last before the gap
        {{0xA0, 0x00, 0x00}, 6, "`", 0},  // 40, the first after it
        {{0xFC, 0x00, 0x00}, 6, "w", 0},  // 63
        {{0x04, 0x10, 0x00}, 12, "11", 0},
        {{0xFF, 0x00, 0x00}, 8, "wh", 4}, // two bits and four fill bits: 110000 is 48
        {{0x00, 0x00, 0x00}, 0, "", 0},
    };
    char out[8];
    int fill = -1;
    for (auto &c : cases) {
        EXPECT_EQ(ais_armor(c.bits, c.count, out, sizeof out, &fill), static_cast<int>(strlen(c.text)));
        EXPECT_EQ(std::string(out), c.text) << c.count;
        EXPECT_EQ(fill, c.fill);
        fill = -1;
    }
    const uint8_t bits[2] = {0xFF, 0xFF};
    EXPECT_EQ(ais_armor(bits, 16, out, 2, &fill), -1);
}

TEST(NmeaCompose, WholeSentencesAsReceiversAndTransceiversSendThem)
{
    char out[nmea_sentence_size];
    compose_rmc(munich_fix, out, sizeof out);
    EXPECT_EQ(std::string(out), "$GPRMC,123519.00,A,4807.0380,N,01131.0020,E,22.4,84.4,230394,,,A*50\r\n");
    compose_gga(munich_fix, out, sizeof out);
    EXPECT_EQ(std::string(out), "$GPGGA,123519.00,4807.0380,N,01131.0020,E,1,08,0.9,545.4,M,46.9,M,,*6B\r\n");
    compose_vtg(munich_fix, out, sizeof out);
    EXPECT_EQ(std::string(out), "$GPVTG,84.4,T,,M,22.4,N,41.5,K,A*31\r\n");

    nmea_fix no_fix = {0, 1, 1, 0, 0, 0, 0, 0, 0, false, 0, 99.9};
    compose_rmc(no_fix, out, sizeof out);
    EXPECT_EQ(std::string(out), "$GPRMC,000000.00,V,0000.0000,N,00000.0000,E,0.0,0.0,010100,,,N*46\r\n");
    EXPECT_EQ(compose_rmc(munich_fix, out, 20), -1);

    // Satellites in view, four to a message.
    const satellite_view sky[] = {
        {2, 64, 58, 44}, {5, 12, 304, 31}, {12, 41, 140, 40}, {15, 27, 210, 36}, {29, 52, 182, 42},
    };
    compose_gsv(sky, 5, 1, out, sizeof out);
    EXPECT_EQ(std::string(out), "$GPGSV,2,1,05,02,64,058,44,05,12,304,31,12,41,140,40,15,27,210,36*71\r\n");
    compose_gsv(sky, 5, 2, out, sizeof out);
    EXPECT_EQ(std::string(out), "$GPGSV,2,2,05,29,52,182,42*4D\r\n");
    EXPECT_EQ(compose_gsv(sky, 5, 3, out, sizeof out), -1);
    EXPECT_EQ(compose_gsv(sky, 5, 0, out, sizeof out), -1);
    EXPECT_EQ(compose_gsv(sky, 0, 1, out, sizeof out), -1);

    // An AIS position report of a moored vessel in Seattle, as a transceiver sent it.
    ais_position moored = {477553000, 5, 0, 0.0, false, -122.3458333333, 47.5828333333, 51.0, 181, 15, 149208};
    EXPECT_EQ(compose_vdm_position(moored, 'B', out, sizeof out), static_cast<int>(vdm.size()));
    EXPECT_EQ(std::string(out), vdm);
    EXPECT_EQ(compose_vdm_position(moored, 'B', out, 40), -1);
}

} // namespace

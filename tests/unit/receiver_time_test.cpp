// SPDX-License-Identifier: BSD-2-Clause
// Which of the receiver's lines give the time, as gpsfanout(8) says under
// -c, line after line; the expected times come from timegm.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "../tools/nmea_compose.h"
#include "clock/receiver_time.h"
#include "clock/refclock_shm.h"
#include "clock/refclock_sock.h"

namespace {

using v = time_verdict;

// The body with '$', its checksum and CR LF, as the relay hands it on (the CR made an LF).
std::string line(const std::string &body)
{
    char out[nmea_sentence_size];
    int n = compose_sentence('$', body.c_str(), out, sizeof out);
    return std::string(out, n - 2) + "\n";
}

// Seconds since the epoch of a UTC date and time.
long long utc(int year, int month, int day, int hours, int minutes, int seconds)
{
    tm t = {};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
    t.tm_hour = hours, t.tm_min = minutes, t.tm_sec = seconds;
    return timegm(&t);
}

struct step {
    std::string text;
    time_verdict verdict;
    long long seconds = 0; // for a sample
    long nanoseconds = 0;
};

TEST(ReceiverTime, OnlyTheFirstLineOfANewSecondOfAValidFixWithItsDateIsASample)
{
    const long long s = utc(2026, 12, 8, 13, 30, 5);
    const std::string rmc_a = "GPRMC,133005.25,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W";
    const std::vector<std::vector<step>> rows = {
        // The fraction of the time field is the receiver's time too; the same second again is no sample.
        {{line(rmc_a), v::sample, s, 250000000},
         {line("GPRMC,133005.75,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W"), v::same_second},
         {line("GNRMC,133006,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W,A"), v::sample, s + 1, 0},
         {line("GNRMC,133007.123456789,A,,,,,,,081226,,,D,V"), v::sample, s + 2, 123456789}},
        // Not a fix, or the mode says none: ZDA then gives nothing either.
        {{line("GPRMC,133005.25,V,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W"), v::not_valid},
         {line("GPZDA,133006.00,08,12,2026,00,00"), v::not_valid},
         {line("GPRMC,133007,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W,N"), v::not_valid},
         {line("GPRMC,133008,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W,E"), v::sample, s + 3, 0},
         {line("GPZDA,133009.50,08,12,2026,00,00"), v::sample, s + 4, 500000000}},
        // A ZDA before any RMC.
        {{line("GPZDA,133005.00,08,12,2026,00,00"), v::not_valid}},
        // A week number rolled over: 1024 weeks back (and 1999, never 2099); the first good date after it.
        {{line("GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,250507,003.1,W"), v::too_old},
         {line("GPRMC,235959,A,4807.038,N,01131.000,E,022.4,084.4,311299,003.1,W"), v::too_old},
         {line("GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,311219,003.1,W"), v::too_old},
         {line("GPRMC,000000,A,4807.038,N,01131.000,E,022.4,084.4,010120,003.1,W"), v::sample,
          utc(2020, 1, 1, 0, 0, 0), 0},
         {line("GPZDA,000001,01,01,2006,00,00"), v::too_old}},
        // No date, a time or date that does not read, a leap second, a bad or missing checksum.
        {{line("GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,,003.1,W"), v::unreadable},
         {line("GPRMC,133005,A"), v::unreadable},
         {line("GPRMC,,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W"), v::unreadable},
         {line("GPRMC,1330,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W"), v::unreadable},
         {line("GPRMC,133005.2x,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W"), v::unreadable},
         {line("GPRMC,246005,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W"), v::unreadable},
         {line("GPRMC,235960,A,4807.038,N,01131.000,E,022.4,084.4,311226,003.1,W"), v::unreadable},
         {line("GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,300226,003.1,W"), v::unreadable},
         {line("GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,29022x,003.1,W"), v::unreadable},
         {"$GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W*00\n", v::unreadable},
         {"$GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,081226,003.1,W\n", v::unreadable},
         // A leap day is a day; then a ZDA whose year does not read.
         {line("GPRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,290228,003.1,W"), v::sample,
          utc(2028, 2, 29, 13, 30, 5), 0},
         {line("GPZDA,133006,29,02,20x8,00,00"), v::unreadable}},
        // A bad checksum on an RMC forgets that the fix was valid.
        {{line(rmc_a), v::sample, s, 250000000},
         {"$GPRMC,133006,V,,,,,,,081226,,*00\n", v::unreadable},
         {line("GPZDA,133007.00,08,12,2026,00,00"), v::not_valid}},
        // Other sentences, proprietary ones and lines that only look alike tell nothing.
        {{line("GPGGA,133005,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"), v::none},
         {line("PGRMC,133005,A,4807.038,N,01131.000,E,022.4,084.4,081226"), v::none},
         {line("GPRMCX,133005,A"), v::none},
         {"!AIVDM,1,1,,A,13aEOK?P00PD2wVMdLDRhgvL289?,0*26\n", v::none}},
    };
    for (size_t r = 0; r < rows.size(); r++) {
        time_judge judge = judge_start;
        for (auto &st : rows[r]) {
            receiver_time t = {-1, -1};
            EXPECT_EQ(static_cast<int>(judge_time(&judge, st.text.data(), st.text.size(), &t)),
                      static_cast<int>(st.verdict))
                << "row " << r << ": " << st.text;
            if (st.verdict == v::sample) {
                EXPECT_EQ(t.seconds, st.seconds) << st.text;
                EXPECT_EQ(t.nanoseconds, st.nanoseconds) << st.text;
            }
        }
    }
}

// What a time server reads: the receiver's time and the receive time, each to the nanosecond (SHM) or as an
// offset from the receive time in microseconds (SOCK), laid out as the servers declare their records.
TEST(ReceiverTime, SamplesAreLaidOutAsTheTimeServersReadThem)
{
    const receiver_time time = {utc(2026, 12, 8, 13, 30, 5), 250000000};
    const timespec received = {static_cast<time_t>(time.seconds), 500123456};
    shm_time record = {};
    record.count = 41;
    shm_put(&record, time, received);
    EXPECT_EQ(record.mode, 1);
    EXPECT_EQ(record.count, 43); // raised before and after
    EXPECT_EQ(record.valid, 1);
    EXPECT_EQ(record.clock_seconds, time.seconds);
    EXPECT_EQ(record.clock_microseconds, 250000);
    EXPECT_EQ(record.clock_nanoseconds, 250000000u);
    EXPECT_EQ(record.receive_seconds, received.tv_sec);
    EXPECT_EQ(record.receive_microseconds, 500123);
    EXPECT_EQ(record.receive_nanoseconds, 500123456u);
    EXPECT_EQ(record.leap, 0);
    // 96 bytes with a 64-bit time_t, 80 with a 32-bit one, as ntpd's and chrony's.
    EXPECT_EQ(sizeof(shm_time), sizeof(time_t) == 8 ? 96u : 80u);

    sock_sample sample = sock_sample_of(time, received);
    EXPECT_EQ(sizeof sample, sizeof(time_t) == 8 ? 40u : 32u);
    EXPECT_EQ(sample.tv.tv_sec, received.tv_sec);
    EXPECT_EQ(sample.tv.tv_usec, 500123);
    EXPECT_NEAR(sample.offset, -0.250123, 1e-9); // the clock 0.25 s fast
    EXPECT_EQ(sample.pulse, 0);
    EXPECT_EQ(sample.leap, 0);
    EXPECT_EQ(sample.magic, 0x534f434b);
}

} // namespace

// SPDX-License-Identifier: BSD-2-Clause
// The report files the real daemon writes into the sandbox's /tmp: published whole, kept when /tmp is full.
// What each text makes of them, and what may stand at the temporary names, is the unit tests' business.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

const char *status_path = "/tmp/nmea.status";
const char *record_path = "/tmp/sbd10.status";

// The example RMC text at 2 * n minutes past midnight (n below 720), and its reports.
std::string rmc_at(int n)
{
    char time[16];
    snprintf(time, sizeof time, "%02d%02d00", n / 30, n * 2 % 60);
    return "$GPRMC," + std::string(time) + example_rmc.substr(13);
}
std::string status_at(int n)
{
    std::string lines = example_lines;
    lines.replace(lines.find("12:35:19"), 8, std::to_string(n / 30) + ":" + std::to_string(n * 2 % 60) + ":0");
    return "NMEA: " + rmc_at(n) + "NMEA: " + example_gga + lines;
}
// TIME, n, in bits 47-38 (byte 4 and the top of byte 5); then the sum.
std::string record_at(int n)
{
    std::string record = example_record.substr(0, 10);
    record[4] = static_cast<char>(n >> 2);
    record[5] = static_cast<char>((n & 3) << 6 | 0x31); // LAT bits 21-16 of the example
    unsigned sum = 0;
    for (unsigned char byte : record)
        sum += byte;
    return record + static_cast<char>(sum >> 8 & 0xff) + static_cast<char>(sum & 0xff);
}

using PositionReports = DaemonTest;

TEST_F(PositionReports, AReaderNeverSeesAPartialOrMixedFileAndAFullTmpKeepsThePreviousOnes)
{
    // Line i is the example at 2 * (i % 720) minutes past midnight. A rewrite in place leaves a gap of
    // microseconds, so it takes thousands of rewrites to be sure a reader falls into one.
    constexpr int lines = 6000;
    std::set<std::string> whole[2]; // every status, every record
    for (int n = 0; n < 720; n++) {
        whole[0].insert(status_at(n));
        whole[1].insert(record_at(n));
    }
    ASSERT_EQ(started(), -1);
    ASSERT_TRUE(relay(example_gga));

    std::atomic<bool> done{false};
    std::string bad[2];
    int status_reads = 0, versions[2] = {0, 0};
    bool vanished = false;
    std::thread reader([&] {
        // Each file on its own: the record appears a little after the status.
        std::string text[2], last[2];
        bool seen[2] = {false, false};
        while (!done.load())
            for (int f = 0; f < 2; f++) {
                bool have = read_file(f == 0 ? status_path : record_path, &text[f]);
                vanished = vanished || (seen[f] && !have); // once published, always there
                seen[f] = seen[f] || have;
                if (!have)
                    continue;
                if (whole[f].count(text[f]) == 0 && bad[f].empty())
                    bad[f] = text[f];
                versions[f] += text[f] != last[f];
                status_reads += f == 0;
                last[f] = text[f];
            }
    });
    // Bursts keep the daemon rewriting as the reader reads; waiting for each one's last echo spares the input socket.
    bool relayed = true;
    for (int i = 0; i < lines && relayed; i++) {
        size_t from = stdout_of(*d).size();
        send_udp(as_sent(rmc_at(i % 720)));
        if (i % 8 == 7 || i == lines - 1)
            relayed = wait_stdout(*d, rmc_at(i % 720), patience_ms, from);
    }
    bool settled = file_holds(record_path, record_at((lines - 1) % 720)) &&
                   file_holds(status_path, status_at((lines - 1) % 720));
    done = true;
    reader.join();
    ASSERT_TRUE(relayed);
    EXPECT_TRUE(settled);
    EXPECT_EQ(bad[0], "");
    EXPECT_EQ(bad[1], "");
    EXPECT_FALSE(vanished);
    // The reader really watched the files change.
    EXPECT_GT(status_reads, lines);
    EXPECT_GE(versions[0], 2);
    EXPECT_GE(versions[1], 2);

    // The sandbox's own /tmp, made tiny so it can be filled: a full /tmp
    // keeps the previous reports, says so, and the relay goes on.
    ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT, "size=1m"), 0) << strerror(errno);
    ASSERT_GE(catcher(), 0);
    ASSERT_TRUE(relay(example_rmc));
    ASSERT_TRUE(file_holds(record_path, example_record) && file_holds(status_path, example_status));

    int filler = open("/tmp/filler", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(filler, 0);
    static const char block[4096] = {};
    for (int blocks = 0; blocks < 100000 && write(filler, block, sizeof block) == sizeof block;)
        blocks++;
    ASSERT_EQ(errno, ENOSPC);
    close(filler);

    // A new fix while nothing can be written: both old reports stay whole,
    // and it is said, so that the old fix does not pass for the current one.
    const std::string later = rmc_at(719), after = "$GPTXT,01,01,02,still relaying*00\n";
    ASSERT_TRUE(relay(later) && relay(after));
    std::string data;
    while ((data = broadcast()) != after && !data.empty()) {
    }
    EXPECT_EQ(data, after);
    EXPECT_TRUE(file_holds(status_path, example_status, 0));
    EXPECT_TRUE(file_holds(record_path, example_record, 0));
    EXPECT_EQ(report_names(), "nmea.status sbd10.status ");
    EXPECT_TRUE(wait_stderr(*d, "Unable to publish /tmp/nmea.status: No space left on device\n"));
    EXPECT_TRUE(wait_stderr(*d, "Unable to publish /tmp/sbd10.status: No space left on device\n"));

    // Once there is room again, the reports follow the fix.
    ASSERT_EQ(unlink("/tmp/filler"), 0);
    ASSERT_TRUE(relay(later));
    EXPECT_TRUE(file_holds(status_path, status_at(719)));
    EXPECT_TRUE(file_holds(record_path, record_at(719)));
}

} // namespace

// SPDX-License-Identifier: BSD-2-Clause
// The two report files written by the real daemon into the sandbox's /tmp:
// exact bytes, published whole, never through a planted link, and kept
// intact when /tmp is full.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

const char *status_path = "/tmp/nmea.status";
const char *record_path = "/tmp/sbd10.status";

// The example RMC text at another time of day.
std::string rmc_at(int hours, int minutes, int seconds)
{
    char time[16];
    snprintf(time, sizeof time, "%02d%02d%02d", hours, minutes, seconds);
    return "$GPRMC," + std::string(time) + example_rmc.substr(13);
}

// The status file for the example fix at that time.
std::string status_for(const std::string &rmc, int hours, int minutes, int seconds)
{
    std::string lines = example_lines;
    lines.replace(lines.find("12:35:19"), 8,
                  std::to_string(hours) + ":" + std::to_string(minutes) + ":" + std::to_string(seconds));
    return "NMEA: " + rmc + "NMEA: " + example_gga + lines;
}

// The example record with TIME set to `time` (bits 47-38: byte 4 and the top
// of byte 5), and its sum.
std::string record_with_time(unsigned time)
{
    std::string record = example_record.substr(0, 10);
    record[4] = static_cast<char>(time >> 2);
    record[5] = static_cast<char>((time & 3) << 6 | 0x31); // LAT bits 21-16 of the example
    unsigned sum = 0;
    for (unsigned char byte : record)
        sum += byte;
    return record + static_cast<char>(sum >> 8 & 0xff) + static_cast<char>(sum & 0xff);
}

bool exists(const char *path)
{
    struct stat info;
    return lstat(path, &info) == 0;
}

struct PositionReports : DaemonTest {
    // Each test process has a fresh /tmp; when tests share a process (the
    // test binary run by hand), start from nothing all the same.
    void SetUp() override
    {
        DaemonTest::SetUp();
        if (IsSkipped())
            return; // not the sandbox's /tmp
        for (const char *path : {"/tmp/nmea.status", "/tmp/nmea.status.tmp", "/tmp/sbd10.status",
                                 "/tmp/sbd10.status.tmp", "/tmp/alarm", "/tmp/victim", "/tmp/created-through-link",
                                 "/tmp/filler"})
            unlink(path);
    }
    // Starts the daemon and relays the example GGA text, then the RMC text.
    bool started_with_the_example_fix() { return started() == -1 && relay(example_gga) && relay(example_rmc); }
};

bool reports_are_the_example()
{
    return file_holds(record_path, example_record) && file_holds(status_path, example_status);
}

TEST_F(PositionReports, FilesAppearOnceGgaThenRmcHaveBeenRelayed)
{
    ASSERT_EQ(started(), -1);
    ASSERT_TRUE(relay(example_rmc));
    ASSERT_TRUE(relay(example_gga));
    // The RMC line came before any GGA line, and a GGA line alone writes nothing.
    EXPECT_FALSE(exists(status_path));
    EXPECT_FALSE(exists(record_path));

    ASSERT_TRUE(relay(example_rmc));
    EXPECT_TRUE(reports_are_the_example());
    struct stat info;
    ASSERT_EQ(stat(status_path, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(record_path, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    // The alarm file is looked at on every record, never created.
    ASSERT_TRUE(write_file("/tmp/alarm", ""));
    ASSERT_TRUE(relay(example_rmc));
    EXPECT_TRUE(file_holds(record_path, alarm_record));
    ASSERT_EQ(unlink("/tmp/alarm"), 0);
    ASSERT_TRUE(relay(example_rmc));
    EXPECT_TRUE(file_holds(record_path, example_record));
    EXPECT_FALSE(exists("/tmp/alarm"));
}

TEST_F(PositionReports, AReaderNeverSeesAPartialOrMixedFile)
{
    // Line i is the example at 2 * (i % 720) minutes past midnight: its TIME
    // is i % 720. A rewrite in place leaves a gap of microseconds, so it
    // takes thousands of rewrites to be sure a reader falls into one.
    constexpr int lines = 6000;
    std::map<std::string, int> statuses, records;
    static std::string sentences[lines];
    for (int i = 0; i < lines; i++) {
        int hours = 2 * (i % 720) / 60, minutes = 2 * (i % 720) % 60;
        sentences[i] = rmc_at(hours, minutes, 0);
        statuses[status_for(sentences[i], hours, minutes, 0)] = i;
        records[record_with_time(static_cast<unsigned>(i % 720))] = i;
    }

    ASSERT_EQ(started(), -1);
    ASSERT_TRUE(relay(example_gga));

    std::atomic<bool> done{false};
    std::string bad_status, bad_record;
    int status_reads = 0, status_versions = 0, record_versions = 0;
    bool vanished = false;
    std::thread reader([&] {
        std::string status, record, last_status, last_record;
        // Each file on its own: the record first appears a little after the
        // status file (long enough to be seen under an emulator).
        bool seen_status = false, seen_record = false;
        while (!done.load()) {
            bool have_status = read_file(status_path, &status);
            bool have_record = read_file(record_path, &record);
            if ((seen_status && !have_status) || (seen_record && !have_record))
                vanished = true; // once published, a report is always there
            seen_status = seen_status || have_status;
            seen_record = seen_record || have_record;
            if (have_status) {
                status_reads++;
                if (statuses.count(status) == 0 && bad_status.empty())
                    bad_status = status;
                if (status != last_status)
                    status_versions++;
                last_status = status;
            }
            if (have_record) {
                if (records.count(record) == 0 && bad_record.empty())
                    bad_record = record;
                if (record != last_record)
                    record_versions++;
                last_record = record;
            }
        }
    });
    // Bursts keep the daemon rewriting while the reader reads; waiting for
    // the last echo of each keeps the input socket from overflowing.
    constexpr int burst = 8;
    bool relayed = true;
    for (int i = 0; i < lines && relayed; i++) {
        size_t from = stdout_of(*d).size();
        send_udp(as_sent(sentences[i]));
        if (i % burst == burst - 1 || i == lines - 1)
            relayed = wait_stdout(*d, sentences[i], patience_ms, from);
    }
    const int last = (lines - 1) % 720;
    bool settled = file_holds(record_path, record_with_time(last)) &&
                   file_holds(status_path, status_for(sentences[lines - 1], 2 * last / 60, 2 * last % 60, 0));
    done = true;
    reader.join();
    ASSERT_TRUE(relayed);
    EXPECT_TRUE(settled);
    EXPECT_EQ(bad_status, "");
    EXPECT_EQ(bad_record, "");
    EXPECT_FALSE(vanished);
    // The reader really watched the files change.
    EXPECT_GT(status_reads, lines);
    EXPECT_GE(status_versions, 2);
    EXPECT_GE(record_versions, 2);
}

TEST_F(PositionReports, ALinkPlantedAtATemporaryNameLeavesItsTargetUntouched)
{
    ASSERT_TRUE(write_file("/tmp/victim", "precious\n"));
    ASSERT_EQ(symlink("/tmp/victim", "/tmp/nmea.status.tmp"), 0);
    ASSERT_EQ(symlink("/tmp/created-through-link", "/tmp/sbd10.status.tmp"), 0);

    ASSERT_TRUE(started_with_the_example_fix());
    EXPECT_TRUE(reports_are_the_example());
    std::string kept;
    ASSERT_TRUE(read_file("/tmp/victim", &kept));
    EXPECT_EQ(kept, "precious\n");
    EXPECT_FALSE(exists("/tmp/created-through-link"));
    // The reports are files of their own, not links.
    struct stat info;
    ASSERT_EQ(lstat(status_path, &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    ASSERT_EQ(lstat(record_path, &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST_F(PositionReports, AFullTmpKeepsThePreviousReportsAndTheRelayGoesOn)
{
    // The sandbox's own /tmp, made tiny so it can be filled.
    ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT, "size=1m"), 0) << strerror(errno);
    ASSERT_GE(catcher(), 0);
    ASSERT_TRUE(started_with_the_example_fix());
    ASSERT_TRUE(reports_are_the_example());

    int filler = open("/tmp/filler", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(filler, 0);
    static const char block[4096] = {};
    int blocks = 0;
    while (blocks < 100000 && write(filler, block, sizeof block) == static_cast<ssize_t>(sizeof block))
        blocks++;
    ASSERT_EQ(errno, ENOSPC);
    close(filler);

    // A new fix while nothing can be written: both old reports stay whole.
    const std::string later = rmc_at(23, 59, 59);
    ASSERT_TRUE(relay(later));
    const std::string after = "$GPTXT,01,01,02,still relaying*00\n";
    ASSERT_TRUE(relay(after));
    std::string data;
    while ((data = broadcast()) != after && !data.empty()) {
    }
    EXPECT_EQ(data, after);
    std::string status, record;
    ASSERT_TRUE(read_file(status_path, &status));
    ASSERT_TRUE(read_file(record_path, &record));
    EXPECT_EQ(status, example_status);
    EXPECT_EQ(record, example_record);
    EXPECT_FALSE(exists("/tmp/nmea.status.tmp"));
    EXPECT_FALSE(exists("/tmp/sbd10.status.tmp"));
    // Said, so that the old fix does not pass for the current one.
    EXPECT_TRUE(wait_stderr(*d, "Unable to publish /tmp/nmea.status: No space left on device\n"));
    EXPECT_TRUE(wait_stderr(*d, "Unable to publish /tmp/sbd10.status: No space left on device\n"));

    // Once there is room again, the reports follow the fix.
    ASSERT_EQ(unlink("/tmp/filler"), 0);
    ASSERT_TRUE(relay(later));
    EXPECT_TRUE(file_holds(status_path, status_for(later, 23, 59, 59)));
    EXPECT_TRUE(file_holds(record_path, record_with_time(720)));
}

// How often `needle` occurs in `text`.
size_t count_of(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        count++;
    return count;
}

TEST_F(PositionReports, AReportThatCannotBePublishedIsSaidOnceAndTheOtherGoesOn)
{
    const std::string said = "Unable to publish /tmp/nmea.status: Is a directory\n";
    const std::string later = rmc_at(23, 59, 59);
    ASSERT_EQ(mkdir(status_path, 0755), 0);
    ASSERT_TRUE(started_with_the_example_fix());
    EXPECT_TRUE(file_holds(record_path, example_record));
    EXPECT_TRUE(wait_stderr(*d, said));
    // Not said again while it stays unpublished; the record follows the fix.
    ASSERT_TRUE(relay(later));
    EXPECT_TRUE(file_holds(record_path, record_with_time(720)));

    // Published again, then failing again: said once more.
    ASSERT_EQ(rmdir(status_path), 0);
    ASSERT_TRUE(relay(example_rmc));
    EXPECT_TRUE(reports_are_the_example());
    ASSERT_EQ(unlink(status_path), 0);
    ASSERT_EQ(mkdir(status_path, 0755), 0);
    ASSERT_TRUE(relay(later));
    EXPECT_TRUE(file_holds(record_path, record_with_time(720)));
    // The status file is tried before the record: once the record is
    // there, all has been said; a thread of the daemon's own writes it out.
    EXPECT_TRUE(eventually([&] { return count_of(stderr_of(*d), said) >= 2; }));
    stop_daemon(*d);
    std::string messages = stderr_of(*d);
    EXPECT_EQ(count_of(messages, said), 2u) << messages;
    EXPECT_EQ(messages.find("sbd10"), std::string::npos) << messages;
}

TEST_F(PositionReports, LookAlikeSentencesLeaveTheReportsUntouched)
{
    ASSERT_TRUE(started_with_the_example_fix());
    ASSERT_TRUE(reports_are_the_example());
    struct stat before;
    ASSERT_EQ(stat(status_path, &before), 0);

    // "GGA" and "RMC" in an AIS payload, in a TXT message (after a "$" too),
    // and in proprietary sentences.
    for (const char *look_alike :
         {"!AIVDM,1,1,,A,13aGRMC0000GGA0000000000000,0*4E\n", "$GPTXT,01,01,02,RMC and GGA are fine*00\n",
          "$GPTXT,01,01,02,was $GPRMC,000000,A,0000.000,S,00000.000,W,9,9,010100,,*00\n",
          "$GPTXT,01,01,02,was $GPGGA,000000,0000.000,S,00000.000,W,1,08,0.9,999.0,M,,M,,*00\n",
          "$PGRMC,1,2,3,4,5,6,7,8,9*00\n", "$PXGGA,1,2,3,4,5,6,7,8,9,999.0,M*00\n"})
        ASSERT_TRUE(relay(look_alike));
    // Each text's reports are written before the next text is echoed.
    ASSERT_TRUE(relay("$GPGSV,3,1,11,03,03,111,00*74\n"));
    std::string status, record;
    ASSERT_TRUE(read_file(status_path, &status));
    ASSERT_TRUE(read_file(record_path, &record));
    EXPECT_EQ(status, example_status);
    EXPECT_EQ(record, example_record);
    struct stat after;
    ASSERT_EQ(stat(status_path, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino); // not even rewritten with the same bytes

    // The stores were not replaced either: the next RMC text reports the
    // example GGA text whole.
    const std::string later = rmc_at(23, 59, 59);
    ASSERT_TRUE(relay(later));
    EXPECT_TRUE(file_holds(status_path, status_for(later, 23, 59, 59)));
}

} // namespace

// The report files' temporary names occupied by what others left in /tmp:
// the reports go on being published, and what was planted is left as it was.
#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "tool_helpers.h"

namespace {

const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string record = "\x11\x05\xF0\x91\x5E\xB1\x1B\x5F\x30\x6D\x03\xBD";
// The status file for the example: both sentences as relayed, then the fix.
const std::string status = "NMEA: " + rmc.substr(0, rmc.size() - 2) + "\nNMEA: " + gga.substr(0, gga.size() - 2) +
                           "\nStatus: ACTIVE\n"
                           "Date(day/mon/yr): 23/3/94\n"
                           "Time(hh:mm:ss): 12:35:19\n"
                           "Lat(deg): 48.1173\n"
                           "Lon(deg): 11.5167\n"
                           "Course(deg): 84.4\n"
                           "Speed(m/s): 11.5235\n"
                           "Alt(m): 545.4\n";

// Feeds the example fix and waits until both reports hold it.
void expect_reports_published(daemon_process &d, uid_t owner)
{
    ASSERT_TRUE(wait_stdout(d, "ttyfd = -1\n"));
    send_udp(10101, gga);
    send_udp(10101, rmc);
    std::string content;
    ASSERT_TRUE(wait_for_file("/tmp/nmea.status", static_cast<long>(status.size()), &content));
    EXPECT_EQ(content, status);
    ASSERT_TRUE(wait_for_file("/tmp/sbd10.status", 12, &content));
    EXPECT_EQ(content, record);
    for (const char *path : {"/tmp/nmea.status", "/tmp/sbd10.status"}) {
        struct stat info;
        ASSERT_EQ(lstat(path, &info), 0) << path;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << path;
        EXPECT_EQ(info.st_uid, owner) << path;
        EXPECT_EQ(info.st_mode & 07777, 0644u) << path;
    }
    EXPECT_EQ(stderr_of(d).find("Unable to publish"), std::string::npos) << stderr_of(d);
}

// The report names in /tmp: a fresh temporary name left behind would show.
std::vector<std::string> report_names()
{
    std::vector<std::string> names;
    if (DIR *tmp = opendir("/tmp")) {
        while (dirent *entry = readdir(tmp)) {
            std::string name = entry->d_name;
            if (name.rfind("nmea.", 0) == 0 || name.rfind("sbd10.", 0) == 0)
                names.push_back(name);
        }
        closedir(tmp);
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> planted_and_published = {"nmea.status", "nmea.status.tmp", "sbd10.status",
                                                        "sbd10.status.tmp"};

TEST(ReportFaults, ReportsAre0644WhateverTheUmaskTheDaemonWasStartedWith)
{
    REQUIRE_SANDBOX();
    mode_t saved = umask(077);
    auto d = start_daemon({});
    umask(saved);
    expect_reports_published(*d, 0);
}

TEST(ReportFaults, DirectoriesKeptAtBothTemporaryNamesAreLeftAloneAndTheReportsGoOn)
{
    REQUIRE_SANDBOX();
    // A directory with something in it cannot be cleared away, and is never
    // emptied: the daemon writes under names of its own instead.
    for (const char *planted : {"/tmp/nmea.status.tmp", "/tmp/sbd10.status.tmp"}) {
        ASSERT_EQ(mkdir(planted, 0755), 0);
        ASSERT_TRUE(write_file(std::string(planted) + "/keep", "mine\n"));
    }
    auto d = start_daemon({});
    expect_reports_published(*d, 0);
    for (const char *planted : {"/tmp/nmea.status.tmp/keep", "/tmp/sbd10.status.tmp/keep"}) {
        std::string kept;
        EXPECT_TRUE(wait_for_file(planted, 5, &kept, 100)) << planted;
        EXPECT_EQ(kept, "mine\n");
    }
    EXPECT_EQ(report_names(), planted_and_published);
}

TEST(ReportFaults, AnotherUsersFilesAtTheTemporaryNamesOfAStickyTmpAreNeverOpened)
{
    REQUIRE_SANDBOX();
    // The sandbox's /tmp is sticky (1777): a daemon that is not root cannot
    // remove what another user left there. A file anyone may write, and a
    // FIFO that would block whoever opened it to write.
    struct stat tmp;
    ASSERT_EQ(stat("/tmp", &tmp), 0);
    ASSERT_EQ(tmp.st_mode & 07777, 01777u);
    ASSERT_TRUE(write_file("/tmp/nmea.status.tmp", "theirs\n"));
    ASSERT_EQ(mkfifo("/tmp/sbd10.status.tmp", 0666), 0);
    for (const char *planted : {"/tmp/nmea.status.tmp", "/tmp/sbd10.status.tmp"}) {
        ASSERT_EQ(chown(planted, 12345, 12345), 0);
        ASSERT_EQ(chmod(planted, 0666), 0);
    }
    const char *emulator = getenv("GPSFANOUT_DAEMON_PREFIX");
    std::string prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (emulator != nullptr)
        prefix += std::string(" ") + emulator;
    ASSERT_EQ(setenv("GPSFANOUT_DAEMON_PREFIX", prefix.c_str(), 1), 0);
    auto d = start_daemon({});
    if (emulator != nullptr)
        setenv("GPSFANOUT_DAEMON_PREFIX", emulator, 1);
    else
        unsetenv("GPSFANOUT_DAEMON_PREFIX");

    expect_reports_published(*d, 65534);
    std::string kept;
    EXPECT_TRUE(wait_for_file("/tmp/nmea.status.tmp", 7, &kept, 100));
    EXPECT_EQ(kept, "theirs\n");
    struct stat fifo;
    ASSERT_EQ(lstat("/tmp/sbd10.status.tmp", &fifo), 0);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(fifo.st_uid, 12345u);
    EXPECT_EQ(report_names(), planted_and_published);
}

} // namespace

// SPDX-License-Identifier: BSD-2-Clause
// The report files' temporary names occupied by what others left in /tmp:
// the reports go on being published, and what was planted is left as it was.
#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

using ReportFaults = DaemonTest;

// Feeds the example fix and waits until both reports hold it.
void expect_reports_published(daemon_process &d, uid_t owner)
{
    ASSERT_EQ(reported_fd(d, "ttyfd = "), -1);
    send_udp(as_sent(example_gga));
    send_udp(as_sent(example_rmc));
    expect_example_reports(owner);
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

TEST_F(ReportFaults, ReportsAre0644WhateverTheUmaskTheDaemonWasStartedWith)
{
    mode_t saved = umask(077);
    start();
    umask(saved);
    expect_reports_published(*d, 0);
}

TEST_F(ReportFaults, DirectoriesKeptAtBothTemporaryNamesAreLeftAloneAndTheReportsGoOn)
{
    // A directory with something in it cannot be cleared away, and is never
    // emptied: the daemon writes under names of its own instead.
    for (const char *planted : {"/tmp/nmea.status.tmp", "/tmp/sbd10.status.tmp"}) {
        ASSERT_EQ(mkdir(planted, 0755), 0);
        ASSERT_TRUE(write_file(std::string(planted) + "/keep", "mine\n"));
    }
    start();
    expect_reports_published(*d, 0);
    for (const char *planted : {"/tmp/nmea.status.tmp/keep", "/tmp/sbd10.status.tmp/keep"})
        EXPECT_TRUE(file_holds(planted, "mine\n", 0)) << planted;
    EXPECT_EQ(report_names(), planted_and_published);
}

TEST_F(ReportFaults, AnotherUsersFilesAtTheTemporaryNamesOfAStickyTmpAreNeverOpened)
{
    // The sandbox's /tmp is sticky (1777): a daemon that is not root cannot
    // remove what another user left there. A file anyone may write, and a
    // FIFO that would block whoever opened it to write.
    struct stat tmp;
    ASSERT_EQ(stat("/tmp", &tmp), 0);
    ASSERT_EQ(tmp.st_mode & 07777, 01777u);
    std::string unreachable = unreachable_for(65534, 65534);
    if (!unreachable.empty())
        GTEST_SKIP() << unreachable;
    ASSERT_TRUE(write_file("/tmp/nmea.status.tmp", "theirs\n"));
    ASSERT_EQ(mkfifo("/tmp/sbd10.status.tmp", 0666), 0);
    for (const char *planted : {"/tmp/nmea.status.tmp", "/tmp/sbd10.status.tmp"}) {
        ASSERT_EQ(chown(planted, 12345, 12345), 0);
        ASSERT_EQ(chmod(planted, 0666), 0);
    }
    daemon_options as_nobody;
    as_nobody.run_through = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    start({}, as_nobody);
    expect_reports_published(*d, 65534);
    EXPECT_TRUE(file_holds("/tmp/nmea.status.tmp", "theirs\n", 0));
    struct stat fifo;
    ASSERT_EQ(lstat("/tmp/sbd10.status.tmp", &fifo), 0);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(fifo.st_uid, 12345u);
    EXPECT_EQ(report_names(), planted_and_published);
}

} // namespace

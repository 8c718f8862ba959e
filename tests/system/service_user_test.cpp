// SPDX-License-Identifier: BSD-2-Clause
// The daemon as the service runs it: a user of its own, group dialout for the receiver's tty, no capabilities,
// and /tmp shared (sticky) with other users, who may leave anything at the reports' temporary names.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

using ServiceUser = DaemonTest;

// The service's user and group, as the package makes them: ids of nobody else here.
constexpr uid_t service_uid = 64210;
constexpr gid_t service_gid = 64210;

TEST_F(ServiceUser, RelaysServesWritesToTheReceiverAndReports)
{
    // The service's user may not reach the build (a checkout in root's home): it runs a copy.
    daemon_copy copy;
    ASSERT_NE(copy.path, "") << "no copy of " << daemon_path() << " in /tmp";
    ASSERT_EQ(unreachable_for(service_uid, service_gid, copy.path), "");
    // The receiver as udev makes a USB serial port: root's, group dialout.
    const group *dialout_group = getgrnam("dialout");
    const gid_t dialout = dialout_group != nullptr ? dialout_group->gr_gid : 20;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_EQ(chown(gps.slave.c_str(), 0, dialout), 0);
    ASSERT_EQ(chmod(gps.slave.c_str(), 0660), 0);
    // Another user's file anyone may write, and a FIFO that would block whoever opened it to write: the
    // daemon cannot remove them, and must publish under fresh names of its own, under any umask.
    struct stat tmp;
    ASSERT_EQ(stat("/tmp", &tmp), 0);
    ASSERT_EQ(tmp.st_mode & 07777, 01777u);
    ASSERT_TRUE(write_file("/tmp/nmea.status.tmp", "theirs\n"));
    ASSERT_EQ(mkfifo("/tmp/sbd10.status.tmp", 0666), 0);
    for (const char *planted : {"/tmp/nmea.status.tmp", "/tmp/sbd10.status.tmp"}) {
        ASSERT_EQ(chown(planted, 12345, 12345), 0);
        ASSERT_EQ(chmod(planted, 0666), 0);
    }

    // Its own group, dialout as the only other one, no capabilities and none to regain.
    daemon_options service;
    service.program = copy.path;
    service.run_through = {"setpriv", "--reuid=" + std::to_string(service_uid),
                           "--regid=" + std::to_string(service_gid), "--groups=" + std::to_string(dialout),
                           "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"};
    mode_t saved = umask(077);
    start({"-s", "-w"}, service);
    umask(saved);
    ASSERT_GT(reported_fd(*d, "ttyfd = "), 0) << "the receiver did not open\n" << stderr_of(*d);
    std::string status, uid = std::to_string(service_uid), gid = std::to_string(service_gid);
    ASSERT_TRUE(read_file("/proc/" + std::to_string(d->pid) + "/status", &status));
    for (const std::string &held : {"\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n",
                                    "\nGid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid + "\n",
                                    "\nGroups:\t" + std::to_string(dialout) + " \n",
                                    std::string("\nCapEff:\t0000000000000000\n")})
        EXPECT_NE(status.find(held), std::string::npos) << held << " is not in\n" << status;

    std::string received;
    int c = client(&received);
    ASSERT_GE(c, 0);
    catcher();
    // A UDP line reaches the broadcast, the client and the receiver.
    send_udp(as_sent(example_gga));
    EXPECT_EQ(broadcast(), example_gga);
    EXPECT_TRUE(read_until(c, &received, example_gga));
    std::string at_receiver;
    EXPECT_TRUE(read_until(gps.master, &at_receiver, on_the_line(example_gga)));

    // A line from the receiver reaches the broadcast and the client, and
    // with the GGA before it the reports are published, the service user's.
    ASSERT_TRUE(emit(gps, as_sent(example_rmc)));
    EXPECT_EQ(broadcast(), example_rmc);
    EXPECT_TRUE(read_until(c, &received, example_rmc));
    expect_example_reports(service_uid);
    EXPECT_TRUE(file_holds("/tmp/nmea.status.tmp", "theirs\n", 0));
    struct stat fifo;
    ASSERT_EQ(lstat("/tmp/sbd10.status.tmp", &fifo), 0);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(fifo.st_uid, 12345u);
    EXPECT_EQ(report_names(), "nmea.status nmea.status.tmp sbd10.status sbd10.status.tmp ");

    // What the client sends goes to the receiver.
    const std::string command = "$PSRF103,00,01,00,01*25";
    ASSERT_EQ(write(c, (command + "\r\n").data(), command.size() + 2), static_cast<ssize_t>(command.size() + 2));
    EXPECT_TRUE(read_until(gps.master, &at_receiver, command));

    EXPECT_EQ(stderr_of(*d), "");

    // A report that root left (a run by hand before the service) cannot be replaced: the failure says why.
    ASSERT_EQ(chown("/tmp/nmea.status", 0, 0), 0);
    ASSERT_TRUE(emit(gps, as_sent(example_rmc)));
    EXPECT_TRUE(wait_stderr(*d, "Unable to publish /tmp/nmea.status: Operation not permitted (it belongs to another "
                                "user, uid 0: remove it as that user or root)\n"))
        << stderr_of(*d);
}

} // namespace

// SPDX-License-Identifier: BSD-2-Clause
// The daemon as the service runs it: a user of its own, group dialout for the receiver's tty, no capabilities,
// and /tmp shared (sticky) with other users, who may leave anything at the reports' temporary names.
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// A daemon that cannot start one of its threads must neither run on without it nor hang on its way out. The
// parameter is how many tasks its user may have (RLIMIT_NPROC). With -s and standard output not the null device
// it has 6 threads (main, progress writer, counters, serial writer, listener, relay); a sanitizer may add one.
class ThreadLimit : public DaemonTest, public testing::WithParamInterface<int> {};

TEST_P(ThreadLimit, EachThreadStartsOrTheDaemonSaysWhichAndExitsWithStatus1)
{
    // An emulator's own threads count against the limit too.
    const char *emulator_threads = getenv("GPSFANOUT_EMULATOR_THREADS");
    const int tasks = GetParam() + (emulator_threads != nullptr ? atoi(emulator_threads) : 0);
    const uid_t uid = 64300 + static_cast<uid_t>(GetParam()); // this row's alone: the limit counts all its tasks
    const std::string user = std::to_string(uid);
    daemon_copy copy; // reachable for that user wherever the build is
    ASSERT_NE(copy.path, "") << "no copy of " << daemon_path() << " in /tmp";
    ASSERT_EQ(unreachable_for(uid, uid, copy.path), "");
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_EQ(chmod(gps.slave.c_str(), 0666), 0);
    // Standard output and error on pipes read only at the end, as a supervisor's logger may.
    int out[2], err[2];
    ASSERT_TRUE(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0);
    own(out[0]);
    own(err[0]);
    daemon_options limited;
    limited.program = copy.path;
    limited.stdout_fd = out[1];
    limited.stderr_fd = err[1];
    limited.run_through = {"prlimit", "--nproc=" + std::to_string(tasks), "setpriv", "--reuid=" + user,
                           "--regid=" + user, "--clear-groups"};
    start({"-s", "-w"}, limited);
    close(out[1]);
    close(err[1]);

    // It ends, or the relay and the serial writer take lines to the receiver, the listener listens and the
    // progress writer shows them (stdio fills a block first).
    udp_sender sender;
    std::string at_receiver, shown, said;
    int status = -1, round = 0;
    ASSERT_TRUE(eventually([&] {
        sender.send(as_sent("$GPTXT,round " + std::to_string(round++) + "*00\n"));
        return (status = wait_exit(*d, 0)) != -1 ||
               (read_until(gps.master, &at_receiver, "$GPTXT,round ", 50) && listening_on(tcp_port, 0) &&
                read_until(out[0], &shown, "$GPTXT,round ", 50));
    })) << "it neither ended nor served: it hangs, or runs on without a thread";
    if (status == -1) { // and the counters thread answers
        ASSERT_EQ(kill(d->pid, SIGUSR1), 0);
        EXPECT_TRUE(read_until(err[0], &said, "counters: ")) << said;
        EXPECT_EQ(said.find("Unable"), std::string::npos) << said;
        EXPECT_TRUE(sanitized || GetParam() >= 6);
        EXPECT_TRUE(running(*d));
        return;
    }
    read_until(err[0], &said, std::string(1, '\0')); // to the end
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    // One message, naming the thread and why: "Unable to start the relay: Resource temporarily unavailable".
    const std::string reason = ": Resource temporarily unavailable\n";
    size_t why = said.find(reason);
    EXPECT_TRUE(said.rfind("Unable to start the ", 0) == 0 && why != std::string::npos &&
                why + reason.size() == said.size())
        << said;
    EXPECT_TRUE(sanitized || GetParam() < 6);
}

INSTANTIATE_TEST_SUITE_P(Rows, ThreadLimit, testing::Range(1, 8),
                         [](const testing::TestParamInfo<int> &row) { return "Tasks" + std::to_string(row.param); });

} // namespace

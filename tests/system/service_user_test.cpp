// The daemon as the service runs it on a device: an unprivileged user of its
// own, with group dialout for the receiver's tty, no capabilities, and /tmp
// shared (sticky) with other users.
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"
#include "tool_helpers.h"

namespace {

// The service's user and group, as the package makes them: ids of nobody
// else here. Another user (nobody) leaves things in /tmp.
constexpr uid_t service_uid = 64210;
constexpr gid_t service_gid = 64210;
constexpr uid_t other_uid = 65534;

const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
const std::string record = "\x11\x05\xF0\x91\x5E\xB1\x1B\x5F\x30\x6D\x03\xBD";

gid_t dialout_gid()
{
    const group *g = getgrnam("dialout");
    return g != nullptr ? g->gr_gid : 20;
}

// The service user: its own group, dialout as the only other one, no
// capabilities and none to regain.
std::string service_identity()
{
    return "--reuid=" + std::to_string(service_uid) + " --regid=" + std::to_string(service_gid) +
           " --groups=" + std::to_string(dialout_gid()) + " --inh-caps=-all --bounding-set=-all --no-new-privs";
}

std::string status_line(pid_t pid, const std::string &name)
{
    std::string status;
    wait_for_file("/proc/" + std::to_string(pid) + "/status", -1, &status, 1000);
    size_t at = status.find("\n" + name + ":\t");
    return at == std::string::npos ? "" : status.substr(at + 1, status.find('\n', at + 1) - at - 1);
}

// Runs `step` in a child process as another user; true when it succeeds.
bool as_user(uid_t uid, gid_t gid, const std::function<bool()> &step)
{
    pid_t pid = fork();
    if (pid == 0) {
        bool done = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 &&
                    step();
        _exit(done ? 0 : 1);
    }
    int status;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void expect_reports_of_service_user()
{
    std::string content;
    ASSERT_TRUE(wait_for_file("/tmp/sbd10.status", 12, &content)) << "no position record";
    EXPECT_EQ(content, record);
    ASSERT_TRUE(wait_for_file("/tmp/nmea.status", -1, &content)) << "no status file";
    EXPECT_EQ(content.rfind("NMEA: " + rmc + "\nNMEA: " + gga + "\nStatus: ACTIVE\n", 0), 0u) << content;
    for (const char *path : {"/tmp/sbd10.status", "/tmp/nmea.status"}) {
        struct stat info;
        ASSERT_EQ(lstat(path, &info), 0) << path;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << path;
        EXPECT_EQ(info.st_uid, service_uid) << path;
        EXPECT_EQ(info.st_mode & 07777, 0644u) << path;
    }
}

// What anyone on the device may leave in /tmp: a file of its own at one
// temporary name, and at the other a link to a file of the service user's,
// which must never be written through.
bool plant_temporaries()
{
    int fd = open("/tmp/nmea.status.tmp", O_WRONLY | O_CREAT | O_EXCL, 0644);
    return fd >= 0 && write(fd, "planted\n", 8) == 8 && close(fd) == 0 &&
           symlink("/tmp/victim", "/tmp/sbd10.status.tmp") == 0;
}

TEST(ServiceUser, RelaysServesWritesToTheReceiverAndReportsPastWhatAnotherUserPlanted)
{
    REQUIRE_SANDBOX();
    std::string daemon = daemon_path();
    if (!as_user(service_uid, service_gid, [&] { return access(daemon.c_str(), X_OK) == 0; }))
        GTEST_SKIP() << "another user cannot run " << daemon << " (the checkout is in a private folder)";
    ASSERT_TRUE(write_file("/tmp/victim", "victim\n"));
    ASSERT_EQ(chown("/tmp/victim", service_uid, service_gid), 0);
    ASSERT_TRUE(as_user(other_uid, other_uid, plant_temporaries));
    // The receiver as udev makes a USB serial port: root's, group dialout.
    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_EQ(chown(gps.slave.c_str(), 0, dialout_gid()), 0);
    ASSERT_EQ(chmod(gps.slave.c_str(), 0660), 0);

    auto d = start_daemon_as(service_identity(), {"-s", "-w"});
    ASSERT_TRUE(d != nullptr);
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = ")) << stderr_of(*d);
    EXPECT_EQ(stdout_of(*d).find("ttyfd = -1"), std::string::npos) << "the receiver did not open\n" << stderr_of(*d);
    std::string uid = std::to_string(service_uid), gid = std::to_string(service_gid);
    EXPECT_EQ(status_line(d->pid, "Uid"), "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(status_line(d->pid, "Gid"), "Gid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(status_line(d->pid, "Groups"), "Groups:\t" + std::to_string(dialout_gid()) + " ");
    EXPECT_EQ(status_line(d->pid, "CapEff"), "CapEff:\t0000000000000000");

    int client = connect_when_listening(11102);
    ASSERT_GE(client, 0);
    std::string received;
    ASSERT_TRUE(sync_client(client, 10101, &received));
    int catcher = open_catcher(11101);
    ASSERT_GE(catcher, 0);

    // A UDP line reaches the broadcast, the client and the receiver.
    send_udp(10101, gga + "\r\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, gga + "\n");
    EXPECT_TRUE(read_until(client, &received, gga + "\n"));
    std::string at_receiver;
    EXPECT_TRUE(read_receiver_until(&gps, &at_receiver, gga + "\r\n"));

    // A line from the receiver reaches the broadcast and the client, and
    // with the GGA before it the reports are published.
    std::string from_receiver = rmc + "\r\n";
    ASSERT_EQ(write(gps.master, from_receiver.data(), from_receiver.size()),
              static_cast<ssize_t>(from_receiver.size()));
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, rmc + "\n");
    EXPECT_TRUE(read_until(client, &received, rmc + "\n"));
    expect_reports_of_service_user();

    // What the client sends goes to the receiver (its line end as the
    // device's output settings make it).
    const std::string command = "$PSRF103,00,01,00,01*25";
    ASSERT_EQ(write(client, (command + "\r\n").data(), command.size() + 2), static_cast<ssize_t>(command.size() + 2));
    EXPECT_TRUE(read_receiver_until(&gps, &at_receiver, command));

    // What the other user left stays as it was, and nothing was written
    // through the link.
    std::string content;
    EXPECT_TRUE(wait_for_file("/tmp/victim", -1, &content, 100));
    EXPECT_EQ(content, "victim\n");
    struct stat info;
    ASSERT_EQ(lstat("/tmp/nmea.status.tmp", &info), 0);
    EXPECT_EQ(info.st_uid, other_uid);
    EXPECT_TRUE(wait_for_file("/tmp/nmea.status.tmp", -1, &content, 100));
    EXPECT_EQ(content, "planted\n");
    ASSERT_EQ(lstat("/tmp/sbd10.status.tmp", &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    EXPECT_EQ(stderr_of(*d), "");
    close(client);
    close(catcher);
    unplug_receiver(&gps);
}

} // namespace

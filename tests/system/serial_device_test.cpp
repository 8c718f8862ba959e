// The receiver on a serial line, played by a pseudo-terminal in the private /dev.
#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <set>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox.h"

namespace {

// Writes to the receiver's side, as a GPS would.
void emit(fake_receiver &r, const std::string &text)
{
    ASSERT_EQ(write(r.master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

int opened_fd(daemon_process &d, const std::string &prefix)
{
    std::string out = stdout_of(d);
    size_t at = out.rfind(prefix);
    return at == std::string::npos ? -1 : atoi(out.c_str() + at + prefix.size());
}

// Starts the daemon with the receiver already plugged in; *fd gets the
// descriptor it reports at start (-1 when it says none, or says nothing).
std::unique_ptr<daemon_process> start_with_receiver(const std::vector<std::string> &args, int *fd)
{
    auto d = start_daemon(args);
    *fd = wait_stdout(*d, "ttyfd = ") ? opened_fd(*d, "ttyfd = ") : -1;
    return d;
}

TEST(SerialDevice, LinesFromTheReceiverAreRelayedWithASingleLineFeed)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    int catcher = open_catcher(11101);
    int fd;
    auto d = start_with_receiver({"-s"}, &fd);
    ASSERT_GT(fd, 0) << stdout_of(*d);
    const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
    emit(gps, rmc + "\r\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, rmc + "\n");
    EXPECT_TRUE(wait_stdout(*d, rmc + "\n"));
    unplug_receiver(&gps);
    close(catcher);
}

TEST(SerialDevice, TheFirstPresentDeviceInOrderIsUsed)
{
    REQUIRE_SANDBOX();
    fake_receiver usb1, usb2;
    ASSERT_TRUE(plug_receiver("/dev/ttyUSB2", &usb2));
    ASSERT_TRUE(plug_receiver("/dev/ttyUSB1", &usb1));
    int catcher = open_catcher(11101);
    auto d = start_daemon({"-s"});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = "));
    emit(usb2, "$GPTXT,from ttyUSB2\r\n");
    emit(usb1, "$GPTXT,from ttyUSB1\r\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPTXT,from ttyUSB1\n");
    EXPECT_FALSE(catch_datagram_to(catcher, veth_broadcast, &data, 1000)) << data;
    close(catcher);
}

void expect_line_settings(const std::string &slave, speed_t speed)
{
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ICANON));
    EXPECT_EQ(t.c_oflag, static_cast<tcflag_t>(OPOST | ONLCR));
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CRTSCTS | CS8 | CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&t), speed);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VEOF], 4);
    for (int index : {VINTR, VQUIT, VERASE, VKILL, VEOL2, VSWTC, VSTART, VSTOP, VSUSP, VREPRINT, VDISCARD,
                      VWERASE, VLNEXT, VEOL})
        EXPECT_EQ(t.c_cc[index], 0) << index;
    EXPECT_NE(t.c_iflag & ICRNL, 0u); // input flags stay as the device had them
}

TEST(SerialDevice, TheLineIsConfiguredAsSpecifiedAtEachSpeed)
{
    REQUIRE_SANDBOX();
    for (auto speed : {std::make_pair(std::string(), B4800), std::make_pair(std::string("57600"), B57600)}) {
        fake_receiver gps;
        ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
        std::vector<std::string> args = {"-s"};
        if (!speed.first.empty())
            args = {"-s", "-b", speed.first};
        int fd;
        auto d = start_with_receiver(args, &fd);
        ASSERT_GT(fd, 0);
        expect_line_settings(gps.slave, speed.second);
        stop_daemon(*d);
        unplug_receiver(&gps);
    }
}

TEST(SerialDevice, UnpluggedIsClosedOnceAndPluggedBackIsReopened)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    int catcher = open_catcher(11101);
    int first;
    auto d = start_with_receiver({"-s"}, &first);
    ASSERT_GT(first, 0);
    unplug_receiver(&gps);
    ASSERT_TRUE(wait_stdout(*d, "Closing ttyfd " + std::to_string(first) + "\n"));
    // Two timeouts later it has still said so only once.
    size_t closing = stdout_of(*d).find("Closing ttyfd");
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, closing));
    size_t timeout = stdout_of(*d).find("POLL timeout: ttyfd = -1\n", closing);
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, timeout + 1));
    std::string out = stdout_of(*d);
    EXPECT_EQ(out.find("Closing ttyfd", closing + 1), std::string::npos) << out;

    size_t before = out.size();
    long long plugged = now_ms();
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_TRUE(wait_stdout(*d, "Opened ttyfd = ", patience_ms, before));
    EXPECT_LT(now_ms() - plugged, 1500 + 1000); // within one idle cycle, with room for scheduling
    EXPECT_GT(opened_fd(*d, "Opened ttyfd = "), 0);
    emit(gps, "$GPGGA,back again\r\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPGGA,back again\n");
    close(catcher);
}

TEST(SerialDevice, RelayedLinesGoBackToTheReceiverButAisDoesNot)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    int catcher = open_catcher(11101);
    int fd;
    auto d = start_with_receiver({"-s", "-w"}, &fd);
    ASSERT_GT(fd, 0);
    const std::string vdm = "!AIVDM,1,1,,A,13aEOK?P00PD2wVMdLDRhgvL289?,0*26\r\n";
    const std::string vdo = "!AIVDO,1,1,,,B5NJ;PP005l4ot5Isbl03wsUkP06,0*76\r\n";
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
    send_udp(10101, vdm);
    send_udp(10101, vdo);
    send_udp(10101, gga + "\r\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, vdm.substr(0, vdm.size() - 2) + "\n"); // AIS is still broadcast
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, vdo.substr(0, vdo.size() - 2) + "\n");
    std::string line;
    // The device's ONLCR turns the relayed LF back into CR LF.
    ASSERT_TRUE(read_receiver_until(&gps, &line, "\r\n"));
    EXPECT_EQ(line, gga + "\r\n");

    // Paced: one byte per 500 microseconds at the most.
    line.clear();
    const std::string text = "$GPTXT," + std::string(192, 'p') + "\r\n";
    long long start = now_ms();
    send_udp(10101, text);
    ASSERT_TRUE(read_receiver_until(&gps, &line, "\r\n"));
    EXPECT_EQ(line, text);
    EXPECT_GE(now_ms() - start, static_cast<long long>(text.size() - 1) / 2 - 1);
    close(catcher);
}

// True once every thread of the process has stopped: a stop signal takes
// effect at each thread's next return from the kernel, not at kill().
bool wait_stopped(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    long long deadline = now_ms() + patience_ms;
    while (now_ms() < deadline) {
        bool all = true;
        DIR *dir = opendir(tasks.c_str());
        if (dir == nullptr)
            return false;
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
            std::string line;
            std::getline(stat, line);
            size_t name_end = line.rfind(')');
            all = all && name_end != std::string::npos && line.compare(name_end + 2, 1, "T") == 0;
        }
        closedir(dir);
        if (all)
            return true;
        usleep(1000);
    }
    return false;
}

TEST(SerialDevice, InputsReadyTogetherAreBothRelayed)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    int catcher = open_catcher(11101);
    int fd;
    auto d = start_with_receiver({"-s"}, &fd);
    ASSERT_GT(fd, 0);
    // Many rounds so that some land in one poll cycle.
    for (int i = 0; i < 50; i++) {
        emit(gps, "$GPTXT,serial " + std::to_string(i) + "\r\n");
        send_udp(10101, "$GPTXT,udp " + std::to_string(i) + "\r\n");
    }
    std::set<std::string> seen;
    std::string data;
    while (seen.size() < 100 && catch_datagram_to(catcher, veth_broadcast, &data))
        seen.insert(data);
    EXPECT_EQ(seen.size(), 100u);
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(seen.count("$GPTXT,serial " + std::to_string(i) + "\n"), 1u) << i;
        EXPECT_EQ(seen.count("$GPTXT,udp " + std::to_string(i) + "\n"), 1u) << i;
    }

    // Ready in the same cycle, the UDP line goes first. The daemon is
    // stopped while both wait, so that one poll sees both.
    ASSERT_EQ(kill(d->pid, SIGSTOP), 0);
    ASSERT_TRUE(wait_stopped(d->pid));
    int queue = open(gps.slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(queue, 0);
    emit(gps, "$GPTXT,serial second\r\n");
    send_udp(10101, "$GPTXT,udp first\r\n");
    int waiting = 0;
    long long deadline = now_ms() + patience_ms;
    while (ioctl(queue, FIONREAD, &waiting) == 0 && waiting == 0 && now_ms() < deadline)
        usleep(1000);
    close(queue);
    ASSERT_GT(waiting, 0);
    ASSERT_EQ(kill(d->pid, SIGCONT), 0);
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPTXT,udp first\n");
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPTXT,serial second\n");

    // A UDP fragment survives a serial line that arrives before its end.
    send_udp(10101, "$GPGGA,fragment");
    emit(gps, "$GPRMC,in between\r\n");
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPRMC,in between\n");
    send_udp(10101, ",completed\r\n");
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPGGA,fragment,completed\n");
    close(catcher);
}

} // namespace

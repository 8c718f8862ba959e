// SPDX-License-Identifier: BSD-2-Clause
// The receiver's time handed to a real chronyd (-c), through shared memory
// and through its SOCK refclock. chronyd runs with -x, so it measures the
// system clock against the samples and leaves it alone, in the sandbox's
// own IPC, network and mount namespaces, with a configuration of the test's.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock/refclock_shm.h"
#include "harness.h"

namespace {

const std::string chrony_dir = "/tmp/chrony"; // mode 0750: chronyd refuses a command socket anyone may reach
const std::string command_socket = chrony_dir + "/chronyd.sock";
const std::string refclock_socket = chrony_dir + "/nmea.sock";
const char *chronyd = "/usr/sbin/chronyd";

// The receiver writes the RMC naming second S at S + 0.25 s: the system clock then looks 0.25 s fast.
constexpr double planted_s = 0.25;
constexpr double tolerance_s = 0.03;

// A chronyd of the test's own; ended at the end.
struct time_server {
    pid_t pid = -1;
    ~time_server() { stop(SIGTERM); }
    bool start(const std::string &refclock)
    {
        mkdir(chrony_dir.c_str(), 0750);
        chmod(chrony_dir.c_str(), 0750);
        const std::string conf = chrony_dir + "/chrony.conf";
        if (!write_file(conf, "refclock " + refclock + "\nbindcmdaddress " + command_socket +
                                  "\ncmdport 0\nport 0\npidfile " + chrony_dir + "/chronyd.pid\n"))
            return false;
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, (chrony_dir + "/chronyd.log").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        const char *argv[] = {chronyd, "-x", "-d", "-u", "root", "-f", conf.c_str(), nullptr};
        int failed = posix_spawn(&pid, chronyd, &files, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&files);
        if (failed != 0)
            pid = -1;
        return failed == 0;
    }
    void stop(int signal_number)
    {
        if (pid <= 0)
            return;
        kill(pid, signal_number);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

// How fast chronyd finds the system clock against the receiver, once it follows NMEA; NaN before.
double seconds_fast()
{
    FILE *p = popen(("chronyc -h " + command_socket + " -n tracking 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return NAN;
    std::string said;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p) != nullptr)
        said += buffer;
    pclose(p);
    double value;
    char direction[8];
    size_t at = said.find("System time");
    if (said.find("(NMEA)") == std::string::npos || at == std::string::npos ||
        sscanf(said.c_str() + at, "System time : %lf seconds %7s", &value, direction) != 2)
        return NAN;
    return strcmp(direction, "fast") == 0 ? value : -value;
}

// Polls chronyd, with a deadline, until it finds the planted offset; what it found last goes to *fast.
bool finds_planted_offset(double *fast)
{
    return eventually(
        [&] {
            usleep(500 * 1000);
            *fast = seconds_fast();
            return std::fabs(*fast - planted_s) < tolerance_s;
        },
        120 * 1000);
}

// "$GPRMC,...*hh\r\n" naming second `s`, with `status` and a date `years_back` years before.
std::string rmc_of(time_t s, char status = 'A', int years_back = 0)
{
    tm t;
    gmtime_r(&s, &t);
    char body[120];
    snprintf(body, sizeof body, "GPRMC,%02d%02d%02d.00,%c,4807.038,N,01131.000,E,022.4,084.4,%02d%02d%02d,003.1,W,A",
             t.tm_hour, t.tm_min, t.tm_sec, status, t.tm_mday, t.tm_mon + 1, (t.tm_year - years_back) % 100);
    unsigned sum = 0;
    for (const char *c = body; *c != '\0'; c++)
        sum ^= static_cast<unsigned char>(*c);
    char line[140];
    snprintf(line, sizeof line, "$%s*%02X\r\n", body, sum);
    return line;
}

// The receiver: for each second S, the RMC naming S at S + 0.25 s of the system clock.
struct timed_receiver {
    std::atomic<bool> stopping{false};
    std::atomic<long> written{0};
    std::thread writer;
    explicit timed_receiver(fake_receiver &r)
    {
        writer = std::thread([this, &r] {
            while (!stopping) {
                timespec now;
                clock_gettime(CLOCK_REALTIME, &now);
                timespec at = {now.tv_sec + 1, static_cast<long>(planted_s * 1e9)};
                clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr);
                if (emit(r, rmc_of(at.tv_sec)))
                    written++;
            }
        });
    }
    ~timed_receiver()
    {
        stopping = true;
        writer.join();
    }
};

long counted(daemon_process &d, const std::string &key)
{
    std::string value = value_of(nth(said_on_request(d, 0), 0), key);
    return value.empty() ? -1 : std::stol(value);
}

size_t occurrences(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// A daemon of 32 bits (armhf, under an emulator) has a 32-bit time_t, this machine's chronyd a 64-bit one.
bool daemon_is_32_bit()
{
    std::string head;
    return read_file(daemon_path(), &head) && head.size() > 4 && head[4] == 1; // ELFCLASS32
}

// The record as the daemon lays it out, whatever this test's time_t.
template <typename seconds> struct record_as {
    int mode;
    volatile int count;
    seconds clock_seconds;
    int clock_microseconds;
    seconds receive_seconds;
    int receive_microseconds, leap, precision, nsamples;
    volatile int valid;
    unsigned clock_nanoseconds, receive_nanoseconds;
    int spare[8];
};

// f(record) on the daemon's record at `at`.
template <typename F> auto on_record(const void *at, F f)
{
    return daemon_is_32_bit() ? f(static_cast<const volatile record_as<int32_t> *>(at))
                              : f(static_cast<const volatile record_as<int64_t> *>(at));
}

class Clock : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        // Without chrony the test proves nothing: a failure, not a skip.
        ASSERT_EQ(access(chronyd, X_OK), 0) << chronyd << " is missing: sh tools/install-deps test";
    }
    // chronyd reads records and datagrams of its own time_t; on a device the daemon's is the same.
    static bool like_chronyd() { return !(daemon_is_32_bit() && sizeof(time_t) == 8); }
    static constexpr const char *unlike_chronyd =
        "a 32-bit daemon under an emulator: its time_t is not this machine's chronyd's";
};

TEST_F(Clock, ChronyFedThroughSharedMemoryFindsThePlantedOffset)
{
    if (!like_chronyd()) // in the test's own body: a skip in a helper would end only the helper
        GTEST_SKIP() << unlike_chronyd;
    time_server chrony;
    ASSERT_TRUE(chrony.start("SHM 2:perm=0666 refid NMEA poll 0 delay 0.2"));
    // chronyd makes the segment; the daemon only attaches it.
    ASSERT_TRUE(eventually([] { return shmget(shm_key_base + 2, 0, 0) >= 0; }));
    ASSERT_GT(started_with_receiver({"-s", "-c", "2"}), 0);
    timed_receiver feed(gps);
    double fast = NAN;
    EXPECT_TRUE(finds_planted_offset(&fast)) << "chronyd found the clock " << fast << " s fast";
    EXPECT_GE(counted(*d, "clock_samples"), 3);
    EXPECT_EQ(counted(*d, "clock_missed"), 0);
    EXPECT_EQ(counted(*d, "clock_refused"), 0);
}

TEST_F(Clock, ChronyFedThroughItsSocketFindsThePlantedOffsetAndItsAbsenceAndReturnAreSurvivedAndSaidOnce)
{
    if (!like_chronyd()) // in the test's own body: a skip in a helper would end only the helper
        GTEST_SKIP() << unlike_chronyd;
    const std::string missed = "Clock " + refclock_socket + " did not take the receiver's time: ";
    ASSERT_GT(started_with_receiver({"-s", "-c", refclock_socket}), 0);
    timed_receiver feed(gps);
    // chronyd not there yet: samples lost, said once.
    ASSERT_TRUE(wait_stderr(*d, missed + "No such file or directory\n"));
    ASSERT_TRUE(eventually([&] { return counted(*d, "clock_missed") >= 3; }));
    EXPECT_EQ(occurrences(stderr_of(*d), missed), 1u) << stderr_of(*d);

    time_server chrony;
    ASSERT_TRUE(chrony.start("SOCK " + refclock_socket + " refid NMEA poll 0 delay 0.2"));
    double fast = NAN;
    EXPECT_TRUE(finds_planted_offset(&fast)) << "chronyd found the clock " << fast << " s fast";

    // chronyd dies, its socket left behind: nobody is bound to it.
    chrony.stop(SIGKILL);
    ASSERT_TRUE(wait_stderr(*d, missed + "Connection refused\n"));
    long lost = counted(*d, "clock_missed");
    ASSERT_TRUE(eventually([&] { return counted(*d, "clock_missed") >= lost + 3; }));
    EXPECT_EQ(occurrences(stderr_of(*d), missed), 2u) << stderr_of(*d);

    // Back, it is fed again at once, unsaid; the relay never waited for it.
    ASSERT_TRUE(chrony.start("SOCK " + refclock_socket + " refid NMEA poll 0 delay 0.2"));
    long taken = counted(*d, "clock_samples");
    EXPECT_TRUE(eventually([&] { return counted(*d, "clock_samples") >= taken + 3; }, 30 * 1000));
    EXPECT_EQ(occurrences(stderr_of(*d), missed), 2u) << stderr_of(*d);
    EXPECT_TRUE(eventually([&] { return counted(*d, "serial_in") == feed.written; }));
}

TEST_F(Clock, InvalidFixesGiveNoTimeAndSegmentsAreMadeAsTheTimeServersMakeThemAndKept)
{
    // None left by another test of this process: the IPC namespace is the process's.
    for (int unit = 1; unit <= 3; unit++)
        shmctl(shmget(shm_key_base + unit, 0, 0), IPC_RMID, nullptr);
    // A segment of another size at unit 3, as a program with another time_t leaves it.
    ASSERT_GE(shmget(shm_key_base + 3, 50, IPC_CREAT | 0666), 0);
    ASSERT_GT(started_with_receiver({"-s", "-c", "1", "-c", "2", "-c", "3"}), 0);
    ASSERT_TRUE(wait_stderr(*d, "Unable to attach the shared memory of clock unit 3: a segment of another size is there: "
                                "made by a program whose time_t differs\n"));
    // Made at start, before any fix: 0600 for units 0 and 1, 0666 from 2 up.
    shmid_ds unit1{}, unit2{};
    int id2 = shmget(shm_key_base + 2, 0, 0);
    ASSERT_EQ(shmctl(shmget(shm_key_base + 1, 0, 0), IPC_STAT, &unit1), 0);
    ASSERT_EQ(shmctl(id2, IPC_STAT, &unit2), 0);
    EXPECT_EQ(unit1.shm_perm.mode & 0777, 0600u);
    EXPECT_EQ(unit2.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(unit2.shm_segsz, daemon_is_32_bit() ? sizeof(record_as<int32_t>) : sizeof(record_as<int64_t>));
    const void *record = shmat(id2, nullptr, SHM_RDONLY);
    ASSERT_NE(record, reinterpret_cast<void *>(-1));
    auto count = [&] { return on_record(record, [](auto r) { return r->count; }); };

    time_t now = time(nullptr);
    const std::string invalid[] = {
        rmc_of(now, 'V'), rmc_of(now + 1, 'V'),          // no fix, said once for both
        rmc_of(now + 2, 'A', 20),                        // a date 20 years back
        "$GPZDA,120000.00,08,12,2026,00,00*" + std::string("00") + "\r\n", // a bad checksum
    };
    for (const std::string &line : invalid)
        ASSERT_TRUE(emit(gps, line));
    ASSERT_TRUE(eventually([&] { return counted(*d, "serial_in") == 4; }));
    EXPECT_EQ(counted(*d, "clock_refused"), 4);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(on_record(record, [](auto r) { return r->valid; }), 0);
    EXPECT_EQ(occurrences(stderr_of(*d), "the fix is not valid"), 1u) << stderr_of(*d);
    EXPECT_EQ(occurrences(stderr_of(*d), "a date before 2020"), 1u) << stderr_of(*d);

    // A valid fix: one sample for each clock that is there, the fraction included.
    ASSERT_TRUE(emit(gps, rmc_of(now + 3)));
    ASSERT_TRUE(eventually([&] { return count() == 2 && on_record(record, [](auto r) { return r->valid; }) == 1; }))
        << count();
    EXPECT_EQ(on_record(record, [](auto r) { return static_cast<long long>(r->clock_seconds); }), now + 3);
    EXPECT_EQ(on_record(record, [](auto r) { return r->mode; }), 1);
    EXPECT_LE(std::llabs(on_record(record, [](auto r) { return static_cast<long long>(r->receive_seconds); }) -
                         time(nullptr)),
              2);
    ASSERT_TRUE(emit(gps, rmc_of(now + 4)));
    ASSERT_TRUE(eventually([&] { return count() == 4; }));
    EXPECT_EQ(counted(*d, "clock_samples"), 4);
    EXPECT_EQ(counted(*d, "clock_missed"), 2);
    EXPECT_EQ(occurrences(stderr_of(*d), "clock unit 3"), 1u) << stderr_of(*d);

    // The time server may hold them: the daemon never removes a segment.
    stop_daemon(*d);
    EXPECT_GE(shmget(shm_key_base + 1, 0, 0), 0);
    EXPECT_GE(shmget(shm_key_base + 2, 0, 0), 0);
    shmdt(record);
}

} // namespace

// The replay tool feeding the real daemon: what it sends reaches TCP clients
// and the broadcast unchanged but for the line end, at the pace asked for,
// and the sample trip makes the daemon write its report files.
#include <unistd.h>

#include "sandbox.h"
#include "tool_helpers.h"

namespace {

// What the daemon relays for lines that end in CR LF: each ends in LF.
std::string relayed_form(const std::string &lines)
{
    std::string relayed;
    for (size_t start = 0; start < lines.size();) {
        size_t end = lines.find("\r\n", start);
        relayed += lines.substr(start, end - start) + "\n";
        start = end + 2;
    }
    return relayed;
}

// Starts the daemon and a TCP client that it has registered.
struct fed_daemon {
    std::unique_ptr<daemon_process> daemon;
    int client = -1;
    ~fed_daemon()
    {
        if (client >= 0)
            close(client);
    }
};

bool start_fed_daemon(fed_daemon *f)
{
    f->daemon = start_daemon({});
    if (!f->daemon || !wait_stdout(*f->daemon, "ttyfd = -1\n"))
        return false;
    f->client = connect_when_listening(11102);
    std::string sync;
    return f->client >= 0 && sync_client(f->client, 10101, &sync);
}

// Replays `log` with these options to its end; returns how long that took in
// milliseconds, or -1 when the tool failed.
long long timed_replay(const std::string &log, std::vector<std::string> options)
{
    if (!write_file("/tmp/timed.nmea", log))
        return -1;
    options.push_back("/tmp/timed.nmea");
    long long start = now_ms();
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, options);
    long long took = now_ms() - start;
    EXPECT_EQ(run.status, 0) << run.err;
    return run.status == 0 ? took : -1;
}

TEST(Replay, LinesReachATcpClientAndTheBroadcastInOrder)
{
    REQUIRE_SANDBOX();
    fed_daemon f;
    ASSERT_TRUE(start_fed_daemon(&f));
    // Opened once the client is in sync, so no sync line is waiting in it.
    int catcher = open_catcher(11101);
    ASSERT_GE(catcher, 0);

    const std::string lines = sample_lines(8); // RMC, VTG, GGA, GSV ... of the first second
    ASSERT_TRUE(write_file("/tmp/few.nmea", lines));
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "50", "/tmp/few.nmea"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sent 8 lines to 127.0.0.1:10101"), std::string::npos) << run.err;

    const std::string expected = relayed_form(lines);
    std::string received;
    ASSERT_TRUE(read_until(f.client, &received, expected.substr(expected.size() - 20))) << received;
    EXPECT_EQ(received, expected);

    std::string broadcast, datagram;
    for (int i = 0; i < 8 && catch_datagram_to(catcher, veth_broadcast, &datagram); i++)
        broadcast += datagram;
    EXPECT_EQ(broadcast, expected);
    close(catcher);
}

TEST(Replay, AnAisLineAndALogWithBareLineFeedsArriveWhole)
{
    REQUIRE_SANDBOX();
    fed_daemon f;
    ASSERT_TRUE(start_fed_daemon(&f));
    // Bare LF line ends and a blank line in the log: the tool sends each
    // line once, with CR LF, and skips the blank one.
    const std::string log = "$GPTXT,01,01,02,one*00\n\n!AIVDM,1,1,,A,139>Jh@00vPlgJ:KQwcjWR6D0000,0*0F\n"
                            "$GPTXT,01,01,02,three*00\n";
    ASSERT_TRUE(write_file("/tmp/lf.nmea", log));
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "100", "-n", "2", "/tmp/lf.nmea"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sent 6 lines"), std::string::npos) << run.err;
    const std::string once = "$GPTXT,01,01,02,one*00\n!AIVDM,1,1,,A,139>Jh@00vPlgJ:KQwcjWR6D0000,0*0F\n"
                             "$GPTXT,01,01,02,three*00\n";
    std::string received;
    ASSERT_TRUE(read_until(f.client, &received, once + "$GPTXT,01,01,02,one*00\n!AIVDM")) << received;
    ASSERT_TRUE(read_until(f.client, &received, once + once)) << received;
    EXPECT_EQ(received, once + once);
}

TEST(Replay, RmcPaceSpacesTheLinesByTheirTimestamps)
{
    REQUIRE_SANDBOX();
    fed_daemon f;
    ASSERT_TRUE(start_fed_daemon(&f));
    const std::string log = "$GPRMC,120000.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*62\r\n"
                            "$GPTXT,01,01,02,with the first*00\r\n"
                            "$GPRMC,120001.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*63\r\n"
                            "$GPRMC,120002.50,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*65\r\n";
    // RMC pace is the default; 2.5 seconds from the first RMC to the last,
    // and a replay cannot be early.
    EXPECT_GE(timed_replay(log, {}), 2400);
    std::string received;
    EXPECT_TRUE(read_until(f.client, &received, relayed_form(log))) << received;
}

TEST(Replay, ALogWhoseTimesDoNotAdvanceIsPlayedOnceASecond)
{
    REQUIRE_SANDBOX();
    fed_daemon f;
    ASSERT_TRUE(start_fed_daemon(&f));
    const std::string log = "$GPRMC,120000.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*62\r\n"
                            "$GPTXT,01,01,02,same time*00\r\n";
    // Three passes: the second a second after the first, the third two.
    EXPECT_GE(timed_replay(log, {"-n", "3"}), 1900);
    std::string received;
    const std::string once = relayed_form(log);
    EXPECT_TRUE(read_until(f.client, &received, once + once + once)) << received;
}

TEST(Replay, FixedRateTakesItsTime)
{
    REQUIRE_SANDBOX();
    fed_daemon f;
    ASSERT_TRUE(start_fed_daemon(&f));
    const std::string lines = sample_lines(6);
    EXPECT_GE(timed_replay(lines, {"-r", "4"}), 1200); // the sixth line is due 5/4 s after the first
    std::string received;
    EXPECT_TRUE(read_until(f.client, &received, relayed_form(lines))) << received;
}

TEST(Replay, TheSampleTripMakesBothReportFiles)
{
    REQUIRE_SANDBOX();
    fed_daemon f;
    ASSERT_TRUE(start_fed_daemon(&f));
    // The first two seconds: RMC, VTG, GGA, GSV, GSV, then RMC, VTG, GGA; the
    // second RMC finds a GGA stored.
    const std::string lines = sample_lines(8);
    ASSERT_TRUE(write_file("/tmp/trip.nmea", lines));
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "50", "/tmp/trip.nmea"});
    ASSERT_EQ(run.status, 0) << run.err;

    std::string status, record;
    ASSERT_TRUE(wait_for_file("/tmp/nmea.status", -1, &status));
    EXPECT_NE(status.find("NMEA: $GPRMC,120001.00,A,4807.0380,N,01131.0020,E"), std::string::npos) << status;
    EXPECT_NE(status.find("Status: ACTIVE\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Date(day/mon/yr): 4/5/24\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Lat(deg): 48.1173\n"), std::string::npos) << status;
    ASSERT_TRUE(wait_for_file("/tmp/sbd10.status", 12, &record));

    // The record reader makes sense of what the daemon wrote.
    tool_run read = run_tool(GPSFANOUT_RECORD_BINARY, {"/tmp/sbd10.status"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.out.find("time:      12:00 UTC"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("latitude:  48.117"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("longitude: 11.516"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("altitude:  545 m"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("sum:       ok"), std::string::npos) << read.out;
}

TEST(Replay, BadCommandLinesPrintUsageAndExitOne)
{
    // Needs no daemon and no sandbox: the tool refuses before it sends.
    std::vector<std::vector<std::string>> bad = {
        {},                                   // no file
        {"-r", "0", "/dev/null"},            // no rate
        {"-r", "fast", "/dev/null"},
        {"-p", "0", "/dev/null"},
        {"-p", "65536", "/dev/null"},
        {"-n", "-1", "/dev/null"},
        {"-r", "0.0009", "/dev/null"},       // slower than one line in 1000 s
        {"-r", "1e-300", "/dev/null"},
        {"-n", "1e300", "/dev/null"},
        {"-n", "99999999999999999999", "/dev/null"},
        {"-n", "2.5", "/dev/null"},
        {"-x", "/dev/null"},
        {"/dev/null", "/dev/null"},           // two files
    };
    for (auto &args : bad) {
        tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, args);
        std::string line;
        for (auto &arg : args)
            line += arg + " ";
        EXPECT_EQ(run.status, 1) << line;
        EXPECT_NE(run.err.find("Usage: "), std::string::npos) << run.err;
    }
    tool_run missing = run_tool(GPSFANOUT_REPLAY_BINARY, {"/nonexistent/trip.nmea"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("/nonexistent/trip.nmea: No such file or directory"), std::string::npos);
    // A file without sentences, played once or for ever.
    for (const char *times : {"1", "0"}) {
        tool_run empty = run_tool(GPSFANOUT_REPLAY_BINARY, {"-n", times, "/dev/null"});
        EXPECT_EQ(empty.status, 2) << "-n " << times;
        EXPECT_NE(empty.err.find("/dev/null: no sentences to send"), std::string::npos) << empty.err;
    }
    tool_run address = run_tool(GPSFANOUT_REPLAY_BINARY, {"-a", "localhost", "/dev/null"});
    EXPECT_EQ(address.status, 1);
    EXPECT_NE(address.err.find("not an IPv4 address: localhost"), std::string::npos);
}

} // namespace

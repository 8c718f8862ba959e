// SPDX-License-Identifier: BSD-2-Clause
// The replay tool feeding the real daemon: what it sends reaches TCP clients
// and the broadcast unchanged but for the line end, at the pace asked for,
// and the sample trip makes the daemon write its report files.
#include "harness.h"

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

// The daemon started, with a TCP client that it has registered.
struct Replay : DaemonTest {
    int reader = -1;
    void SetUp() override
    {
        DaemonTest::SetUp();
        if (!IsSkipped()) {
            ASSERT_EQ(started(), -1);
            ASSERT_GE(reader = client(), 0);
        }
    }
};

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

TEST_F(Replay, LinesReachATcpClientAndTheBroadcastInOrder)
{
    ASSERT_GE(catcher(), 0);
    const std::string lines = sample_lines(8); // RMC, VTG, GGA, GSV ... of the first second
    ASSERT_TRUE(write_file("/tmp/few.nmea", lines));
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "50", "/tmp/few.nmea"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sent 8 lines to 127.0.0.1:" + std::to_string(udp_in_port)), std::string::npos) << run.err;

    const std::string expected = relayed_form(lines);
    std::string received;
    ASSERT_TRUE(read_until(reader, &received, expected.substr(expected.size() - 20))) << received;
    EXPECT_EQ(received, expected);

    std::string broadcasts;
    for (int i = 0; i < 8; i++)
        broadcasts += broadcast();
    EXPECT_EQ(broadcasts, expected);
}

TEST_F(Replay, AnAisLineAndALogWithBareLineFeedsArriveWhole)
{
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
    ASSERT_TRUE(read_until(reader, &received, once + "$GPTXT,01,01,02,one*00\n!AIVDM")) << received;
    ASSERT_TRUE(read_until(reader, &received, once + once)) << received;
    EXPECT_EQ(received, once + once);
}

TEST_F(Replay, EachPaceTakesItsTime)
{
    const struct {
        const char *what;
        std::string log;
        std::vector<std::string> options;
        long long at_least_ms; // a replay cannot be early
        int passes;
    } rows[] = {
        // RMC pace is the default; 2.5 seconds from the first RMC to the last.
        {"RMC pace spaces the lines by their timestamps",
         "$GPRMC,120000.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*62\r\n"
         "$GPTXT,01,01,02,with the first*00\r\n"
         "$GPRMC,120001.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*63\r\n"
         "$GPRMC,120002.50,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*65\r\n",
         {}, 2400, 1},
        // Three passes: the second a second after the first, the third two.
        {"a log whose times do not advance is played once a second",
         "$GPRMC,120000.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*62\r\n"
         "$GPTXT,01,01,02,same time*00\r\n",
         {"-n", "3"}, 1900, 3},
        // The sixth line is due 5/4 s after the first.
        {"a fixed rate takes its time", sample_lines(6), {"-r", "4"}, 1200, 1},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_GE(timed_replay(row.log, row.options), row.at_least_ms);
        std::string expected, received;
        for (int pass = 0; pass < row.passes; pass++)
            expected += relayed_form(row.log);
        EXPECT_TRUE(read_until(reader, &received, expected)) << received;
    }
}

TEST_F(Replay, TheSampleTripMakesBothReportFiles)
{
    // The first two seconds: RMC, VTG, GGA, GSV, GSV, then RMC, VTG, GGA; the
    // second RMC finds a GGA stored.
    const std::string lines = sample_lines(8);
    ASSERT_TRUE(write_file("/tmp/trip.nmea", lines));
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "50", "/tmp/trip.nmea"});
    ASSERT_EQ(run.status, 0) << run.err;

    std::string status, record;
    ASSERT_TRUE(eventually([&] { return read_file("/tmp/nmea.status", &status); }));
    EXPECT_NE(status.find("NMEA: $GPRMC,120001.00,A,4807.0380,N,01131.0020,E"), std::string::npos) << status;
    EXPECT_NE(status.find("Status: ACTIVE\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Date(day/mon/yr): 4/5/24\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Lat(deg): 48.1173\n"), std::string::npos) << status;
    ASSERT_TRUE(eventually([&] { return read_file("/tmp/sbd10.status", &record) && record.size() == 12; }));

    // The record reader makes sense of what the daemon wrote.
    tool_run read = run_tool(GPSFANOUT_RECORD_BINARY, {"/tmp/sbd10.status"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.out.find("time:      12:00 UTC"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("latitude:  48.117"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("longitude: 11.516"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("altitude:  545 m"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("sum:       ok"), std::string::npos) << read.out;
}

TEST(ReplayTool, BadCommandLinesSayWhatIsWrongThenUsageAndExitOne)
{
    // Needs no daemon and no sandbox: the tools refuse before they send or read.
    const char *replay = GPSFANOUT_REPLAY_BINARY, *record = GPSFANOUT_RECORD_BINARY;
    const char *rate = ": not a number of lines per second of at least 0.001\n";
    const char *port = ": not a UDP port (1 to 65535)\n";
    const char *times = ": not a whole number of times (0: for ever)\n";
    const struct {
        const char *tool;
        std::vector<std::string> args;
        std::string said; // the line before the usage text
    } bad[] = {
        {replay, {}, "no log file named\n"},
        {replay, {"-r", "0", "/dev/null"}, std::string("-r 0") + rate},
        {replay, {"-r", "fast", "/dev/null"}, std::string("-r fast") + rate},
        {replay, {"-r", "0.0009", "/dev/null"}, std::string("-r 0.0009") + rate}, // slower than one line in 1000 s
        {replay, {"-r", "1e-300", "/dev/null"}, std::string("-r 1e-300") + rate},
        {replay, {"-p", "0", "/dev/null"}, std::string("-p 0") + port},
        {replay, {"-p", "65536", "/dev/null"}, std::string("-p 65536") + port},
        {replay, {"-n", "-1", "/dev/null"}, std::string("-n -1") + times},
        {replay, {"-n", "1e300", "/dev/null"}, std::string("-n 1e300") + times},
        {replay, {"-n", "99999999999999999999", "/dev/null"}, std::string("-n 99999999999999999999") + times},
        {replay, {"-n", "2.5", "/dev/null"}, std::string("-n 2.5") + times},
        {replay, {"-x", "/dev/null"}, "invalid option -- 'x'\n"},
        {replay, {"/dev/null", "/dev/null"}, "one log file only, not 2\n"},
        {record, {"-x"}, "invalid option -- 'x'\n"},
        {record, {"/dev/null", "/dev/null"}, "one record file at most, not 2\n"},
    };
    for (auto &c : bad) {
        tool_run run = run_tool(c.tool, c.args);
        std::string line = c.tool;
        for (auto &arg : c.args)
            line += " " + arg;
        EXPECT_EQ(run.status, 1) << line;
        EXPECT_EQ(run.err.rfind(std::string(c.tool) + ": " + c.said + "Usage: " + c.tool + " ", 0), 0u)
            << line << "\n" << run.err;
    }
    // Asked for, the usage text goes to standard output, and all is well.
    for (const char *tool : {replay, record}) {
        for (const char *help : {"-h", "--help"}) {
            tool_run run = run_tool(tool, {help});
            EXPECT_EQ(run.status, 0) << tool << " " << help;
            EXPECT_EQ(run.out.rfind(std::string("Usage: ") + tool + " ", 0), 0u) << run.out;
            EXPECT_EQ(run.err, "") << tool << " " << help;
        }
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

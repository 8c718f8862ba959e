// SPDX-License-Identifier: BSD-2-Clause
// The replay tool feeding the real daemon: clients and the broadcast get what it sends but for the line end,
// at the pace asked for, and the sample trip makes the reports. And what all say of a bad command line.
#include <sstream>
#include <sys/wait.h>

#include "harness.h"

namespace {

using Replay = DaemonTest;
using CommandLine = DaemonTest;

// What the daemon relays for lines that end in CR LF: each ends in LF.
std::string relayed_form(std::string lines)
{
    for (size_t at; (at = lines.find("\r\n")) != std::string::npos;)
        lines.erase(at, 1);
    return lines;
}

TEST_F(Replay, TheSampleTripABareLineFeedLogAndAnRmcPacedLogReachTheDaemonAsSent)
{
    ASSERT_EQ(started(), -1);
    int reader = client();
    ASSERT_GE(reader, 0);
    ASSERT_GE(catcher(), 0);
    // The first two seconds of the trip: RMC, VTG, GGA, GSV, GSV, then RMC,
    // VTG, GGA; the second RMC finds a GGA stored.
    const std::string lines = sample_lines(8);
    ASSERT_TRUE(write_file("/tmp/few.nmea", lines));
    tool_run run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "50", "/tmp/few.nmea"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sent 8 lines to 127.0.0.1:" + std::to_string(udp_in_port)), std::string::npos) << run.err;
    const std::string expected = relayed_form(lines);
    std::string received, broadcasts;
    ASSERT_TRUE(read_until(reader, &received, expected.substr(expected.size() - 20))) << received;
    EXPECT_EQ(received, expected);
    for (int i = 0; i < 8; i++)
        broadcasts += broadcast();
    EXPECT_EQ(broadcasts, expected);
    std::string status;
    ASSERT_TRUE(eventually([&] { return read_file("/tmp/sbd10.status", &status) && status.size() == 12; }));
    ASSERT_TRUE(read_file("/tmp/nmea.status", &status));
    for (const char *line : {"NMEA: $GPRMC,120001.00,A,4807.0380,N,01131.0020,E", "Status: ACTIVE\n",
                             "Date(day/mon/yr): 4/5/24\n", "Lat(deg): 48.1173\n"})
        EXPECT_NE(status.find(line), std::string::npos) << status;
    // The record reader makes sense of what the daemon wrote.
    tool_run read = run_tool(GPSFANOUT_RECORD_BINARY, {"/tmp/sbd10.status"});
    EXPECT_EQ(read.status, 0) << read.err;
    for (const char *line : {"time:      12:00 UTC", "latitude:  48.117", "longitude: 11.516", "altitude:  545 m",
                             "sum:       ok"})
        EXPECT_NE(read.out.find(line), std::string::npos) << read.out;

    // Bare LF line ends and a blank line: each line is sent once a round, with CR LF; the blank one is skipped.
    const std::string once = "$GPTXT,01,01,02,one*00\n!AIVDM,1,1,,A,139>Jh@00vPlgJ:KQwcjWR6D0000,0*0F\n"
                             "$GPTXT,01,01,02,three*00\n";
    ASSERT_TRUE(write_file("/tmp/lf.nmea", "$GPTXT,01,01,02,one*00\n\n!AIVDM,1,1,,A,139>Jh@00vPlgJ:KQwcjWR6D0000,0*0F\n"
                                           "$GPTXT,01,01,02,three*00\n"));
    run = run_tool(GPSFANOUT_REPLAY_BINARY, {"-r", "100", "-n", "2", "/tmp/lf.nmea"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sent 6 lines"), std::string::npos) << run.err;
    received.clear();
    ASSERT_TRUE(read_until(reader, &received, once + once)) << received;
    EXPECT_EQ(received, once + once);

    // 2.5 seconds from the first RMC to the last: the tool keeps its clock (the pace is the unit tests' business).
    const std::string timed = "$GPRMC,120000.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*62\r\n"
                              "$GPTXT,01,01,02,with the first*00\r\n"
                              "$GPRMC,120001.00,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*63\r\n"
                              "$GPRMC,120002.50,A,4807.0380,N,01131.0020,E,0.0,84.4,040524,,,A*65\r\n";
    ASSERT_TRUE(write_file("/tmp/timed.nmea", timed));
    long long start = now_ms();
    run = run_tool(GPSFANOUT_REPLAY_BINARY, {"/tmp/timed.nmea"});
    EXPECT_GE(now_ms() - start, 2400); // a replay cannot be early
    EXPECT_EQ(run.status, 0) << run.err;
    received.clear();
    EXPECT_TRUE(read_until(reader, &received, relayed_form(timed))) << received;
}

TEST_F(CommandLine, BadOnesAndBadFilesAreRefusedWithTheReasonAndHelpIsGivenWhenAsked)
{
    // The tools refuse before they send or read, the daemon before it starts. Each row: the program, its
    // arguments (split at blanks), the exit status and what it says; a bad command line (status 1) says it
    // first, then the usage text.
    const std::string daemon_name = daemon_path();
    const char *replay = GPSFANOUT_REPLAY_BINARY, *record = GPSFANOUT_RECORD_BINARY, *daemon = daemon_name.c_str();
    const std::string rate = ": not a number of lines per second of at least 0.001\n";
    const std::string port = ": not a UDP port (1 to 65535)\n";
    const std::string low_bits = ": not a UDP port: a port keeps only its low 16 bits (70000 is 4464), and they must not be 0\n";
    const std::string clock = ": not a clock: a shared-memory unit from 0 to 255, or the absolute path of a "
                              "refclock socket\n";
    const std::string times = ": not a whole number of times (0: for ever)\n";
    const std::string speed = ": not a supported line speed (110, 300, 1200, 2400, 4800, 9600, 19200, 38400, "
                              "57600 or 115200)\n";
    const struct { const char *tool, *args; int status; std::string says; } rows[] = {
        {daemon, "-x", 1, "invalid option -- 'x'\n"},
        {daemon, "-b", 1, "option requires an argument -- 'b'\n"},
        {daemon, "-b 4801", 1, "-b 4801" + speed},
        {daemon, "-b fast", 1, "-b fast" + speed},
        {daemon, "-i 0", 1, "-i 0" + low_bits},
        {daemon, "-i 70000 -o 65536", 1, "-o 65536" + low_bits}, // 65536 would bind port 0
        {daemon, "-o letters", 1, "-o letters" + low_bits},
        {daemon, "--helpme", 1, "unrecognized option '--helpme'\n"},
        {daemon, "-c 256", 1, "-c 256" + clock},
        {daemon, "-c nmea.sock", 1, "-c nmea.sock" + clock}, // a path, but not an absolute one
        {daemon, "-c 0 -c 1 -c 2 -c /run/nmea.sock -c 3", 1, "-c 3: more clocks than the 4 that -c may name\n"},
        {daemon, "-c", 1, "option requires an argument -- 'c'\n"},
        {replay, "", 1, "no log file named\n"},
        {replay, "/dev/null /dev/null", 1, "one log file only, not 2\n"},
        {replay, "-x /dev/null", 1, "invalid option -- 'x'\n"},
        {replay, "-r 0 /dev/null", 1, "-r 0" + rate},
        {replay, "-r fast /dev/null", 1, "-r fast" + rate},
        {replay, "-r 0.0009 /dev/null", 1, "-r 0.0009" + rate}, // slower than one line in 1000 s
        {replay, "-r 1e-300 /dev/null", 1, "-r 1e-300" + rate},
        {replay, "-p 0 /dev/null", 1, "-p 0" + port},
        {replay, "-p 65536 /dev/null", 1, "-p 65536" + port},
        {replay, "-n -1 /dev/null", 1, "-n -1" + times},
        {replay, "-n 1e300 /dev/null", 1, "-n 1e300" + times},
        {replay, "-n 99999999999999999999 /dev/null", 1, "-n 99999999999999999999" + times},
        {replay, "-n 2.5 /dev/null", 1, "-n 2.5" + times},
        {record, "-x", 1, "invalid option -- 'x'\n"},
        {record, "/dev/null /dev/null", 1, "one record file at most, not 2\n"},
        {replay, "-a localhost /dev/null", 1, "not an IPv4 address: localhost"},
        {replay, "/nonexistent/trip.nmea", 2, "/nonexistent/trip.nmea: No such file or directory"},
        {replay, "-n 1 /dev/null", 2, "/dev/null: no sentences to send"},
        {replay, "-n 0 /dev/null", 2, "/dev/null: no sentences to send"}, // for ever
        // Asked for, the usage text goes to standard output, and all is well.
        {replay, "-h", 0, ""}, {replay, "--help", 0, ""}, {record, "-h", 0, ""}, {record, "--help", 0, ""},
        {daemon, "-h", 0, ""}, {daemon, "--help", 0, ""},
    };
    for (auto &row : rows) {
        std::vector<std::string> args;
        std::istringstream words(row.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        tool_run run = run_tool(row.tool, args);
        SCOPED_TRACE(std::string(row.tool) + " " + row.args + "\n" + run.out + run.err);
        EXPECT_EQ(run.status, row.status);
        const std::string usage = std::string("Usage: ") + row.tool + " ";
        if (row.status == 0)
            EXPECT_TRUE(run.out.rfind(usage, 0) == 0 && run.err.empty());
        else if (row.says.back() == '\n') // the whole line, then the usage text
            EXPECT_EQ(run.err.rfind(std::string(row.tool) + ": " + row.says + usage, 0), 0u);
        else
            EXPECT_NE(run.err.find(row.says), std::string::npos);
    }
}

} // namespace

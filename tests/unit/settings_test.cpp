// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/settings.h"
#include "reference.h"

namespace {

// Parses a command line from the default settings; returns whether it is good, with what was refused in *why.
bool parse(std::vector<std::string> words, settings_record *out, std::string *why, bool *help = nullptr)
{
    words.insert(words.begin(), "gpsfanout");
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    *out = default_settings;
    char text[200] = "not cleared";
    bool good = parse_settings(static_cast<int>(words.size()), argv.data(), out, text, sizeof text, help);
    *why = text;
    return good;
}

// Every field of a record on one line, so that whole records are compared.
std::string fields(const settings_record &s)
{
    char text[200];
    snprintf(text, sizeof text, "-i %d -o %d -t %d -b %d%s%s%s%s", s.in_udp_port, s.out_udp_port, s.out_tcp_port,
             s.baud, s.write_serial ? " writes" : "", s.udp_input ? " takes UDP" : "", s.use_serial ? " serial" : "",
             s.daemon_mode ? " detaches" : "");
    std::string line = text;
    for (size_t n = 0; n < s.writer_count; n++) {
        inet_ntop(s.writers[n].family, s.writers[n].first, text, sizeof text);
        line += std::string(" writers ") + text + "/" + std::to_string(s.writers[n].prefix);
    }
    for (size_t n = 0; n < s.clock_count; n++)
        line += s.clocks[n].is_socket ? std::string(" sock ") + s.clocks[n].path
                                      : " shm " + std::to_string(s.clocks[n].unit);
    return line;
}

// What gpsfanout(8) says -c takes: a unit from 0 to 255 in digits alone, or an absolute path that fits a
// local socket's address (107 bytes); four at most, in the order given.
std::string clock_refusal(const std::string &value, int given)
{
    if (given > 4)
        return "-c " + value + ": more clocks than the 4 that -c may name";
    if (value[0] == '/')
        return value.size() > 107
                   ? "-c " + value + ": a socket path longer than the 107 bytes a local socket's address holds"
                   : "";
    bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    std::string significant = digits ? value.substr(std::min(value.find_first_not_of('0'), value.size() - 1)) : "";
    return digits && significant.size() <= 3 && std::stoi(significant) <= 255
               ? ""
               : "-c " + value + ": not a clock: a shared-memory unit from 0 to 255, or the absolute path of a "
                                 "refclock socket";
}

TEST(Settings, ClocksAreUnitsOrAbsolutePathsFourAtMostAndABadOneIsRefusedNamingIt)
{
    const std::string long_path = "/" + std::string(106, 'p');
    const struct { std::vector<std::string> values; } rows[] = {
        {{"0"}}, {{"255"}}, {{"2", "/run/chrony/nmea.sock"}}, {{long_path}}, {{long_path + "p"}},
        {{"256"}}, {{"-1"}}, {{"+2"}}, {{" 2"}}, {{"2x"}}, {{""}}, {{"0002"}}, {{"00000000000000000000256"}}, {{"99999999999999999999"}}, {{"nmea.sock"}}, {{"./nmea.sock"}},
        {{"0", "1", "2", "/a"}}, {{"0", "1", "2", "3", "4"}}, {{"2", "two"}},
    };
    for (auto &row : rows) {
        std::vector<std::string> words;
        std::string expected_why, line;
        settings_record expected = default_settings;
        int given = 0;
        for (auto &value : row.values) {
            words.insert(words.end(), {"-c", value});
            line += "-c '" + value + "' ";
            if (!expected_why.empty())
                continue;
            expected_why = clock_refusal(value, ++given);
            clock_name c = {value[0] == '/', value[0] == '/' ? 0 : atoi(value.c_str()), {}};
            snprintf(c.path, sizeof c.path, "%s", value[0] == '/' ? value.c_str() : "");
            if (expected_why.empty())
                expected.clocks[expected.clock_count++] = c;
        }
        settings_record s;
        std::string why;
        EXPECT_EQ(parse(words, &s, &why), expected_why.empty()) << line;
        EXPECT_EQ(why, expected_why) << line;
        if (expected_why.empty()) {
            EXPECT_EQ(fields(s), fields(expected)) << line;
        }
    }
}



TEST(Settings, CommandLinesGiveTheseSettingsOrAreRefusedNamingTheValue)
{
    const std::string port = "not a UDP port: a port keeps only its low 16 bits (70000 is 4464), and they must not be 0";
    const std::string speed =
        "not a supported line speed (110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200)";
    const int in = udp_in_port, out = broadcast_port, tcp = tcp_port;
    const std::string network = "not an IPv4 or IPv6 address with an optional prefix length "
                                "(192.168.1.20, 192.168.1.0/24, fd00:1::/64)";
    const std::string host_bits = "bits set past the prefix length (a network is named by its first address, "
                                  "as 192.168.1.0/24 or fd00:1::/64)";
    const settings_record refused = {};
    std::vector<std::string> seventeen;
    for (int n = 1; n <= 17; n++)
        seventeen.insert(seventeen.end(), {"-a", "10.0.0." + std::to_string(n)});
    // A refused line expects all zeros, and names what was refused unless the option scanner said what was wrong.
    const struct { std::vector<std::string> words; settings_record expected; std::string why; } cases[] = {
        {{}, {in, out, tcp, 4800, false, true, false, false}, ""},
        // Flags are toggles, not setters.
        {{"-d", "-d"}, {in, out, tcp, 4800, false, true, false, false}, ""},
        {{"-u"}, {in, out, tcp, 4800, false, false, false, false}, ""},
        {{"-u", "-u", "-u"}, {in, out, tcp, 4800, false, false, false, false}, ""},
        {{"-ws", "-d"}, {in, out, tcp, 4800, true, true, true, true}, ""},
        {{"-b", "115200", "-i", "2000", "-o", "2001", "-t", "2002", "-w", "-s"},
         {2000, 2001, 2002, 115200, true, true, true, false}, ""},
        // Values follow atoi rules; the TCP port is not validated.
        {{"-i", "  +123abc", "-t", "0"}, {123, out, 0, 4800, false, true, false, false}, ""},
        // Far too many digits: glibc's atoi, without undefined behaviour, is strtol's LONG_MAX cut to an
        // int (-1 where long has 64 bits, INT_MAX where it has 32).
        {{"-t", "99999999999999999999999"}, {in, out, static_cast<int>(LONG_MAX), 4800, false, true, false, false}, ""},
        // Only the low 16 bits reach the socket: 4464; then 1, 65535 and 0.
        {{"-i", "70000"}, {70000, out, tcp, 4800, false, true, false, false}, ""},
        {{"-i", "65537", "-o", "-1", "-t", "65536"}, {65537, -1, 65536, 4800, false, true, false, false}, ""},
        {{"-x"}, refused, ""},
        {{"-b"}, refused, ""},
        {{"-b", "4801"}, refused, "-b 4801: " + speed},
        {{"-b", "1234"}, refused, "-b 1234: " + speed},
        {{"-b", "fast"}, refused, "-b fast: " + speed},
        {{"-i", "0"}, refused, "-i 0: " + port},
        {{"-o", "letters"}, refused, "-o letters: " + port},
        // Ports whose low 16 bits are 0 would bind a port the kernel picks.
        {{"-i", "70000", "-o", "65536"}, refused, "-o 65536: " + port},
        {{"-i", "131072"}, refused, "-i 131072: " + port},
        {{"-o", "-65536"}, refused, "-o -65536: " + port},
        // The last value given is the one refused.
        {{"-i", "0", "-i", "00"}, refused, "-i 00: " + port},
        // Networks that may write, in the order given; a bad one is refused at once.
        {{"-a", "10.0.0.0/8", "-a", "fd00:1::/64", "-a", "192.168.1.20"},
         {in, out, tcp, 4800, false, true, false, false,
          {{AF_INET, {10}, 8}, {AF_INET6, {0xfd, 0, 0, 1}, 64}, {AF_INET, {192, 168, 1, 20}, 32}}, 3},
         ""},
        {{"-a", "fd00:1::/129"}, refused, "-a fd00:1::/129: " + network},
        {{"-a", "fd00:1::1/64"}, refused, "-a fd00:1::1/64: " + host_bits},
        {{"-a", "192.168.1.0/33", "-b", "1"}, refused, "-a 192.168.1.0/33: " + network},
        {{"-a", "example"}, refused, "-a example: " + network},
        {{"-a", "192.168.1.5/24"}, refused, "-a 192.168.1.5/24: " + host_bits},
        // The table holds 16; a 17th is refused, not dropped unsaid.
        {seventeen, refused, "-a 10.0.0.17: more networks than the 16 that -a may name"},
    };
    for (auto &c : cases) {
        settings_record s;
        std::string line, why;
        for (const std::string &word : c.words)
            line += word + " ";
        bool good = c.expected.baud != 0;
        EXPECT_EQ(parse(c.words, &s, &why), good) << line;
        EXPECT_EQ(why, c.why) << line;
        if (good) {
            EXPECT_EQ(fields(s), fields(c.expected)) << line;
        }
    }
    for (const char *baud : {"110", "300", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}) {
        settings_record s;
        std::string why;
        EXPECT_TRUE(parse({"-b", baud}, &s, &why)) << baud;
        EXPECT_EQ(s.baud, atoi(baud));
    }
}

TEST(Settings, HelpIsAnOptionOfItsOwnAndTheUsageGivesEachDefault)
{
    // Wherever options go, even after a bad value; not as an option's value, after "--" or after a bad option.
    const struct { std::vector<std::string> words; bool help; } rows[] = {
        {{"-h"}, true}, {{"--help"}, true}, {{"-sh"}, true}, {{"-b", "4801", "--help"}, true},
        {{"-x", "-h"}, false}, {{"-i", "-h"}, false}, {{"--", "-h"}, false}, {{"--helpme"}, false},
    };
    for (auto &row : rows) {
        settings_record s;
        std::string why;
        bool help = !row.help;
        bool good = parse(row.words, &s, &why, &help);
        EXPECT_EQ(help, row.help) << row.words.back();
        EXPECT_TRUE(!good || !help) << row.words.back();
    }
    char *text = nullptr;
    size_t size = 0;
    FILE *to = open_memstream(&text, &size);
    ASSERT_NE(to, nullptr);
    write_help(to, "gpsfanout");
    fclose(to);
    const std::string usage(text, size);
    free(text);
    const struct { const char *option; std::string default_value; } defaults[] = {
        {"-i", std::to_string(udp_in_port)}, {"-o", std::to_string(broadcast_port)}, {"-t", std::to_string(tcp_port)},
        {"-b", "4800"}, {"-s", "off"}, {"-w", "off"}, {"-u", "on"}, {"-d", "off"}, {"-c", "none"},
    };
    for (auto &row : defaults) {
        size_t line = usage.find(std::string("\n  ") + row.option + "  ");
        ASSERT_NE(line, std::string::npos) << row.option << " is not in\n" << usage;
        EXPECT_NE(usage.substr(line, usage.find('\n', line + 1) - line).find("default " + row.default_value + ")"),
                  std::string::npos)
            << row.option << " in\n" << usage;
    }
}

TEST(SettingsDeathTest, UsageGoesToStandardErrorWithStatusOne)
{
    const std::string usage = "Usage: gpsfanout \\[-w\\] \\[-u\\] \\[-s\\] \\[-d\\] \\[-i in_udp_port\\] "
                              "\\[-o out_udp_port\\] \\[-t out_tcp_port\\] \\[-b baud\\] "
                              "\\[-a network\\] \\[-c clock\\] \\[-f output=filter\\] \\[-h\\]\n$"; // the one line, not the option table
    char program[] = "gpsfanout", bad_speed[] = "-b", speed[] = "4801", unknown[] = "-q";
    char filter[] = "-f", bad_filter[] = "tcp=+GPGG";
    char *argv[] = {program, bad_speed, speed, nullptr}, *argv2[] = {program, unknown, nullptr};
    char *argv3[] = {program, filter, bad_filter, nullptr};
    EXPECT_EXIT(parse_command_line(3, argv), testing::ExitedWithCode(1),
                "^gpsfanout: -b 4801: not a supported line speed .*\n" + usage);
    EXPECT_EXIT(parse_command_line(2, argv2), testing::ExitedWithCode(1), "invalid option -- 'q'\n" + usage);
    EXPECT_EXIT(parse_command_line(3, argv3), testing::ExitedWithCode(1),
                "^gpsfanout: -f tcp=\\+GPGG: rule 1 \"\\+GPGG\": the key is five .*\n" + usage);
}

} // namespace

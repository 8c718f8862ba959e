// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings.h"
#include "reference.h"

namespace {

// Parses a command line from the default settings; returns whether it is
// good, and puts what was refused in *why.
bool parse(const std::vector<const char *> &words, settings_record *out, std::string *why = nullptr)
{
    std::vector<std::string> storage = {"gpsfanout"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &word : storage)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    *out = default_settings;
    char text[200] = "not cleared";
    bool good = parse_settings(static_cast<int>(storage.size()), argv.data(), out, text, sizeof text);
    if (why != nullptr)
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
    return text;
}

TEST(Settings, GoodCommandLinesGiveTheseSettings)
{
    const struct {
        std::vector<const char *> words;
        settings_record expected;
    } cases[] = {
        {{}, {udp_in_port, broadcast_port, tcp_port, 4800, false, true, false, false}},
        // Flags are toggles, not setters.
        {{"-d", "-d"}, {udp_in_port, broadcast_port, tcp_port, 4800, false, true, false, false}},
        {{"-u"}, {udp_in_port, broadcast_port, tcp_port, 4800, false, false, false, false}},
        {{"-u", "-u", "-u"}, {udp_in_port, broadcast_port, tcp_port, 4800, false, false, false, false}},
        {{"-ws", "-d"}, {udp_in_port, broadcast_port, tcp_port, 4800, true, true, true, true}},
        {{"-b", "115200", "-i", "2000", "-o", "2001", "-t", "2002", "-w", "-s"},
         {2000, 2001, 2002, 115200, true, true, true, false}},
        // Values follow atoi rules; the TCP port is not validated.
        {{"-i", "  +123abc", "-t", "0"}, {123, broadcast_port, 0, 4800, false, true, false, false}},
        // Only the low 16 bits reach the socket: 4464; then 1, 65535 and 0.
        {{"-i", "70000"}, {70000, broadcast_port, tcp_port, 4800, false, true, false, false}},
        {{"-i", "65537", "-o", "-1", "-t", "65536"}, {65537, -1, 65536, 4800, false, true, false, false}},
    };
    for (auto &c : cases) {
        settings_record s;
        std::string line;
        for (const char *word : c.words)
            line += std::string(word) + " ";
        EXPECT_TRUE(parse(c.words, &s)) << line;
        EXPECT_EQ(fields(s), fields(c.expected)) << line;
    }
    // Far too many digits must not be undefined behaviour.
    settings_record s;
    EXPECT_TRUE(parse({"-t", "99999999999999999999999"}, &s));
}

TEST(Settings, BadCommandLinesAreRefusedNamingTheValue)
{
    const char *speed = "not a supported line speed (110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200)";
    const char *port = "not a UDP port (1 to 65535)";
    const struct {
        std::vector<const char *> words;
        std::string why; // empty: the option scanner says what was wrong
    } cases[] = {
        {{"-x"}, ""},
        {{"-b"}, ""},
        {{"-b", "4801"}, std::string("-b 4801: ") + speed},
        {{"-b", "1234"}, std::string("-b 1234: ") + speed},
        {{"-b", "fast"}, std::string("-b fast: ") + speed},
        {{"-i", "0"}, std::string("-i 0: ") + port},
        {{"-o", "letters"}, std::string("-o letters: ") + port},
        // Ports whose low 16 bits are 0 would bind a port the kernel picks.
        {{"-i", "70000", "-o", "65536"}, std::string("-o 65536: ") + port},
        {{"-i", "131072"}, std::string("-i 131072: ") + port},
        {{"-o", "-65536"}, std::string("-o -65536: ") + port},
        // The last value given is the one refused.
        {{"-i", "0", "-i", "00"}, std::string("-i 00: ") + port},
    };
    for (auto &c : cases) {
        settings_record s;
        std::string line, why = "not cleared";
        for (const char *word : c.words)
            line += std::string(word) + " ";
        EXPECT_FALSE(parse(c.words, &s, &why)) << line;
        EXPECT_EQ(why, c.why) << line;
    }
    settings_record s;
    for (int speed : {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
        std::string text = std::to_string(speed);
        EXPECT_TRUE(parse({"-b", text.c_str()}, &s)) << speed;
    }
}

using SettingsDeathTest = testing::Test;

TEST_F(SettingsDeathTest, UsageGoesToStandardErrorWithStatusOne)
{
    const char *usage = "Usage: gpsfanout \\[-w\\] \\[-u\\] \\[-s\\] \\[-d\\] \\[-i in_udp_port\\] "
                        "\\[-o out_udp_port\\] \\[-t out_tcp_port\\] \\[-b baud\\]\n";
    char program[] = "gpsfanout", bad_speed[] = "-b", speed[] = "4801";
    char *argv[] = {program, bad_speed, speed, nullptr};
    EXPECT_EXIT(parse_command_line(3, argv), testing::ExitedWithCode(1),
                std::string("^gpsfanout: -b 4801: not a supported line speed .*\n") + usage);
    char unknown[] = "-q";
    char *argv2[] = {program, unknown, nullptr};
    EXPECT_EXIT(parse_command_line(2, argv2), testing::ExitedWithCode(1),
                std::string("invalid option -- 'q'\n") + usage);
}

} // namespace

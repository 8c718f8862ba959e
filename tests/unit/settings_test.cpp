#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "app/settings.h"

namespace {

// Parses a command line from the default settings; returns whether it is good.
bool parse(std::initializer_list<const char *> words, settings_record *out)
{
    std::vector<std::string> storage = {"gpsfanout"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &word : storage)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    *out = default_settings;
    return parse_settings(static_cast<int>(storage.size()), argv.data(), out);
}

TEST(Settings, NoArgumentsGiveTheDefaults)
{
    settings_record s;
    ASSERT_TRUE(parse({}, &s));
    EXPECT_EQ(s.in_udp_port, 10101);
    EXPECT_EQ(s.out_udp_port, 11101);
    EXPECT_EQ(s.out_tcp_port, 11102);
    EXPECT_EQ(s.baud, 4800);
    EXPECT_FALSE(s.write_serial);
    EXPECT_TRUE(s.udp_input);
    EXPECT_FALSE(s.use_serial);
    EXPECT_FALSE(s.daemon_mode);
}

TEST(Settings, FlagsAreTogglesNotSetters)
{
    settings_record s;
    ASSERT_TRUE(parse({"-d", "-d"}, &s));
    EXPECT_FALSE(s.daemon_mode);
    ASSERT_TRUE(parse({"-u"}, &s));
    EXPECT_FALSE(s.udp_input);
    ASSERT_TRUE(parse({"-u", "-u", "-u"}, &s));
    EXPECT_FALSE(s.udp_input);
    ASSERT_TRUE(parse({"-ws", "-d"}, &s));
    EXPECT_TRUE(s.write_serial);
    EXPECT_TRUE(s.use_serial);
    EXPECT_TRUE(s.daemon_mode);
}

TEST(Settings, AllValuesAndTwoFlags)
{
    settings_record s;
    ASSERT_TRUE(parse({"-b", "115200", "-i", "2000", "-o", "2001", "-t", "2002", "-w", "-s"}, &s));
    EXPECT_EQ(s.baud, 115200);
    EXPECT_EQ(s.in_udp_port, 2000);
    EXPECT_EQ(s.out_udp_port, 2001);
    EXPECT_EQ(s.out_tcp_port, 2002);
    EXPECT_TRUE(s.write_serial);
    EXPECT_TRUE(s.use_serial);
    EXPECT_TRUE(s.udp_input);
    EXPECT_FALSE(s.daemon_mode);
}

TEST(Settings, ValuesFollowAtoiRules)
{
    settings_record s;
    ASSERT_TRUE(parse({"-i", "  +123abc", "-t", "0"}, &s));
    EXPECT_EQ(s.in_udp_port, 123);
    EXPECT_EQ(s.out_tcp_port, 0); // the TCP port is not validated
    ASSERT_TRUE(parse({"-i", "70000"}, &s));
    EXPECT_EQ(s.in_udp_port, 70000); // only its low 16 bits reach the socket
    ASSERT_TRUE(parse({"-i", "65537", "-o", "-1", "-t", "65536"}, &s)); // low bits 1, 65535 and 0
    EXPECT_EQ(s.in_udp_port, 65537);
    EXPECT_EQ(s.out_udp_port, -1);
    EXPECT_EQ(s.out_tcp_port, 65536);
    // Far too many digits must not be undefined behaviour.
    ASSERT_TRUE(parse({"-t", "99999999999999999999999"}, &s));
}

TEST(Settings, BadCommandLinesAreRefused)
{
    settings_record s;
    EXPECT_FALSE(parse({"-x"}, &s));
    EXPECT_FALSE(parse({"-b"}, &s));
    EXPECT_FALSE(parse({"-b", "4801"}, &s));
    EXPECT_FALSE(parse({"-b", "fast"}, &s));
    EXPECT_FALSE(parse({"-i", "0"}, &s));
    EXPECT_FALSE(parse({"-o", "letters"}, &s));
    // Ports whose low 16 bits are 0 would bind a port the kernel picks.
    for (const char *port : {"65536", "131072", "-65536"}) {
        EXPECT_FALSE(parse({"-i", port}, &s)) << "-i " << port;
        EXPECT_FALSE(parse({"-o", port}, &s)) << "-o " << port;
    }
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
    EXPECT_EXIT(parse_command_line(3, argv), testing::ExitedWithCode(1), usage);
    char unknown[] = "-q";
    char *argv2[] = {program, unknown, nullptr};
    EXPECT_EXIT(parse_command_line(2, argv2), testing::ExitedWithCode(1),
                std::string("invalid option.*\n") + usage);
}

} // namespace

// The report files' temporary names occupied by what others left in /tmp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "tool_helpers.h"

namespace {

const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string record = "\x11\x05\xF0\x91\x5E\xB1\x1B\x5F\x30\x6D\x03\xBD";

TEST(ReportFaults, OccupiedTemporaryNamesSkipOrKeepReportsWhole)
{
    REQUIRE_SANDBOX();
    // A directory with something in it cannot be cleared away: that report
    // is skipped. A file of another user is removed and replaced, never
    // written through: the daemon creates its own.
    ASSERT_EQ(mkdir("/tmp/nmea.status.tmp", 0755), 0);
    ASSERT_TRUE(write_file("/tmp/nmea.status.tmp/keep", "mine\n"));
    ASSERT_TRUE(write_file("/tmp/sbd10.status.tmp", "foreign"));
    ASSERT_EQ(chown("/tmp/sbd10.status.tmp", 12345, 12345), 0);
    ASSERT_EQ(chmod("/tmp/sbd10.status.tmp", 0600), 0);

    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    int client = connect_when_listening(11102);
    ASSERT_GE(client, 0);
    std::string received;
    ASSERT_TRUE(sync_client(client, 10101, &received));
    send_udp(10101, gga);
    send_udp(10101, rmc);

    std::string content;
    ASSERT_TRUE(wait_for_file("/tmp/sbd10.status", 12, &content));
    EXPECT_EQ(content, record);
    struct stat info;
    ASSERT_EQ(stat("/tmp/sbd10.status", &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_NE(access("/tmp/nmea.status", F_OK), 0); // skipped, not half-written
    std::string kept;
    EXPECT_TRUE(wait_for_file("/tmp/nmea.status.tmp/keep", 5, &kept, 100));
    EXPECT_EQ(kept, "mine\n");

    // The relay went on: the client has both lines, whole.
    EXPECT_TRUE(read_until(client, &received, rmc.substr(0, rmc.size() - 2) + "\n"));
    EXPECT_EQ(received, gga.substr(0, gga.size() - 2) + "\n" + rmc.substr(0, rmc.size() - 2) + "\n");

    // Once the name is free again, the next RMC line publishes the status.
    ASSERT_EQ(unlink("/tmp/nmea.status.tmp/keep"), 0);
    ASSERT_EQ(rmdir("/tmp/nmea.status.tmp"), 0);
    send_udp(10101, rmc);
    ASSERT_TRUE(wait_for_file("/tmp/nmea.status", -1, &content));
    EXPECT_EQ(content.rfind("NMEA: " + rmc.substr(0, rmc.size() - 2) + "\nNMEA: ", 0), 0u) << content;
    close(client);
}

} // namespace

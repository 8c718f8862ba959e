// SPDX-License-Identifier: BSD-2-Clause
// Filters (-f) in the real daemon: each output, with a filter of its own, gets the lines of a text that pass,
// in order; an output that gets none does nothing; the counters say what each held back. Which line passes
// which filter is the unit rows' business, held to the model of the man page.
#include <unistd.h>

#include "harness.h"

namespace {

using Filters = DaemonTest;

TEST_F(Filters, EachOutputCarriesTheLinesOfATextItsFilterLetsThroughInOrder)
{
    for (const char *report : {"/tmp/nmea.status", "/tmp/sbd10.status"})
        unlink(report);
    ASSERT_GE(catcher(), 0);
    ASSERT_GT(started_with_receiver({"-s", "-w", "-f", "udp=-GPGSV:~AIVDM/30", "-f", "tcp=+GP***:+AI***:+SDDBT:-all", "-f",
                                     "serial=~IIMWV/30:-GPGSV:-AIVDM", "-f", "reports=-all%udp"}),
              0);
    // Not joined by relayed lines, which the filters would count: registered once the counters say so.
    int reader = own(connect_when_listening());
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(eventually([&] { return value_of(nth(said_on_request(*d, 1), 0), "clients") == "1"; }));
    std::string stream;
    size_t mark = 0;
    receiver_watch device(gps);

    // A limit passes both parts of an AIS message, each in a datagram of its own; then, within it, nothing.
    const std::string part1 = "!AIVDM,2,1,3,A,p1,0*00\n", part2 = "!AIVDM,2,2,3,A,p2,0*00\n";
    send_udp(as_sent(part1));
    EXPECT_EQ(broadcast(), part1);
    send_udp(as_sent(part2));
    EXPECT_EQ(broadcast(), part2);

    const std::string gga = "$GPGGA,a*00\r\n", gsv = "$GPGSV,b*00\r\n", mwv = "$IIMWV,c*00\r\n",
                      dbt = "$SDDBT,d*00\r\n", vdm = "!AIVDM,1,1,,A,e,0*00\n";
    send_udp(as_sent(gga + gsv + mwv + dbt + vdm));
    EXPECT_EQ(broadcast(), gga + mwv + "$SDDBT,d*00\n");
    ASSERT_TRUE(read_until(reader, &stream, vdm));
    EXPECT_EQ(stream.substr(mark), part1 + part2 + gga + gsv + dbt + vdm);
    mark = stream.size();
    // The AIS line held back, the rest may go to the device; ONLCR makes each LF a CR LF.
    const std::string to_device = gga + mwv + "$SDDBT,d*00\n"; // the last line to pass ends in an LF
    ASSERT_TRUE(eventually([&] { return device.seen().find(on_the_line(to_device)) != std::string::npos; }));

    // Within the limit, the second wind line is held back from the device alone.
    const std::string mwv_again = "$IIMWV,f*00\r\n", gga_again = "$GPGGA,g*00\n";
    send_udp(as_sent(mwv_again + gga_again));
    EXPECT_EQ(broadcast(), mwv_again + gga_again);
    ASSERT_TRUE(read_until(reader, &stream, gga_again));
    EXPECT_EQ(stream.substr(mark), gga_again);
    ASSERT_TRUE(eventually([&] { return device.seen().find(on_the_line(gga_again)) != std::string::npos; }));
    EXPECT_EQ(device.seen().find("$IIMWV,f"), std::string::npos);

    // A text no line of which passes makes no datagram: the next one broadcast is the line after them.
    send_udp("!AIVDM,2,1,4,A,q1,0*00\r\n!AIVDM,2,2,4,A,q2,0*00\r\n");
    send_udp(as_sent(gsv + "$GPGSV,h*00\n"));
    send_udp("$GPTXT,after*00\r\n");
    EXPECT_EQ(broadcast(), "$GPTXT,after*00\n");

    // udp: GSV three times, the single AIS line and the second message; tcp: the two wind lines; serial: every
    // AIS line, GSV three times and the second wind line; reports: every UDP line. None is a drop.
    std::string said = nth(said_on_request(*d, 1), 0);
    const struct { const char *key, *value; } counts[] = {
        {"filtered_udp", "6"}, {"filtered_tcp", "2"}, {"filtered_serial", "9"}, {"filtered_reports", "14"},
        {"drop_device", "0"}, {"drop_clients", "0"}, {"drop_fragments", "0"},
    };
    for (auto &c : counts)
        EXPECT_EQ(value_of(said, c.key), c.value) << c.key << " in " << said;

    // The reports keep to the receiver's own fixes: a GGA from UDP does not stand for the receiver's.
    emit(gps, as_sent(example_gga));
    emit(gps, as_sent(example_rmc));
    expect_example_reports(0);
    send_udp("$GPGGA,123520,4807.038,N,01131.000,E,1,08,0.9,999.9,M,46.9,M,,*47\r\n");
    const std::string later_rmc = "$GPRMC,123521" + example_rmc.substr(13);
    emit(gps, as_sent(later_rmc));
    std::string status;
    ASSERT_TRUE(eventually([&] { return read_file("/tmp/nmea.status", &status) && status.find(later_rmc) == 6; }));
    EXPECT_EQ(status.substr(0, 6 + later_rmc.size() + 6 + example_gga.size()),
              "NMEA: " + later_rmc + "NMEA: " + example_gga);
    said = nth(said_on_request(*d, 1), 0);
    EXPECT_EQ(value_of(said, "filtered_reports"), "15") << said;
    EXPECT_EQ(value_of(said, "reports"), "4") << said;
}

} // namespace

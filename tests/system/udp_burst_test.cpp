// SPDX-License-Identifier: BSD-2-Clause
// Datagrams that arrive faster than the relay handles them wait together in
// the input socket and are taken several at a time: every one must still be
// joined, cut and relayed exactly as if it had come alone.
#include "harness.h"

namespace {

using UdpBurst = DaemonTest;

TEST_F(UdpBurst, ABurstOfDatagramsIsRelayedWholeAndInOrder)
{
    // Every way a datagram can end up: whole, in two or three pieces, too
    // short, a fragment that an empty datagram discards, two sentences in one.
    std::vector<std::string> datagrams;
    std::string expected;
    for (int i = 0; i < 300; i++) {
        std::string n = std::to_string(i);
        switch (i % 6) {
        case 0:
            datagrams.push_back("$GPTXT,whole," + n + "*00\r\n");
            expected += "$GPTXT,whole," + n + "*00\n";
            break;
        case 1:
            datagrams.push_back("$GPTXT,tw");
            datagrams.push_back("o," + n + "*00\r\n");
            expected += "$GPTXT,two," + n + "*00\n";
            break;
        case 2:
            datagrams.push_back("$GPT");
            datagrams.push_back("XT,three,");
            datagrams.push_back(n + "*00\r\n");
            expected += "$GPTXT,three," + n + "*00\n";
            break;
        case 3:
            datagrams.push_back("abc\r\n");
            break;
        case 4:
            datagrams.push_back("$GPTXT,lost," + n);
            datagrams.push_back("");
            break;
        default:
            datagrams.push_back("$GPTXT,a," + n + "*00\r\n$GPTXT,b," + n + "*00\r\n");
            expected += "$GPTXT,a," + n + "*00\r\n$GPTXT,b," + n + "*00\n";
            break;
        }
    }
    datagrams.push_back("$GPTXT,burst end*00\r\n");
    expected += "$GPTXT,burst end*00\n";

    start({}, quiet);
    int reader = client();
    ASSERT_GE(reader, 0);
    // One socket, back to back: far faster than the relay passes lines on.
    udp_sender sender;
    for (const std::string &datagram : datagrams)
        ASSERT_TRUE(sender.send(datagram));

    std::string burst;
    ASSERT_TRUE(read_until(reader, &burst, "$GPTXT,burst end*00\n"));
    EXPECT_EQ(burst, expected);
}

} // namespace

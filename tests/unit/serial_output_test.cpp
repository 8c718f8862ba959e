// SPDX-License-Identifier: BSD-2-Clause
// Who may touch the serial descriptor: a close never lands under a write,
// and a unit never goes on to a descriptor that replaced its device.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sys/ioctl.h>

#include "base/settings.h"
#include "descriptor_tools.h"
#include "relay/serial_output.h"
#include "relay/serial_port.h"

namespace {

// A pipe published as the device; closed as the device at the end unless the test closed it already.
struct pipe_device {
    int ends[2] = {-1, -1};
    pipe_device()
    {
        EXPECT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
        serial_publish(ends[1]);
    }
    ~pipe_device()
    {
        if (ttyfd.load() == ends[1]) {
            serial_close();
            EXPECT_TRUE(soon([] { return !serial_closing(); })); // closed on a thread of its own
        }
        close(ends[0]);
    }
    // Reads the device until `text` has arrived; what came is appended to *got.
    bool arrives(std::string *got, const std::string &text, int timeout_ms = 15000)
    {
        return soon([&] { return (*got += drain(ends[0])).find(text) != std::string::npos; }, timeout_ms);
    }
};

TEST(SerialOutput, TheDeviceIsNotClosedUnderAWriter)
{
    pipe_device device;
    std::atomic<bool> closed{false};
    std::thread closer;
    {
        // A writer is part-way through a byte.
        std::lock_guard<std::mutex> writing(serial_write_lock);
        closer = std::thread([&] {
            serial_close();
            closed = true;
        });
        usleep(50 * 1000); // the closer has long been waiting for the lock
        EXPECT_FALSE(closed);
        EXPECT_GE(fcntl(device.ends[1], F_GETFD), 0) << "closed under a writer";
    }
    closer.join();
    EXPECT_EQ(ttyfd.load(), -1);
    EXPECT_TRUE(soon([] { return !serial_closing(); }));
    EXPECT_LT(fcntl(device.ends[1], F_GETFD), 0);
}

TEST(SerialOutput, AUnitStopsWhereItsDeviceWasReplacedOrTookNothingForItsPatience)
{
    {
        pipe_device first;
        unsigned generation = serial_generation;
        EXPECT_EQ(write_paced("$GPTXT,one", 10, generation, serial_stall_ms), 10u);
        EXPECT_EQ(drain(first.ends[0]), "$GPTXT,one");
        // Closed and replaced, perhaps under the same number: the rest of the unit goes nowhere.
        serial_close();
        pipe_device second;
        EXPECT_EQ(write_paced("$GPTXT,two", 10, generation, serial_stall_ms), 0u);
        EXPECT_EQ(drain(second.ends[0]), "");
        serial_close();
        EXPECT_EQ(write_paced("$GPTXT,two", 10, serial_generation, serial_stall_ms), 0u);
    }
    pipe_device full;
    fill(full.ends[1], 'f');
    // Dropped at once when the device was already known to be stuck, after the stall otherwise.
    EXPECT_EQ(write_paced("$GPTXT,x", 8, serial_generation, 0), 0u);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(write_paced("$GPTXT,x", 8, serial_generation, serial_stall_ms), 0u);
    // Waited out (to the millisecond the writer counts in), not given up at once.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(serial_stall_ms - 10));
}

TEST(SerialOutput, WhatWaitsInTheDriverIsDiscardedWhenAUnitIsCutForAStall)
{
    // A pty held by Ctrl-S takes nothing, as a UART does while CTS stays low. It shows no queue of its own, but
    // its master, in packet mode, hears of a discard: in the status byte that its first read gives.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), on = 1;
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ioctl(master, TIOCPKT, &on) == 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_TRUE(slave >= 0 && write(master, "\x13", 1) == 1);
    serial_publish(slave);
    ASSERT_TRUE(soon([&] { return write(slave, "f", 1) < 0 && errno == EAGAIN; }));
    EXPECT_EQ(write_paced("$GPTXT,x", 8, serial_generation, 0), 0u);
    std::string said = drain(master);
    EXPECT_TRUE(!said.empty() && (said[0] & TIOCPKT_FLUSHWRITE)) << "nothing discarded";
    serial_close();
    EXPECT_TRUE(soon([] { return !serial_closing(); }));
    close(master);
}

TEST(SerialOutput, ADiscardCountsTheRelayedTextsWhoseBytesItThrewAway)
{
    // Written before the unit being cut, oldest first: a relayed text, a client's line, a relayed text.
    const unit_on_line recent[] = {{70, true}, {20, false}, {70, true}};
    const struct { size_t cut_head, discarded, texts; } rows[] = {
        {10, 0, 0},  {10, 10, 0}, {10, 11, 1},  {10, 80, 1}, // nothing said (a pty), the cut head, the text before
        {10, 100, 1}, {10, 101, 2}, {0, 1000, 2},             // a client's line is not counted; all there are
    };
    for (auto &row : rows)
        EXPECT_EQ(texts_discarded(recent, 3, row.cut_head, row.discarded), row.texts) << row.discarded;
}

TEST(SerialOutput, PaceAndBacklogFollowTheLineSpeed)
{
    // A byte is ten bits on the line, never under 500 us; the backlog is two seconds of bytes.
    const struct { int baud; long byte_us; size_t backlog; } rows[] = {
        {110, 90910, 21},   {300, 33334, 59},  {1200, 8334, 239},  {4800, 2084, 959},
        {9600, 1042, 1919}, {19200, 521, 3838}, {38400, 500, 4000}, {115200, 500, 4000}};
    for (auto &row : rows) {
        EXPECT_EQ(serial_byte_us(row.baud), row.byte_us) << row.baud;
        EXPECT_EQ(serial_backlog_bytes(row.baud), row.backlog) << row.baud;
    }
}

TEST(SerialOutput, AClientsTextGoesOneLineAtATime)
{
    const std::string full(serial_client_unit, 'x');
    const struct { std::string gathered; bool quiet; size_t taken; std::string unit; } rows[] = {
        {"$PMTK220,1000*1F\r\n$PMTK", false, 18, "$PMTK220,1000*1F\n"}, // CR LF: ONLCR gives the CR back
        {"$PMTK220,1000*1F\n$PMTK", false, 17, "$PMTK220,1000*1F\n"},
        {"$PMTK220,1000*1F\r$PMTK", false, 17, "$PMTK220,1000*1F\r"},
        {"$PMTK220,1000*1F\r\r\n", false, 17, "$PMTK220,1000*1F\r"},   // then "\r\n" on its own
        {"\r\n", false, 2, "\n"},
        {"$PMTK220,1000*1F\r", false, 0, ""},                            // its LF may follow
        {"$PMTK220,1000*1F\r", true, 17, "$PMTK220,1000*1F\r"},
        {"$PMTK220,10", false, 0, ""},
        {"$PMTK220,10", true, 11, "$PMTK220,10"},                        // a client gone quiet
        {full, false, serial_client_unit, full},                         // as much as is gathered
        {full.substr(1) + "\r", false, serial_client_unit, full.substr(1) + "\r"},
        {"", true, 0, ""},
    };
    for (auto &row : rows) {
        char unit[serial_client_unit];
        size_t length = 99;
        EXPECT_EQ(client_unit(row.gathered.data(), row.gathered.size(), row.quiet, unit, &length), row.taken)
            << row.gathered;
        EXPECT_EQ(std::string(unit, row.taken > 0 ? length : 0), row.unit) << row.gathered;
    }
}

bool offer(const std::string &text)
{
    return serial_offer(text.data(), text.size());
}

// Not a sentence, so that none takes another's place: each waits its turn, or is dropped.
std::string sentence(int i)
{
    char text[80];
    snprintf(text, sizeof text, "GPTXT,01,01,02,burst %03d,%040d*00\n", i, 0);
    return text;
}

TEST(SerialOutput, TheWriterDropsWholeLinesBeyondTheLineTimeBoundAndLinesThatWaitedPastTheirAge)
{
    settings.baud = 4800;
    ASSERT_TRUE(serial_output_start());
    {
        // Two seconds at 4800 baud are 959 bytes: 13 texts of 69, and one more the writer may have taken.
        pipe_device device;
        std::string expected;
        for (int i = 0; i < 40; i++)
            if (offer(sentence(i)))
                expected += sentence(i);
        EXPECT_LE(expected.size(), 15 * sentence(0).size());
        // What was queued goes whole and in order; nothing of the rest.
        std::string got;
        ASSERT_TRUE(device.arrives(&got, expected)) << got.size() << " of " << expected.size() << " bytes";
        EXPECT_FALSE(device.arrives(&got, "burst", 500) && got != expected);
        EXPECT_EQ(got, expected);
    }
    const std::string fresh = sentence(99);
    {
        // Queued while the device took nothing: held well past the stall and a line's greatest age, then drained;
        // the next goes after a line end, since the cut tore the line.
        pipe_device device;
        size_t filled = fill(device.ends[1], 'f');
        for (int i = 0; i < 4; i++)
            EXPECT_TRUE(offer(sentence(i))) << i;
        usleep((serial_stall_ms + serial_stale_ms + 500) * 1000);
        std::string got;
        ASSERT_TRUE(soon([&] { return (got += drain(device.ends[0])).size() >= filled; }));
        ASSERT_TRUE(offer(fresh));
        ASSERT_TRUE(device.arrives(&got, fresh));
        EXPECT_EQ(got.substr(got.find_first_not_of('f')), "\n" + fresh);
    }
    // Queued behind a client's unit: 1400 bytes without a line end hold the line for about three seconds.
    pipe_device device;
    const std::string client(1400, 'c');
    ASSERT_TRUE(serial_write(client.data(), client.size(), 1000));
    std::string got;
    ASSERT_TRUE(device.arrives(&got, "c"));
    ASSERT_TRUE(offer(sentence(1)));
    ASSERT_TRUE(device.arrives(&got, client));
    ASSERT_TRUE(offer(fresh));
    ASSERT_TRUE(device.arrives(&got, fresh));
    EXPECT_EQ(got, client + fresh);
}

} // namespace

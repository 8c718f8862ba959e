// SPDX-License-Identifier: BSD-2-Clause
// Who may touch the serial descriptor: a close never lands under a write,
// and a unit never goes on to a descriptor that replaced its device.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "relay/serial_output.h"
#include "relay/serial_port.h"

namespace {

struct pipe_device {
    int ends[2] = {-1, -1};
    pipe_device()
    {
        EXPECT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    }
    ~pipe_device()
    {
        for (int fd : ends)
            if (fd >= 0)
                close(fd);
    }
    // What reached the device so far.
    std::string taken()
    {
        char buffer[256];
        ssize_t got = read(ends[0], buffer, sizeof buffer);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }
};

TEST(SerialOutput, TheDeviceIsNotClosedUnderAWriter)
{
    pipe_device device;
    serial_publish(device.ends[1]);
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
    EXPECT_LT(fcntl(device.ends[1], F_GETFD), 0);
    device.ends[1] = -1;
}

TEST(SerialOutput, AUnitStopsWhereItsDeviceWasReplaced)
{
    pipe_device first;
    serial_publish(first.ends[1]);
    unsigned generation = serial_generation;
    EXPECT_EQ(write_paced("$GPTXT,one", 10, generation, serial_stall_ms), 10u);
    EXPECT_EQ(first.taken(), "$GPTXT,one");

    // Closed and replaced, perhaps under the same number: the rest of the
    // unit goes nowhere.
    serial_close();
    first.ends[1] = -1;
    pipe_device second;
    serial_publish(second.ends[1]);
    EXPECT_EQ(write_paced("$GPTXT,two", 10, generation, serial_stall_ms), 0u);
    EXPECT_EQ(second.taken(), "");
    serial_close();
    second.ends[1] = -1;
    EXPECT_EQ(write_paced("$GPTXT,two", 10, serial_generation, serial_stall_ms), 0u);
}

TEST(SerialOutput, ADeviceThatTakesNothingCutsTheUnitAfterItsPatience)
{
    pipe_device full;
    serial_publish(full.ends[1]);
    const std::string block(65536, 'f');
    while (write(full.ends[1], block.data(), block.size()) > 0) {
    }
    // Dropped at once when the device was already known to be stuck, after
    // the stall otherwise.
    EXPECT_EQ(write_paced("$GPTXT,x", 8, serial_generation, 0), 0u);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(write_paced("$GPTXT,x", 8, serial_generation, serial_stall_ms), 0u);
    // Waited out (to the millisecond the writer counts in), not given up at once.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(serial_stall_ms - 10));
    serial_close();
    full.ends[1] = -1;
}

} // namespace

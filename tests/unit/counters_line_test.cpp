// SPDX-License-Identifier: BSD-2-Clause
// The counters line: its keys, their order and their values' form are what
// scripts read.
#include <gtest/gtest.h>

#include <string>

#include "base/counters.h"
#include "daemon/counters_on_request.h"

namespace {

TEST(CountersLine, HoldsEveryKeyInItsOrder)
{
    const struct { counters_snapshot values; const char *line; } cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "unused", "-", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "counters: up_s=0 udp_in=0 serial_in=0 bcast_failed=0 clients=0 clients_max=0 clients_refused=0 clients_cut=0 "
         "drop_clients=0 drop_device=0 drop_progress=0 device=unused device_name=- device_opened=0 device_lost=0 "
         "reports=0 reports_failed=0 drop_fragments=0 client_bytes_discarded=0 clock_samples=0 clock_missed=0 "
         "clock_refused=0 filtered_udp=0 filtered_tcp=0 filtered_serial=0 filtered_reports=0\n"},
        {{12, 40, 3, 1, 2, 3, 4, 5, 6, 7, 8, "open", "/dev/ttyUSB1", 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21},
         "counters: up_s=12 udp_in=40 serial_in=3 bcast_failed=1 clients=2 clients_max=3 clients_refused=4 "
         "clients_cut=5 drop_clients=6 drop_device=7 drop_progress=8 device=open device_name=/dev/ttyUSB1 "
         "device_opened=9 device_lost=10 reports=11 reports_failed=12 drop_fragments=13 client_bytes_discarded=14 "
         "clock_samples=15 clock_missed=16 clock_refused=17 filtered_udp=18 filtered_tcp=19 filtered_serial=20 "
         "filtered_reports=21\n"},
        // Years of a busy relay: every count at its widest still fits.
        {{9999999999LL, UINT64_MAX, UINT64_MAX, UINT64_MAX, 100, 100, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
          UINT64_MAX, "closed", "/dev/ttyUSB0", UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
          UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX},
         "counters: up_s=9999999999 udp_in=18446744073709551615 serial_in=18446744073709551615 "
         "bcast_failed=18446744073709551615 clients=100 clients_max=100 clients_refused=18446744073709551615 "
         "clients_cut=18446744073709551615 drop_clients=18446744073709551615 drop_device=18446744073709551615 "
         "drop_progress=18446744073709551615 device=closed device_name=/dev/ttyUSB0 "
         "device_opened=18446744073709551615 device_lost=18446744073709551615 reports=18446744073709551615 "
         "reports_failed=18446744073709551615 drop_fragments=18446744073709551615 "
         "client_bytes_discarded=18446744073709551615 clock_samples=18446744073709551615 "
         "clock_missed=18446744073709551615 clock_refused=18446744073709551615 filtered_udp=18446744073709551615 "
         "filtered_tcp=18446744073709551615 filtered_serial=18446744073709551615 "
         "filtered_reports=18446744073709551615\n"},
    };
    for (auto &c : cases) {
        char out[counters_line_capacity];
        EXPECT_EQ(std::string(out, format_counters(out, c.values)), c.line);
    }
}

} // namespace

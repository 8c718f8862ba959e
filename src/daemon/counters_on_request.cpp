// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/counters_on_request.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "base/detached_thread.h"
#include "base/messages.h"
#include "base/monotonic_clock.h"
#include "base/settings.h"
#include "clients/client_registry.h"
#include "relay/serial_port.h"

size_t format_client(char *out, const client_view &c, long long now_ms)
{
    char address[address_text_capacity];
    address_text(c.peer, address);
    long long up_ms = now_ms - c.connected_ms;
    int length = snprintf(out, client_line_capacity,
                          "client: address=%s port=%u up_s=%lld sent_bytes=%" PRIu64 " drop_texts=%" PRIu64
                          " may_write=%d discarded_bytes=%" PRIu64 "\n",
                          address, static_cast<unsigned>(c.port), up_ms > 0 ? up_ms / 1000 : 0, c.sent_bytes,
                          c.drop_texts, c.may_write ? 1 : 0, c.discarded_bytes);
    return length > 0 && static_cast<size_t>(length) < client_line_capacity ? static_cast<size_t>(length) : 0;
}

static counters_snapshot take_snapshot()
{
    const auto read = [](const counter &c) { return c.load(std::memory_order_relaxed); };
    int device = counters.device.load(std::memory_order_relaxed);
    counters_snapshot v;
    v.up_s = (monotonic_ms() - counters.started_ms) / 1000;
    v.udp_in = read(counters.udp_in);
    v.serial_in = read(counters.serial_in);
    v.bcast_failed = read(counters.bcast_failed);
    v.clients = read(counters.clients);
    v.clients_max = read(counters.clients_max);
    v.clients_refused = read(counters.clients_refused);
    v.clients_cut = read(counters.clients_cut);
    v.drop_clients = read(counters.drop_clients);
    v.drop_device = read(counters.drop_device);
    v.drop_progress = read(counters.drop_progress);
    v.device_state = !settings.use_serial ? "unused" : ttyfd.load() > 0 ? "open" : "closed";
    v.device_name = device >= 0 && static_cast<size_t>(device) < device_count ? device_list[device] : "-";
    v.device_opened = read(counters.device_opened);
    v.device_lost = read(counters.device_lost);
    v.reports = read(counters.reports);
    v.reports_failed = read(counters.reports_failed);
    v.drop_fragments = read(counters.drop_fragments);
    v.client_bytes_discarded = read(counters.client_bytes_discarded);
    v.clock_samples = read(counters.clock_samples);
    v.clock_missed = read(counters.clock_missed);
    v.clock_refused = read(counters.clock_refused);
    v.filtered_udp = read(counters.filtered[output_udp]);
    v.filtered_tcp = read(counters.filtered[output_tcp]);
    v.filtered_serial = read(counters.filtered[output_serial]);
    v.filtered_reports = read(counters.filtered[output_reports]);
    return v;
}

static sigset_t report_signal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

void counters_start()
{
    counters.started_ms = monotonic_ms();
    sigset_t set = report_signal();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Waits for SIGUSR1 and says the line. Formatting happens here, never in a
// signal handler; a line that cannot be said at once (an unread standard
// error or log) holds up this thread alone, and signals that come meanwhile
// merge into one.
static void *counters_reporter(void *)
{
    sigset_t set = report_signal();
    for (;;) {
        int signal_number;
        if (sigwait(&set, &signal_number) != 0)
            continue;
        // Both taken before anything is said: one moment's figures.
        counters_snapshot totals = take_snapshot();
        static client_view clients[max_clients]; // this thread's alone
        size_t count = registry_snapshot(clients);
        long long now = monotonic_ms();
        char line[counters_line_capacity];
        // Each waits its turn here rather than be lost: a hundred client
        // lines outgrow any queue.
        if (format_counters(line, totals) > 0)
            notice_in_turn(line);
        for (size_t n = 0; n < count; n++)
            if (format_client(line, clients[n], now) > 0)
                notice_in_turn(line);
    }
    return nullptr;
}

bool counters_listen()
{
    return start_detached_thread(counters_reporter, nullptr, 64 * 1024);
}

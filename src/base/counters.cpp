// SPDX-License-Identifier: BSD-2-Clause
#include "base/counters.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <sys/socket.h>

counters_record counters = {0, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {-1}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {{0}, {0}, {0}, {0}}};

void count_client_end(int error)
{
    if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT)
        count_shared(counters.clients_cut);
}

int socket_error(int socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : 0;
}

size_t format_counters(char *out, const counters_snapshot &v)
{
    int length = snprintf(out, counters_line_capacity,
                          "counters: up_s=%lld udp_in=%" PRIu64 " serial_in=%" PRIu64 " bcast_failed=%" PRIu64
                          " clients=%" PRIu64 " clients_max=%" PRIu64 " clients_refused=%" PRIu64
                          " clients_cut=%" PRIu64 " drop_clients=%" PRIu64 " drop_device=%" PRIu64
                          " drop_progress=%" PRIu64 " device=%s device_name=%s device_opened=%" PRIu64
                          " device_lost=%" PRIu64 " reports=%" PRIu64 " reports_failed=%" PRIu64
                          " drop_fragments=%" PRIu64 " client_bytes_discarded=%" PRIu64 " clock_samples=%" PRIu64
                          " clock_missed=%" PRIu64 " clock_refused=%" PRIu64 " filtered_udp=%" PRIu64
                          " filtered_tcp=%" PRIu64 " filtered_serial=%" PRIu64 " filtered_reports=%" PRIu64 "\n",
                          v.up_s, v.udp_in, v.serial_in, v.bcast_failed, v.clients, v.clients_max,
                          v.clients_refused, v.clients_cut, v.drop_clients, v.drop_device, v.drop_progress,
                          v.device_state, v.device_name, v.device_opened, v.device_lost, v.reports,
                          v.reports_failed, v.drop_fragments, v.client_bytes_discarded, v.clock_samples,
                          v.clock_missed, v.clock_refused, v.filtered_udp, v.filtered_tcp, v.filtered_serial,
                          v.filtered_reports);
    // The device names are short and fixed: the line always fits.
    return length > 0 && static_cast<size_t>(length) < counters_line_capacity ? static_cast<size_t>(length) : 0;
}

// SPDX-License-Identifier: BSD-2-Clause
// gpsfanout: relays NMEA 0183 sentences from a GPS receiver and a UDP port
// to broadcast, TCP clients and back to the receiver.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/counters.h"
#include "app/messages.h"
#include "app/settings.h"
#include "clients/tcp_listener.h"
#include "relay/relay_loop.h"

int main(int argc, char **argv)
{
    parse_command_line(argc, argv);
    // Before any thread: SIGUSR1 asks for the counters, and is taken by a
    // thread of its own instead of ending the process.
    counters_start();

    if (settings.daemon_mode) {
        if (daemon(0, 0) != 0) {
            perror("Failed to daemonize");
            exit(-1);
        }
        setbuf(stdout, nullptr);
    }
    messages_start();
    counters_listen();

    // Other programs read the report files: their mode must not depend on
    // the umask of whoever started the daemon.
    umask(022);

    // A write to a departed client must return an error to its writer, not
    // end the process.
    signal(SIGPIPE, SIG_IGN);

    pthread_t listener, relay;
    if (pthread_create(&listener, nullptr, listener_thread, nullptr) != 0)
        complain_errno("Unable to start the TCP listener");
    if (pthread_create(&relay, nullptr, relay_thread, nullptr) != 0) {
        complain_errno("Unable to start the relay");
        messages_flush_failures(); // what was said before it, then this
        return 1;
    }
    // The relay never ends. This thread is left the one job that may wait
    // for a terminal or a log nobody reads: writing the failures.
    messages_serve_failures();
}

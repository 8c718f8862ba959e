// SPDX-License-Identifier: BSD-2-Clause
// gpsfanout: relays NMEA 0183 sentences from a GPS receiver and a UDP port
// to broadcast, TCP clients and back to the receiver.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/detached_thread.h"
#include "base/messages.h"
#include "base/settings.h"
#include "clients/tcp_listener.h"
#include "daemon/counters_on_request.h"
#include "relay/relay_loop.h"
#include "relay/serial_output.h"

// Every thread started here is one the daemon cannot do without: run on
// without it, it would look well to its supervisor while it relayed, served
// or said nothing. So one that cannot start ends the process, saying which.
static void start_or_end(const char *name, bool started)
{
    if (started)
        return;
    complain_errno("Unable to start the %s", name);
    messages_exit(1);
}

// SIGINT, SIGTERM and SIGHUP end the daemon, whatever it inherited: a
// shell leaves SIGINT ignored in what a script starts in the background,
// nohup leaves SIGHUP ignored, and a supervisor may leave any of them
// blocked. Kept through a hang-up, the daemon is detached (-d) instead.
static void end_on_signals()
{
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        signal(signal_number, SIG_DFL);
        sigaddset(&ending, signal_number);
    }
    sigprocmask(SIG_UNBLOCK, &ending, nullptr);
}

int main(int argc, char **argv)
{
    end_on_signals();
    // Before anything else, while the process has one thread: SIGUSR1 asks
    // for the counters, and one that comes while the command line is read
    // must not end the process. Every later thread inherits the block.
    counters_start();
    parse_command_line(argc, argv);

    if (settings.daemon_mode) {
        if (daemon(0, 0) != 0) {
            perror("Failed to daemonize");
            exit(-1);
        }
        setbuf(stdout, nullptr);
    }
    start_or_end("progress writer", messages_start());
    start_or_end("counters thread", counters_listen());

    // Other programs read the report files: their mode must not depend on
    // the umask of whoever started the daemon.
    umask(022);

    // A write to a departed client must return an error to its writer, not
    // end the process.
    signal(SIGPIPE, SIG_IGN);

    // Here rather than on the relay, so that every start that fails is
    // judged on this thread, which writes the failures before it ends.
    if (settings.use_serial)
        start_or_end("serial writer", serial_output_start());
    // Nothing ever waits for these two: they run for the life of the process.
    start_or_end("TCP listener", start_detached_thread(listener_thread, nullptr, 0));
    start_or_end("relay", start_detached_thread(relay_thread, nullptr, 0));
    // The relay never ends. This thread is left the one job that may wait
    // for a terminal or a log nobody reads: writing the failures.
    messages_serve_failures();
}

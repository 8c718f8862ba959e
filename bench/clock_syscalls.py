#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Counts what -c costs the serial receiver's lines: every system call of
every thread of the daemon (perf's raw_syscalls tracepoint) while a pty
plays the receiver at a paced rate, one valid RMC a second among other
sentences, without -c, with a shared-memory unit (-c 2) and with a SOCK
socket (-c PATH, bound here and read). Runs in private mount, network, IPC
and PID namespaces made here, with a private /dev, as the system tests do.

    sudo python3 bench/clock_syscalls.py [--build build] [--rate 1000] [--seconds 10] [--runs 3]
"""
import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


def sentence(body):
    total = 0
    for c in body:
        total ^= ord(c)
    return ("$%s*%02X\r\n" % (body, total)).encode()


def lines_of_second(second, rate):
    """The RMC naming `second` first, then rate - 1 other sentences that tell no time."""
    t = time.gmtime(second)
    rmc = sentence("GPRMC,%02d%02d%02d.00,A,4807.038,N,01131.000,E,022.4,084.4,%02d%02d%02d,003.1,W,A" %
                   (t.tm_hour, t.tm_min, t.tm_sec, t.tm_mday, t.tm_mon, t.tm_year % 100))
    others = [sentence("GPGGA,%02d%02d%02d.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,," %
                       (t.tm_hour, t.tm_min, t.tm_sec)),
              sentence("GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00"),
              sentence("GPVTG,084.4,T,,M,022.4,N,041.5,K,A")]
    return [rmc] + [others[n % len(others)] for n in range(rate - 1)]


def private_dev():
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/dev"], check=True)
    for name, major, minor in (("null", 1, 3), ("zero", 1, 5), ("urandom", 1, 9)):
        os.mknod("/dev/" + name, 0o666 | 0o020000, os.makedev(major, minor))
        os.chmod("/dev/" + name, 0o666)
    os.mkdir("/dev/pts")
    subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666", "devpts", "/dev/pts"], check=True)
    os.symlink("pts/ptmx", "/dev/ptmx")
    for command in ("ip link set lo up", "ip link add v0 type veth peer name v1",
                    "ip addr add 198.51.100.1/24 brd + dev v0", "ip link set v0 up", "ip link set v1 up"):
        subprocess.run(command.split(), check=True)


def one_run(daemon, clock, rate, seconds):
    """Returns (system calls, lines written, samples the clock took)."""
    for unit in ("0x4e545032",):
        subprocess.run(["ipcrm", "-M", unit], stderr=subprocess.DEVNULL)
    master, slave = os.openpty()
    if os.path.lexists("/dev/GPS"):
        os.unlink("/dev/GPS")
    os.symlink(os.ttyname(slave), "/dev/GPS")
    listener = None
    args = [daemon, "-s"]
    if clock == "shm":
        args += ["-c", "2"]
    elif clock == "sock":
        if os.path.exists("/tmp/clock.sock"):
            os.unlink("/tmp/clock.sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        listener.bind("/tmp/clock.sock")
        listener.setblocking(False)
        args += ["-c", "/tmp/clock.sock"]
    err = open("/tmp/daemon.err", "w+")
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
    time.sleep(1.0)  # opened the device at start
    summary = "/tmp/perf.txt"
    perf = subprocess.Popen(["perf", "stat", "-e", "raw_syscalls:sys_enter", "-x", ",", "-o", summary, "-p",
                             str(process.pid)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    written = 0
    start = int(time.time()) + 1
    for second in range(start, start + seconds):
        lines = lines_of_second(second, rate)
        # The RMC at the second's quarter, the others spread over the rest.
        for n, line in enumerate(lines):
            due = second + 0.25 + n * 0.7 / len(lines)
            pause = due - time.time()
            if pause > 0:
                time.sleep(pause)
            os.write(master, line)
            written += 1
    time.sleep(0.5)
    perf.send_signal(signal.SIGINT)
    perf.wait(30)
    calls = None
    with open(summary) as f:
        for line in f:
            if "raw_syscalls:sys_enter" in line:
                calls = int(line.split(",")[0])
    process.send_signal(signal.SIGUSR1)
    counters = ""
    for _ in range(100):
        err.seek(0)
        found = re.search(r"^counters: .*$", err.read(), re.M)
        if found:
            counters = found.group(0)
            break
        time.sleep(0.05)
    process.kill()
    process.wait()
    taken = re.search(r"clock_samples=(\d+)", counters)
    taken = int(taken.group(1)) if taken else -1  # -1: a build without -c
    serial_in = int(re.search(r"serial_in=(\d+)", counters).group(1)) if counters else -1
    received = 0
    if listener is not None:
        while True:
            try:
                if len(listener.recv(64)) > 0:
                    received += 1
            except BlockingIOError:
                break
        listener.close()
    os.close(master)
    os.close(slave)
    return calls, written, serial_in, taken, received


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--rate", type=int, default=1000, help="lines a second, one of them a valid RMC")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--runs", type=int, default=3, help="runs of each configuration, alternated")
    parser.add_argument("--clocks", default="none,shm,sock",
                        help="which of none, shm and sock to run (none alone for a build without -c)")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if not options.inside:
        command = ["unshare", "--mount", "--net", "--ipc", "--pid", "--fork", "--mount-proc", sys.executable,
                   os.path.abspath(__file__), "--inside"] + sys.argv[1:]
        sys.exit(subprocess.run(command).returncode)
    private_dev()
    daemon = os.path.join(os.path.abspath(options.build), "gpsfanout")
    clocks = options.clocks.split(",")
    results = {clock: [] for clock in clocks}
    for run in range(options.runs):
        for clock in clocks:
            calls, written, relayed, taken, received = one_run(daemon, clock, options.rate, options.seconds)
            results[clock].append(calls / written)
            print("run %d %-4s: %d lines written, %d relayed, %d calls, %.3f a line, samples taken %d, "
                  "datagrams received %d, load %s" % (run + 1, clock, written, relayed, calls, calls / written,
                                                      taken, received, open("/proc/loadavg").read().split()[0]),
                  flush=True)
    base = statistics.median(results["none"]) if "none" in results else 0
    for clock in clocks:
        values = results[clock]
        print("%-4s: system calls a line: median %.4f (%.4f to %.4f); against none: %+.4f a line, %+.2f a second" %
              (clock, statistics.median(values), min(values), max(values), statistics.median(values) - base,
               (statistics.median(values) - base) * options.rate))


if __name__ == "__main__":
    main()

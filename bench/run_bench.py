#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Runs gpsfanout and gpsd side by side under the same load and prints one
table of their figures and the ratio gpsfanout/gpsd.

Everything runs inside private network, mount and PID namespaces made here
(root, or unprivileged user namespaces): loopback plus one veth interface
whose peer sits in a namespace of its own, like a device's single Ethernet
port, and a tmpfs on /tmp for gpsfanout's report files. No traffic leaves
these namespaces, and every process started here ends with them.

    sudo python3 bench/run_bench.py [--quick] [--build build-bench]
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)

GPSFANOUT_PORTS = {"udp": 10101, "broadcast": 11101, "tcp": 11102}
IPV6_CLIENTS = False  # --ipv6-clients: the load's clients connect to ::1
GPSD_PORT = 2947
MAX_SEARCH_RATE = 256000


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build-bench"),
                        help="build directory holding gpsfanout and bench/gpsfanout-load")
    parser.add_argument("--quick", action="store_true", help="one run each, short runs: a smoke test of the setup")
    parser.add_argument("--runs", type=int, help="runs of each figure (medians are taken); default 3, quick 1")
    parser.add_argument("--clients", default="1,10,64,100", help="client counts, comma-separated")
    parser.add_argument("--rates", default="100,1000", help="paced rates in lines per second, comma-separated")
    parser.add_argument("--idle", type=float, help="seconds without traffic to watch after each paced run "
                        "at the first rate (default 10, quick 3)")
    parser.add_argument("--no-search", action="store_true", help="skip the search for the highest rate without loss")
    parser.add_argument("--no-gpsd", action="store_true", help="measure gpsfanout alone")
    parser.add_argument("--daemon-args", default="", help="extra options for gpsfanout (e.g. -d is not allowed: "
                        "the process must stay the one started here)")
    parser.add_argument("--no-syscalls", action="store_true", help="skip counting system calls per line "
                        "(a run of its own at 1000 lines/s for each client count, counted by perf's "
                        "raw_syscalls tracepoint, or by strace where perf cannot)")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=BUILD[:ARGS]",
                        help="one more gpsfanout to measure in the same sitting, run by run in turn with the "
                        "others: the daemon of build BUILD with the extra options ARGS (e.g. before=build-before "
                        "or filtered=build-bench:-f udp=-GPGSV); repeatable")
    parser.add_argument("--seconds", type=float, help="length of each paced run at 1000 lines/s and above "
                        "(default 5, quick 2): longer runs count CPU time in finer steps")
    parser.add_argument("--ipv6-clients", action="store_true", help="clients connect to ::1 instead of 127.0.0.1")
    parser.add_argument("--raw", help="also append every run's JSON to this file")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args()


def enter_namespaces():
    """Re-runs this script inside fresh namespaces; returns its exit status."""
    base = ["--net", "--mount", "--pid", "--fork", "--mount-proc", "--propagation", "private"]
    if os.geteuid() != 0:
        base = ["--user", "--map-root-user"] + base
    command = ["unshare"] + base + [sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:]
    return subprocess.call(command)


def run_quiet(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def set_up_namespace():
    run_quiet("mount", "-t", "tmpfs", "tmpfs", "/tmp")
    run_quiet("ip", "link", "set", "lo", "up")
    run_quiet("ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1")
    # The peer end goes to a namespace of its own, held by a sleeping
    # process, so that this namespace has one Ethernet-like interface.
    peer = subprocess.Popen(["unshare", "--net", "sleep", "100000"])
    for _ in range(100):
        if os.readlink(f"/proc/{peer.pid}/ns/net") != os.readlink("/proc/self/ns/net"):
            break
        time.sleep(0.01)
    run_quiet("ip", "link", "set", "v1", "netns", str(peer.pid))
    run_quiet("ip", "addr", "add", "198.51.100.1/24", "brd", "+", "dev", "v0")
    run_quiet("ip", "link", "set", "v0", "up")
    return peer


def listening(tcp_port, udp_port):
    """True once a TCP listener and a UDP socket hold the two ports."""
    def ports(kind, state):
        # A dual-stack socket shows in the IPv6 table alone.
        found = set()
        for table in (f"/proc/net/{kind}", f"/proc/net/{kind}6"):
            if not os.path.exists(table):
                continue
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if state is None or fields[3] == state:
                        found.add(int(fields[1].split(":")[1], 16))
        return found
    return tcp_port in ports("tcp", "0A") and udp_port in ports("udp", None)


class Daemon:
    def __init__(self, name, command, tcp_port, watch):
        self.name, self.command, self.tcp_port, self.watch = name, command, tcp_port, watch
        self.process = None

    def start(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not listening(self.tcp_port, GPSFANOUT_PORTS["udp"]):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError(f"{self.name} did not start: {' '.join(self.command)}")
            time.sleep(0.02)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def make_daemons(arguments):
    build = os.path.abspath(arguments.build)
    gpsfanout = os.path.join(build, "gpsfanout")
    daemons = [Daemon("gpsfanout", [gpsfanout] + arguments.daemon_args.split() +
                      ["-i", str(GPSFANOUT_PORTS["udp"]), "-o", str(GPSFANOUT_PORTS["broadcast"]),
                       "-t", str(GPSFANOUT_PORTS["tcp"])], GPSFANOUT_PORTS["tcp"], False)]
    for also in arguments.also:
        name, _, rest = also.partition("=")
        other, _, extra = rest.partition(":")
        daemons.append(Daemon(name, [os.path.join(os.path.abspath(other), "gpsfanout")] + extra.split() +
                              ["-i", str(GPSFANOUT_PORTS["udp"]), "-o", str(GPSFANOUT_PORTS["broadcast"]),
                               "-t", str(GPSFANOUT_PORTS["tcp"])], GPSFANOUT_PORTS["tcp"], False))
    if not arguments.no_gpsd:
        gpsd = subprocess.run(["sh", "-c", "command -v gpsd || ls /usr/sbin/gpsd"], capture_output=True, text=True)
        path = gpsd.stdout.strip().splitlines()[0] if gpsd.returncode == 0 and gpsd.stdout.strip() else None
        if path is None:
            print("gpsd is not installed (apt-get install gpsd): measuring gpsfanout alone", file=sys.stderr)
        else:
            daemons.append(Daemon("gpsd", [path, "-N", "-n", "-S", str(GPSD_PORT),
                                           f"udp://127.0.0.1:{GPSFANOUT_PORTS['udp']}"], GPSD_PORT, True))
    return os.path.join(build, "bench", "gpsfanout-load"), daemons


def syscall_counter(pid, summary):
    """Counts every system call of every thread of the process from now on.
    perf's raw_syscalls tracepoint costs the daemon almost nothing; strace,
    the fallback, stops it at every call, so that it falls behind and takes
    more lines per call than it would untraced."""
    if subprocess.run(["sh", "-c", "command -v perf"], capture_output=True).returncode == 0:
        probe = subprocess.run(["perf", "stat", "-e", "raw_syscalls:sys_enter", "-x", ",", "true"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and "raw_syscalls:sys_enter" in probe.stderr and "<not" not in probe.stderr:
            return "perf", subprocess.Popen(["perf", "stat", "-e", "raw_syscalls:sys_enter", "-x", ",", "-o",
                                             summary, "-p", str(pid)],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if subprocess.run(["sh", "-c", "command -v strace"], capture_output=True).returncode != 0:
        return "nothing (install linux-perf or strace)", None
    return "strace", subprocess.Popen(["strace", "-f", "-c", "-qq", "-o", summary, "-p", str(pid)],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def syscall_total(kind, path):
    """The count in perf stat's CSV line, or on the "total" line of strace -c."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        for line in f:
            if kind == "perf" and "raw_syscalls:sys_enter" in line:
                return int(line.split(",")[0])
            fields = line.split()
            if kind == "strace" and fields and fields[-1] == "total":
                return int(fields[3])
    return None


def run_load(tool, daemon, clients, rate, seconds, idle, raw, drain=10, trace=False):
    """One run of the load tool against a fresh daemon. With `trace`, every
    system call of every thread of the daemon is counted while the load runs,
    and the run's figures are only that count: counting may slow the daemon,
    so its time figures would not mean the same."""
    daemon.start()
    tracer, kind = None, None
    summary = f"/tmp/syscalls-{daemon.name}-{clients}.txt"
    try:
        if trace:
            kind, tracer = syscall_counter(daemon.process.pid, summary)
            time.sleep(0.5)  # attached to every thread before the first line
        command = [tool, "--pid", str(daemon.process.pid), "--udp-port", str(GPSFANOUT_PORTS["udp"]),
                   "--tcp-port", str(daemon.tcp_port), "--clients", str(clients), "--rate", str(rate),
                   "--seconds", str(seconds), "--idle", str(idle), "--drain", str(drain)]
        if daemon.watch:
            command.append("--watch")
        if IPV6_CLIENTS:
            command.append("--ipv6")
        result = subprocess.run(command, capture_output=True, text=True, timeout=seconds + idle + drain + 60)
    finally:
        if tracer is not None:
            tracer.send_signal(2)
            tracer.wait(30)
        daemon.stop()
    if result.returncode != 0 or not result.stdout.strip():
        raise RuntimeError(f"load tool failed for {daemon.name}: {result.stderr.strip()}")
    figures = json.loads(result.stdout)
    figures.update(daemon=daemon.name, run_seconds=seconds)
    if trace:
        calls = syscall_total(kind, summary) if tracer is not None else None
        # The warm-up lines before the measured ones are a few dozen: within
        # a per cent of the count at 5000 lines.
        traced = {"syscalls_per_line": calls / figures["lines"] if calls and figures["lines"] else None,
                  "syscalls_counted_by": kind}
        figures = dict(daemon=daemon.name, clients=clients, **traced)
    if raw:
        with open(raw, "a") as f:
            f.write(json.dumps(figures) + "\n")
    return figures


def loss_free(figures):
    return (figures["lost"] == 0 and figures["served"] == figures["clients"] and figures["corrupt"] == 0
            and figures["rate_sent"] >= 0.95 * figures["rate_target"])


def search_rate(tool, daemon, clients, steps, seconds, raw):
    """The highest rate at which every client gets every line: doubling from
    4000 lines/s until a run loses lines, then halving the gap `steps` times.
    None when the daemon does not serve all the clients at all."""
    # Lines still coming in 3 s after the last was sent mean that the rate is
    # past what the clients (or the load tool reading for them) keep up with.
    def passes(rate):
        figures = run_load(tool, daemon, clients, rate, seconds, 0, raw, drain=3)
        return loss_free(figures), figures["rate_sent"], figures["served"]

    good, bad = 0.0, None
    rate = 4000
    while rate <= MAX_SEARCH_RATE:
        ok, sent, served = passes(rate)
        if served < clients:
            return None
        if not ok:
            bad = rate
            break
        good = sent
        rate *= 2
    if bad is None:
        return good
    low = good
    for _ in range(steps):
        middle = (low + bad) / 2 if low > 0 else bad / 2
        if middle < 50:
            break
        ok, sent, _ = passes(round(middle))
        if ok:
            low = sent
        else:
            bad = middle
    return low


FIGURES = [
    # key, heading, format
    ("served", "clients served", "{:.0f}"),
    ("lost", "lost lines", "{:.0f}"),
    ("clients_with_loss", "clients w/ loss", "{:.0f}"),
    ("p50_ms", "p50 ms", "{:.3f}"),
    ("p99_ms", "p99 ms", "{:.3f}"),
    ("max_ms", "max ms", "{:.2f}"),
    ("cpu_per_1000_lines_s", "CPU s/1000 lines", "{:.4f}"),
    ("peak_rss_kb", "peak RSS kB", "{:.0f}"),
    ("threads", "threads", "{:.0f}"),
    ("syscalls_per_line", "system calls/line", "{:.1f}"),
]
IDLE_FIGURES = [
    ("idle_cpu_s", "idle CPU s/10 s", "{:.3f}"),
    ("idle_context_switches", "idle ctx sw/10 s", "{:.0f}"),
]


def median_of(runs, key):
    values = [run[key] for run in runs if key in run]
    return statistics.median(values) if values else None


def ratio_text(ours, theirs):
    if ours is None or theirs is None:
        return "–"
    if theirs == 0:
        return "=" if ours == 0 else "∞"
    return f"{ours / theirs:.2f}"


def value_text(value, form):
    return "–" if value is None else form.format(value)


def print_table(results, searched, daemons, idle_seconds):
    names = [d.name for d in daemons]
    both = len(names) == 2
    header = ["K", "lines/s", "figure"] + names + (["ratio"] if both else [])
    rows = []
    for (clients, rate), by_daemon in results.items():
        figures = FIGURES + (IDLE_FIGURES if any("idle_cpu_s" in r for runs in by_daemon.values() for r in runs) else [])
        for key, heading, form in figures:
            values = [median_of(by_daemon.get(name, []), key) for name in names]
            if key.startswith("idle_") and idle_seconds and idle_seconds != 10:
                values = [None if v is None else v * 10 / idle_seconds for v in values]
            row = [str(clients), str(rate), heading] + [value_text(v, form) for v in values]
            if both:
                row.append(ratio_text(*values))
            rows.append(row)
    for clients, by_daemon in searched.items():
        values = []
        for name in names:
            found = [rate for rate in by_daemon.get(name, []) if rate is not None]
            values.append(statistics.median(found) if found else None)
        row = [str(clients), "max", "loss-free lines/s"] + [value_text(v, "{:.0f}") for v in values]
        if both:
            row.append(ratio_text(*values))
        rows.append(row)
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def machine_line():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (f"{datetime.date.today().isoformat()}, {os.cpu_count()} cores, {model}, "
            f"Linux {platform.release()}")


def main():
    global IPV6_CLIENTS
    arguments = parse_arguments()
    IPV6_CLIENTS = arguments.ipv6_clients
    if not arguments.inside:
        return enter_namespaces()
    runs = arguments.runs or (1 if arguments.quick else 3)
    idle = arguments.idle if arguments.idle is not None else (3 if arguments.quick else 10)
    clients_list = [int(k) for k in arguments.clients.split(",")]
    rates = [int(r) for r in arguments.rates.split(",")]
    peer = set_up_namespace()
    tool, daemons = make_daemons(arguments)
    started = time.monotonic()
    results, searched = {}, {}
    try:
        for clients in clients_list:
            for rate in rates:
                seconds = (3 if arguments.quick else 6) if rate < 1000 else (
                    arguments.seconds or (2 if arguments.quick else 5))
                by_daemon = results.setdefault((clients, rate), {})
                for run in range(runs):
                    # Alternate which daemon goes first, so neither always
                    # meets the machine warmer or busier.
                    order = daemons if run % 2 == 0 else daemons[::-1]
                    for daemon in order:
                        # The quiet stretch is watched once per daemon and
                        # client count: it is the same every time.
                        figures = run_load(tool, daemon, clients, rate, seconds,
                                           idle if rate == rates[0] and run == 0 else 0, arguments.raw)
                        by_daemon.setdefault(daemon.name, []).append(figures)
                        print(f"[{time.monotonic() - started:6.0f} s] K={clients} {rate}/s {daemon.name}: "
                              f"lost {figures['lost']}, p99 {figures['p99_ms']:.3f} ms, "
                              f"CPU/1000 {figures.get('cpu_per_1000_lines_s', float('nan')):.4f} s",
                              file=sys.stderr, flush=True)
            if not arguments.no_syscalls and 1000 in rates:
                # Counts that do not move from run to run: one traced run each.
                by_daemon = results.setdefault((clients, 1000), {})
                for daemon in daemons:
                    figures = run_load(tool, daemon, clients, 1000, 5, 0, arguments.raw, trace=True)
                    by_daemon.setdefault(daemon.name, []).append(figures)
                    count = figures["syscalls_per_line"]
                    shown = "–" if count is None else f"{count:.2f}"
                    print(f"[{time.monotonic() - started:6.0f} s] K={clients} {daemon.name}: "
                          f"{shown} system calls per line (counted by {figures['syscalls_counted_by']})",
                          file=sys.stderr, flush=True)
            if not arguments.no_search:
                by_daemon = searched.setdefault(clients, {})
                for run in range(runs):
                    order = daemons if run % 2 == 0 else daemons[::-1]
                    for daemon in order:
                        # Finer at 10 clients, the count the target is set for.
                        steps = 1 if arguments.quick or clients != 10 else 2
                        best = search_rate(tool, daemon, clients, steps, 1, arguments.raw)
                        by_daemon.setdefault(daemon.name, []).append(best)
                        shown = "none (not every client served)" if best is None else f"{best:.0f} lines/s"
                        print(f"[{time.monotonic() - started:6.0f} s] K={clients} {daemon.name}: "
                              f"highest loss-free rate {shown}", file=sys.stderr, flush=True)
    finally:
        peer.terminate()
        peer.wait()
    print(f"Machine: {machine_line()}; {runs} run(s) each, medians; "
          f"{time.monotonic() - started:.0f} s in all.")
    print()
    print_table(results, searched, daemons, idle)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Samples /proc for a set of processes over a window and prints what they cost.

usage: procstat.py SECONDS NAME=PID [NAME=PID ...] [+NAME=PID ...]

A "+" before a name measures that process beside the others, outside the tree.

Per process: CPU % of one core, RSS at the end, context switches per second
over all threads (voluntary + involuntary, the wakeups), the main thread's
share, and the thread count. The last row sums all of them.

CPU is the time on CPU of every thread in nanoseconds (task schedstat), plus
the children the process has reaped (cutime + cstime, in clock ticks): a
program the daemon runs counts as the daemon's. /proc's own utime + stime come
in 10 ms ticks, too coarse for a few milliseconds a minute. Threads that end
inside the window take their time and switches with them.
"""
import os
import sys
import time

TICKS = os.sysconf("SC_CLK_TCK")


def status_fields(path):
    fields = {}
    try:
        with open(path) as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
    except OSError:
        pass
    return fields


def switches(path):
    fields = status_fields(path)
    return int(fields.get("voluntary_ctxt_switches", 0)) + int(fields.get("nonvoluntary_ctxt_switches", 0))


def on_cpu_ns(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 0


def snapshot(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            # the command name may hold blanks: fields after the closing parenthesis
            rest = f.read().rsplit(")", 1)[1].split()
        children_ns = (int(rest[13]) + int(rest[14])) * 1_000_000_000 // TICKS
    except OSError:
        return None
    tasks = 0
    cpu_ns = children_ns
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            tasks += switches(f"/proc/{pid}/task/{tid}/status")
            cpu_ns += on_cpu_ns(f"/proc/{pid}/task/{tid}/schedstat")
    except OSError:
        pass
    status = status_fields(f"/proc/{pid}/status")
    return {
        "cpu_ns": cpu_ns,
        "switches": tasks,
        "main": switches(f"/proc/{pid}/task/{pid}/status"),
        "rss_kib": int(status.get("VmRSS", "0 kB").split()[0]),
        "threads": int(status.get("Threads", "0")),
        "time": time.monotonic(),
    }


def measure(seconds, processes):
    before = {name: snapshot(pid) for name, pid in processes}
    time.sleep(seconds)
    after = {name: snapshot(pid) for name, pid in processes}
    rows = []
    for name, pid in processes:
        a, b = before[name], after[name]
        if not a or not b:
            rows.append((name, pid, None))
            continue
        elapsed = b["time"] - a["time"]
        rows.append((name, pid, {
            "cpu_pct": 100.0 * (b["cpu_ns"] - a["cpu_ns"]) / 1e9 / elapsed,
            "rss_mib": b["rss_kib"] / 1024.0,
            "wakeups": (b["switches"] - a["switches"]) / elapsed,
            "main_wakeups": (b["main"] - a["main"]) / elapsed,
            "threads": b["threads"],
        }))
    return rows


def print_rows(rows, seconds):
    print(f"idle window: {seconds:g} s")
    print(f"{'process':<10} {'pid':>7} {'CPU %':>7} {'RSS MiB':>8} {'wakeups/s':>10} {'main/s':>8} {'threads':>8}")
    total = {"cpu_pct": 0.0, "rss_mib": 0.0, "wakeups": 0.0, "main_wakeups": 0.0, "threads": 0}
    for name, pid, row in rows:
        if row is None:
            print(f"{name:<10} {pid:>7}  (gone)")
            continue
        if not name.startswith("+"):
            for key in total:
                total[key] += row[key]
        print(f"{name:<10} {pid:>7} {row['cpu_pct']:>7.3f} {row['rss_mib']:>8.1f} {row['wakeups']:>10.1f}"
              f" {row['main_wakeups']:>8.1f} {row['threads']:>8}")
    print(f"{'tree':<10} {'':>7} {total['cpu_pct']:>7.3f} {total['rss_mib']:>8.1f} {total['wakeups']:>10.1f}"
          f" {total['main_wakeups']:>8.1f} {total['threads']:>8}")


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    seconds = float(argv[1])
    processes = []
    for item in argv[2:]:
        name, _, pid = item.partition("=")
        processes.append((name, int(pid)))
    print_rows(measure(seconds, processes), seconds)


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/python3
"""Prints the bench table from the result lines bench/run collected: one line
per measurement, "case=<name> run=<n> result key=value ...". Every figure is
the median over the runs.

    table.py RESULTS [BASELINE]

BASELINE is the case the tessvane cases are divided by (default "filter";
"filter1rt" when tessvane itself runs with the one-round-trip flags)."""

import statistics
import sys

CASES = [
    ("filter", "do-nothing filter"),
    ("filter1rt", "do-nothing filter, one round trip"),
    ("warm", "tessvane, warm cache (100 domains)"),
    ("cold", "tessvane, cold (new domain per message)"),
    ("delayed", "tessvane, cold, DNS answers +20 ms"),
]
TESSVANE = ("warm", "cold", "delayed")


def read(path):
    cells = {}
    with open(path) as handle:
        for line in handle:
            fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
            key = (fields["case"], int(fields["connections"]))
            cells.setdefault(key, []).append(fields)
    return cells


def median(cells, case, conns, field):
    runs = cells.get((case, conns))
    if not runs:
        return None
    return statistics.median(float(r[field]) for r in runs)


def median_of(cells, case, conns, field):
    """Like median, for a field that only some lines carry."""
    values = [float(r[field]) for r in cells.get((case, conns), []) if field in r]
    return statistics.median(values) if values else None


def faults(cells):
    """Cells where not every message was accepted with one inserted header."""
    out = []
    for (case, conns), runs in sorted(cells.items()):
        for r in runs:
            if r["accepted"] != r["messages"] or r["inserted"] != r["messages"]:
                out.append("%s at %d: %s messages, %s accepted, %s headers inserted"
                           % (case, conns, r["messages"], r["accepted"], r["inserted"]))
    return out


def main():
    cells = read(sys.argv[1])
    baseline = sys.argv[2] if len(sys.argv) > 2 else "filter"
    columns = sorted({conns for _, conns in cells})
    rows = []

    def row(label, values):
        rows.append([label] + ["" if v is None else v for v in values])

    def fmt(value, form):
        return None if value is None else format(value, form)

    for case, label in CASES:
        row(label + ", msgs/s",
            [fmt(median(cells, case, c, "msgs_per_s"), ".0f") for c in columns])
        if case in TESSVANE:
            ratios = []
            for c in columns:
                base = median(cells, baseline, c, "msgs_per_s")
                value = median(cells, case, c, "msgs_per_s")
                ratios.append(None if not base or value is None else "%.2f" % (value / base))
            row("  ratio to %s" % dict(CASES).get(baseline, baseline), ratios)
    for field, label, form in (("p99_ms", "p99 latency, ms", ".2f"),
                               ("server_cpu_us_per_msg", "server CPU per message, us", ".0f")):
        row(label + ": filter / warm / cold / delayed",
            [" / ".join(fmt(median(cells, case, c, field), form) or "-"
                        for case in ("filter", "warm", "cold", "delayed")) for c in columns])
    row("p50 latency, ms: filter / warm",
        [" / ".join(fmt(median(cells, case, c, "p50_ms"), ".2f") or "-"
                    for case in ("filter", "warm")) for c in columns])
    row("load client CPU per message, us (warm)",
        [fmt(median(cells, "warm", c, "client_cpu_us_per_msg"), ".0f") for c in columns])
    row("DNS server CPU, % (cold)",
        [fmt(median(cells, "cold", c, "dns_cpu_pct"), ".1f") for c in columns])
    row("tessvane resident memory, kB (warm)",
        [fmt(median(cells, "warm", c, "server_rss_kb"), ".0f") for c in columns])
    row("round trips per message: filter / one round trip",
        [" / ".join(fmt(median(cells, case, c, "round_trips"), ".0f") or "-"
                    for case in ("filter", "filter1rt")) for c in columns])

    for event, label in (("all", "system calls"), ("read", "reads"), ("recvfrom", "recvfroms"),
                         ("sendto", "sends"), ("epoll_wait", "waits"),
                         ("context_switches", "context switches")):
        field = "sys_%s_per_msg" % event
        if any(field in r for runs in cells.values() for r in runs):
            row(label + " per message: filter / warm",
                [" / ".join(fmt(median_of(cells, case, c, field), ".1f") or "-"
                            for case in ("filter", "warm")) for c in columns])

    header = ["concurrent connections"] + [str(c) for c in columns]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        print("| " + " | ".join(str(v) for v in r) + " |")
    for fault in faults(cells):
        print("warning: " + fault)


if __name__ == "__main__":
    main()

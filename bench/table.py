#!/usr/bin/python3
"""Derives the ratios from bench/out/results.txt, prints the table, then every figure as
"name value unit" (the derived ones are appended to the results file as well).

    table.py RESULTS N ROUNDS          the table
    table.py --rounds ROUNDS RESULTS   the rounds' figures into one each: the median time,
                                       the largest memory and pump gap
    table.py --link RESULTS N          the real-link table (bench/run --rtt)
"""
import os
import platform
import re
import statistics
import sys
import time


def aggregate(rounds_path, results_path):
    values = {}
    units = {}
    with open(rounds_path) as f:
        for line in f:
            parts = line.split()
            m = re.fullmatch(r"(\w+?)_r\d+_(\w+)", parts[0]) if len(parts) == 3 else None
            if not m:
                continue
            name = f"{m.group(1)}_{m.group(2)}"
            values.setdefault(name, []).append(float(parts[1]))
            units[name] = parts[2]
    with open(results_path, "a") as out:
        for name, vs in values.items():
            if name.endswith("_max_at"):
                continue  # which gap it was differs per round
            if "rss" in name or "pump_gap" in name:
                v = max(vs)
            elif name.endswith("files_per_s"):
                continue  # derived from the median time below
            else:
                v = statistics.median(vs)
            line = f"{name} {fmt(v)} {units[name]}"
            prefix = name[:-2]
            if name.endswith("_s") and f"{prefix}_files" in values:
                n = values[f"{prefix}_files"][0]
                line += f"\n{prefix}_files_per_s {fmt(n / v)} files/s"
            print(line)
            out.write(line + "\n")


def read_figures(path):
    figures, units, order = {}, {}, []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3:
                try:
                    figures[parts[0]] = float(parts[1])
                except ValueError:
                    continue
                units[parts[0]] = parts[2]
                order.append(parts[0])
    return figures, units, order


def link_table(path, n):
    figures, units, order = read_figures(path)
    g = figures.get
    rtts = sorted(int(g(k)) for k in figures if re.fullmatch(r"rtt\d+_nominal_ms", k))
    derived = []

    def add(name, value, unit):
        figures[name] = value
        units[name] = unit
        derived.append(name)

    for r in rtts:
        p = f"rtt{r}"
        add(f"{p}_storage_vs_lftp", g(f"{p}_storage_files_per_s") / g(f"{p}_lftp_files_per_s"),
            "ratio")
    # The round trips a file waits for, from the time: the time a file takes beyond its time
    # on the plain loopback, over the round trip the probe measured.
    if 0 in rtts:
        for r in rtts:
            if r == 0:
                continue
            p = f"rtt{r}"
            link_ms = g(f"{p}_probe_connect_median_ms") - g("rtt0_probe_connect_median_ms")
            for who in ("storage", "lftp"):
                extra = 1000 / g(f"{p}_{who}_files_per_s") - 1000 / g(f"rtt0_{who}_files_per_s")
                add(f"{p}_{who}_timed_round_trips_per_file", extra / link_ms, "count")
    with open(path, "a") as f:
        for name in derived:
            f.write(f"{name} {fmt(figures[name])} {units[name]}\n")

    def table(head, rows):
        widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
        for r in [head] + rows:
            print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
        print()

    print()
    print(f"Quarvel on a real link: {n} files per run, {time.strftime('%Y-%m-%d %H:%M')}, "
          f"{cpu()}, {os.cpu_count()} cores")
    print()
    rows = []
    for r in rtts:
        p = f"rtt{r}"
        timed = ("", "")
        if r and f"{p}_storage_timed_round_trips_per_file" in figures:
            timed = (f"{g(f'{p}_storage_timed_round_trips_per_file'):.1f}",
                     f"{g(f'{p}_lftp_timed_round_trips_per_file'):.1f}")
        rows.append((f"{r} ms", f"{g(f'{p}_probe_connect_median_ms'):.2f} ms",
                     f"{g(f'{p}_probe_echo_median_ms'):.2f} ms",
                     f"{g(f'{p}_storage_files_per_s'):.1f}", f"{g(f'{p}_lftp_files_per_s'):.1f}",
                     f"{g(f'{p}_storage_vs_lftp'):.3f}", *timed))
    table(("round trip", "probe: connect", "echo", "storage files/s", "lftp files/s", "ratio",
           "timed RT/file: storage", "lftp"), rows)

    print("Per file, counted on the wire (tcpdump in the namespace):")
    rows = []
    for r in rtts:
        p = f"rtt{r}"
        for who in ("storage", "lftp"):
            verbs = sorted(((k[len(f"{p}_{who}_ftp_"):-len("_per_file")], v) for k, v in figures.items()
                            if k.startswith(f"{p}_{who}_ftp_") and k.endswith("_per_file")
                            and k != f"{p}_{who}_ftp_commands_per_file"),
                           key=lambda kv: -kv[1])
            rows.append((f"{r} ms", who, f"{g(f'{p}_{who}_ftp_commands_per_file'):.2f}",
                         f"{g(f'{p}_{who}_data_connections_per_file'):.2f}",
                         f"{g(f'{p}_{who}_db_round_trips_per_file'):.2f}",
                         f"{g(f'{p}_{who}_wire_round_trips_per_file'):.2f}",
                         " ".join(f"{v.upper()} {k:.2f}" for v, k in verbs if k >= 0.005)))
    table(("round trip", "", "FTP commands", "data conns", "db round trips", "all round trips",
           "FTP commands by verb"), rows)

    print("The window: the longest time it went without handling its messages (a zero timer):")
    rows = []
    for r in rtts:
        p = f"rtt{r}_window_storage"
        gap = g(f"{p}_pump_gap_max_ms")
        slowest = g(f"{p}_file_ms_max")
        # On loopback a tenth of a second; on a real link no more than one file's own time
        # (from its read to the next file's read) and the window's own tenth of a second.
        goal, ok = (("< 100 ms", gap < 100) if r == 0 else
                    ("<= slowest file + 100 ms", gap <= slowest + 100))
        rows.append((f"{r} ms", f"{gap:.1f} ms", f"{int(g(f'{p}_pump_gap_max_at'))}",
                     f"{g(f'{p}_file_ms'):.1f} ms", f"{slowest:.1f} ms",
                     f"{g(f'{p}_files_per_s'):.1f}", goal, "met" if ok else "NOT met"))
    table(("round trip", "longest gap", "at gap", "median file", "slowest file",
           "files/s", "goal", ""), rows)

    late = [(r, g(f"rtt{r}_delay_late_avg_us"), g(f"rtt{r}_delay_late_max_us"),
             g(f"rtt{r}_delay_late_over_1ms", 0), g(f"rtt{r}_delay_packets")) for r in rtts
            if f"rtt{r}_delay_late_avg_us" in figures]
    if late:
        print("The delayer let packets go late by " + "; ".join(
            f"{a:.0f} us on average, {m:.0f} us at most, {k:.0f} of {p:.0f} by more than 1 ms "
            f"({r} ms)" for r, a, m, k, p in late))
        print()
    for name in order + derived:
        print(f"{name} {fmt(figures[name])} {units[name]}")


def main():
    if sys.argv[1] == "--rounds":
        aggregate(sys.argv[2], sys.argv[3])
        return
    if sys.argv[1] == "--link":
        link_table(sys.argv[2], int(sys.argv[3]))
        return
    path, n = sys.argv[1], int(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    figures, units, order = read_figures(path)

    derived = []

    def add(name, value, unit):
        figures[name] = value
        units[name] = unit
        derived.append(name)

    g = figures.get
    add("lftp_files_per_s", n / g("lftp_s"), "files/s")
    add("mariadb_batch_files_per_s", n / g("mariadb_batch_s"), "files/s")
    add("storage_vs_lftp", g("storage_files_per_s") / g("lftp_files_per_s"), "ratio")
    add("lftp_tls_files_per_s", n / g("lftp_tls_s"), "files/s")
    add("storage_tls_vs_lftp_tls", g("storage_tls_files_per_s") / g("lftp_tls_files_per_s"),
        "ratio")
    add("window_vs_lftp", g("window_storage_files_per_s") / g("lftp_files_per_s"), "ratio")
    add("rss_peak_diff_mb", g("mem10000_rss_peak_mb") - g("mem1000_rss_peak_mb"), "MB")
    with open(path, "a") as f:
        for name in derived:
            f.write(f"{name} {fmt(figures[name])} {units[name]}\n")

    def verdict(ok):
        return "met" if ok else "NOT met"

    rows = []
    storage_ok = g("storage_vs_lftp") >= 1 / 3
    rows.append((f"storage run vs lftp mput (median of {rounds})", f"{g('storage_files_per_s'):.1f} files/s",
                 f"{g('lftp_files_per_s'):.1f} files/s", f"{g('storage_vs_lftp'):.3f}",
                 ">= 0.333", verdict(storage_ok)))
    rows.append((f"  in TLS, vs lftp with TLS forced", f"{g('storage_tls_files_per_s'):.1f} files/s",
                 f"{g('lftp_tls_files_per_s'):.1f} files/s", f"{g('storage_tls_vs_lftp_tls'):.3f}",
                 "", ""))
    rows.append(("  bare mariadb batch, same INSERTs", "",
                 f"{g('mariadb_batch_files_per_s'):.1f} files/s", "", "", ""))
    rows.append(("  the same run in the real window", f"{g('window_storage_files_per_s'):.1f} files/s",
                 "", f"{g('window_vs_lftp'):.3f}", "", ""))
    reader_ok = g("reader_vs_bare") >= 2 / 3
    rows.append(("reader vs bare libxml2 parse", f"{g('reader_files_per_s'):.0f} files/s",
                 f"{g('bare_parse_files_per_s'):.0f} files/s", f"{g('reader_vs_bare'):.3f}",
                 ">= 0.667", verdict(reader_ok)))
    listing_ok = g("listing_vs_find") >= 0.5
    rows.append((f"listing vs find ({int(g('listing_files'))} of 100000 entries)",
                 f"{g('listing_s'):.3f} s", f"{g('find_s'):.3f} s", f"{g('listing_vs_find'):.3f}",
                 ">= 0.5", verdict(listing_ok)))
    lists_ok = g("window_lists_s") < 2
    rows.append(("window lists filled (same tree)", f"{g('window_lists_s'):.3f} s", "", "",
                 "< 2 s", verdict(lists_ok)))
    mem_ok = g("rss_peak_diff_mb") < 20
    rows.append(("peak RSS, 1000 vs 10000 files", f"{g('mem1000_rss_peak_mb'):.1f} MB",
                 f"{g('mem10000_rss_peak_mb'):.1f} MB", f"+{g('rss_peak_diff_mb'):.1f} MB",
                 "< +20 MB", verdict(mem_ok)))
    # What a user feels of the window during a run: the longest time it left its messages
    # (a click, a repaint) waiting, measured by a zero timer in the real window.
    gap = g("window_storage_pump_gap_max_ms")
    gap_ok = gap < 100
    rows.append(("window's longest wait for its messages", f"{gap:.1f} ms",
                 f"p99 {g('window_storage_pump_gap_p99_ms'):.1f} ms", "", "< 100 ms",
                 verdict(gap_ok)))
    rows.append(("  headless run / 10000-file run", f"{g('storage_pump_gap_max_ms'):.1f} ms",
                 f"{g('mem10000_pump_gap_max_ms'):.1f} ms", "", "", ""))

    head = ("comparison", "ours", "reference", "ratio", "goal", "")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(6)]
    print()
    print(f"Quarvel benchmarks: {n} files per comparison, {time.strftime('%Y-%m-%d %H:%M')}, "
          f"{cpu()}, {os.cpu_count()} cores")
    print()
    for r in [head] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())

    print()
    parts = ["read", "db_insert", "db_commit", "connect", "ftp_folders", "ftp_upload", "move", "listing",
             "other", "unaccounted"]
    for prefix, run, what in (("breakdown", "storage", "storage run"),
                              ("breakdown_tls", "storage_tls", "storage run in TLS")):
        total = g(f"{prefix}_total_s")
        print(f"Where the {what}'s time goes ({n} files, {total:.2f} s in the timed driver, "
              f"{g(f'{run}_s'):.2f} s in the run itself):")
        for p in parts:
            s = g(f"{prefix}_{p}_s", 0.0)
            print(f"  {p:<12} {s:8.3f} s  {100 * s / total:5.1f} %  {1000 * s / n:7.3f} ms/file")

    print()
    for name in order + derived:
        print(f"{name} {fmt(figures[name])} {units[name]}")


def fmt(v):
    return f"{v:.1f}" if abs(v) >= 100 else f"{v:.4f}"


def cpu():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


if __name__ == "__main__":
    main()

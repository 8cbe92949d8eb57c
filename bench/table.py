#!/usr/bin/python3
"""Derives the ratios from bench/out/results.txt, prints the table, then every figure as
"name value unit" (the derived ones are appended to the results file as well).

    table.py RESULTS N ROUNDS          the table
    table.py --rounds ROUNDS RESULTS   the rounds' figures into one each: the median time,
                                       the largest memory and pump gap
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


def main():
    if sys.argv[1] == "--rounds":
        aggregate(sys.argv[2], sys.argv[3])
        return
    path, n = sys.argv[1], int(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    figures = {}
    units = {}
    order = []
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
    # The window's goal: its run within 10 % of the headless one.
    add("window_vs_headless", g("window_vs_lftp") / g("storage_vs_lftp"), "ratio")
    # What the window adds to a file (its rows drawn, the pump, the progress bar): the median
    # time of a file, read to next read, in the window less the same without it, against
    # the headless file.
    add("window_own_ms_per_file", g("window_storage_file_ms") - g("storage_file_ms"), "ms")
    add("window_own_vs_headless_file", g("window_own_ms_per_file") / g("storage_file_ms"),
        "ratio")
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
    window_ok = g("window_vs_headless") >= 0.9
    rows.append(("  window run vs headless run", f"{g('window_vs_lftp'):.3f}",
                 f"{g('storage_vs_lftp'):.3f}", f"{g('window_vs_headless'):.3f}", ">= 0.9",
                 verdict(window_ok)))
    rows.append(("  what the window adds to a file (median)", f"{g('window_own_ms_per_file'):.3f} ms",
                 f"{g('storage_file_ms'):.3f} ms/file", f"{g('window_own_vs_headless_file'):.3f}",
                 "", ""))
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
    gap = g("window_storage_pump_gap_max_ms")
    gap_ok = gap < 100
    rows.append(("longest gap between pumps (window)", f"{gap:.1f} ms",
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

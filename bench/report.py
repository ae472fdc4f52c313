"""Medians, ratios against the baselines of the same run, and the launcher's targets."""

import json
import os
import statistics
import time

TARGETS_VS_CURL = {"big": 1.0}  # other sets: DEFAULT_VS_CURL
DEFAULT_VS_CURL = 0.75
TARGET_VS_CURL_SYNC = 1.0
TARGET_MEMORY_KIB = 16 * 1024  # above idle, during the 1 GiB download
TARGET_STALL_MS = 50.0
TARGET_STARTUP = 1.3
# Against the build before a change (launcher-base): the 1 GiB set hashes every byte now.
TARGETS_VS_BASE = {"big": 0.9}
DEFAULT_VS_BASE = 0.95
TARGET_STARTUP_VS_BASE = 1.1


def progress(run, runs, job, tool, result):
    state = "ok" if result["problem"] is None else f"FAILED: {result['problem']}"
    seconds = result.get("seconds", result["wall"])
    print(f"[run {run}/{runs}] {job.label:<14} {tool:<14} {seconds:7.3f} s"
          f"  (+sync {result['sync_seconds']:.3f} s)  {state}", flush=True)


def _max(values):
    values = [v for v in values if v is not None and v >= 0]
    return max(values) if values else None


def summarize_tool(job, runs):
    good = [r for r in runs if r["problem"] is None]
    row = {"runs": len(runs), "failed": len(runs) - len(good)}
    if not good:
        row["problem"] = runs[0]["problem"] if runs else "not run"
        return row
    seconds = statistics.median(r["seconds"] for r in good)
    row.update(
        seconds=seconds,
        durable_seconds=statistics.median(r["seconds"] + r["sync_seconds"] for r in good),
        mb_per_s=job.total_bytes / 1e6 / seconds,
        peak_above_idle_kib=_max(r.get("peak_above_idle_kib") for r in good),
        maxrss_kib=_max(r.get("maxrss_kib") for r in good),
        worst_stall_ms=_max(r.get("worst_stall_ms") for r in good),
    )
    return row


def summarize(jobs, downloads, startup):
    summary = {"sets": {}, "startup": {}}
    for job in jobs:
        rows = {tool: summarize_tool(job, runs) for tool, runs in downloads[job.name].items()}
        curl = rows.get("curl", {})
        base = rows.get("launcher-base", {})
        for row in rows.values():
            if "seconds" in row and "seconds" in curl:
                row["vs_curl"] = curl["seconds"] / row["seconds"]
                row["vs_curl_sync"] = curl["durable_seconds"] / row["seconds"]
            if "seconds" in row and "seconds" in base:
                row["vs_base"] = base["seconds"] / row["seconds"]
        summary["sets"][job.name] = {"label": job.label, "bytes": job.total_bytes, "tools": rows}
    medians = {name: statistics.median(times) for name, times in startup.items() if times}
    summary["startup"] = {"median_seconds": medians}
    if "bare" in medians and "launcher" in medians:
        summary["startup"]["ratio"] = medians["launcher"] / medians["bare"]
    if "launcher-base" in medians and "launcher" in medians:
        summary["startup"]["vs_base"] = medians["launcher"] / medians["launcher-base"]
    return summary


def _fmt(value, pattern, missing="-"):
    return missing if value is None else pattern.format(value)


def print_tables(summary, runs, startup_runs):
    print(f"\nDownloads: median of {runs} runs. x curl = curl's time / this time (above 1 is "
          "faster);\n+sync = the tool followed by one sync; memory = peak resident above idle "
          "(max of the runs).")
    header = (f"{'set':<14} {'tool':<14} {'median s':>9} {'+sync s':>8} {'MB/s':>7} "
              f"{'x curl':>7} {'x curl+sync':>11} {'mem MiB':>8} {'RSS MiB':>8} {'stall ms':>9}")
    print(header)
    print("-" * len(header))
    for name, entry in summary["sets"].items():
        for tool, row in entry["tools"].items():
            if "seconds" not in row:
                print(f"{entry['label']:<14} {tool:<14} failed: {row['problem']}")
                continue
            mem = row["peak_above_idle_kib"]
            rss = row["maxrss_kib"]
            print(f"{entry['label']:<14} {tool:<14} {row['seconds']:9.3f} "
                  f"{row['durable_seconds']:8.3f} {row['mb_per_s']:7.0f} "
                  f"{_fmt(row.get('vs_curl'), '{:7.2f}'):>7} "
                  f"{_fmt(row.get('vs_curl_sync'), '{:11.2f}'):>11} "
                  f"{_fmt(mem and mem / 1024, '{:8.1f}'):>8} "
                  f"{_fmt(rss and rss / 1024, '{:8.1f}'):>8} "
                  f"{_fmt(row['worst_stall_ms'], '{:9.1f}'):>9}"
                  + (f"  ({row['failed']} failed runs)" if row["failed"] else ""))
    start = summary["startup"]
    medians = start["median_seconds"]
    print(f"\nStart-up to the first painted window, median of {startup_runs} runs: "
          + ", ".join(f"{name} {seconds * 1000:.1f} ms" for name, seconds in medians.items())
          + (f", ratio {start['ratio']:.2f}" if "ratio" in start else "")
          + (f", launcher / launcher-base {start['vs_base']:.2f}" if "vs_base" in start else ""))
    bases = [(entry["label"], entry["tools"]["launcher"]["vs_base"])
             for entry in summary["sets"].values()
             if "vs_base" in entry["tools"].get("launcher", {})]
    if bases:
        print("\nLauncher against launcher-base (its time / the launcher's; above 1 is faster): "
              + ", ".join(f"{label} {ratio:.2f}" for label, ratio in bases))
    print_targets(summary)


def target_checks(summary):
    """(description, measured text, met) for each of the launcher's targets measured."""
    checks = []
    for name, entry in summary["sets"].items():
        row = entry["tools"].get("launcher")
        if row is None:
            continue
        label = entry["label"]
        if "seconds" not in row:
            checks.append((f"{label}: launcher completes", row["problem"], False))
            continue
        if "vs_curl_sync" in row:
            checks.append((f"{label}: >= {TARGET_VS_CURL_SYNC:.2f} x curl+sync",
                           f"{row['vs_curl_sync']:.2f}", row["vs_curl_sync"] >= TARGET_VS_CURL_SYNC))
            goal = TARGETS_VS_CURL.get(name, DEFAULT_VS_CURL)
            checks.append((f"{label}: >= {goal:.2f} x curl", f"{row['vs_curl']:.2f}",
                           row["vs_curl"] >= goal))
        if "vs_base" in row:
            goal = TARGETS_VS_BASE.get(name, DEFAULT_VS_BASE)
            checks.append((f"{label}: >= {goal:.2f} x launcher-base", f"{row['vs_base']:.2f}",
                           row["vs_base"] >= goal))
        if name == "big" and row["peak_above_idle_kib"] is not None:
            mib = row["peak_above_idle_kib"] / 1024
            checks.append((f"{label}: memory <= {TARGET_MEMORY_KIB // 1024} MiB above idle",
                           f"{mib:.1f} MiB", row["peak_above_idle_kib"] <= TARGET_MEMORY_KIB))
        if row["worst_stall_ms"] is not None:
            checks.append((f"{label}: no stall over {TARGET_STALL_MS:.0f} ms",
                           f"{row['worst_stall_ms']:.1f} ms",
                           row["worst_stall_ms"] <= TARGET_STALL_MS))
    vs_base = summary["startup"].get("vs_base")
    if vs_base is not None:
        checks.append((f"start-up <= {TARGET_STARTUP_VS_BASE} x launcher-base", f"{vs_base:.2f}",
                       vs_base <= TARGET_STARTUP_VS_BASE))
    ratio = summary["startup"].get("ratio")
    if ratio is not None:
        checks.append((f"start-up <= {TARGET_STARTUP} x bare window", f"{ratio:.2f}",
                       ratio <= TARGET_STARTUP))
    return checks


def print_targets(summary):
    checks = target_checks(summary)
    if not checks:
        return
    print("\nLauncher targets:")
    for description, measured, met in checks:
        print(f"  {'met' if met else 'MISSED':<6}  {description:<44} {measured}")


def save(summary, downloads, startup, folder):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, time.strftime("bench-%Y%m%d-%H%M%S.json"))
    with open(path, "w") as f:
        json.dump({"summary": summary, "downloads": downloads, "startup": startup}, f, indent=1)
    return path

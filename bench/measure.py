"""Measures downloads and start-up; bench/run.sh sets the stage and calls this.

usage: measure.py CACHE WORK BUILD BASE_URL VERSION
Environment: BENCH_RUNS (default 7), BENCH_SETS (names from sets.py, comma-separated),
BENCH_TOOLS (names from tools.py), BENCH_STARTUP_RUNS (default 3 x BENCH_RUNS).
"""

import configparser
import filecmp
import json
import os
import shutil
import subprocess
import sys
import time

import report
import sets
import tools


def env_list(name, default):
    value = os.environ.get(name, "").strip()
    return [v.strip() for v in value.split(",") if v.strip()] if value else list(default)


def load_job(cache, work, base_url, version, name, label):
    with open(os.path.join(work, "manifests", f"{name}.json")) as f:
        manifest = json.load(f)
    urls = manifest["wsection"][1][sets.LOCALE]
    source_dir = os.path.join(sets.set_folder(cache, name), sets.LOCALE)
    entries = []
    for url in sorted(urls.values()):
        file_name = url.rsplit("/", 1)[1]
        source = os.path.join(source_dir, file_name)
        entries.append((url, file_name, os.path.getsize(source), source))
    job_dir = os.path.join(work, "runs", name)
    os.makedirs(job_dir, exist_ok=True)
    manifest_url = f"{base_url}/manifests/{name}.json"
    return tools.Job(name, label, version, manifest_url, entries,
                     os.path.join(job_dir, "client"), job_dir)


# A set of at least this many files is not deleted between downloads (see clean_targets).
MANY_FILES = 1000


def clean_targets(job, trash):
    """An empty target folder. The previous download of a set of many files is moved aside and
    deleted only after all downloads: ext4 does not hand out inodes freed in the last half
    minute, and looking past thousands of them made the next tool's file creation cost more
    than its download. Other sets are deleted at once, so that their data does not pile up."""
    if os.path.isdir(job.data_dir):
        if len(job.entries) >= MANY_FILES:
            os.makedirs(trash, exist_ok=True)
            os.rename(job.data_dir, os.path.join(trash, str(len(os.listdir(trash)))))
        else:
            shutil.rmtree(job.data_dir)
    os.makedirs(job.data_dir)
    subprocess.run(["sync"], check=True)  # start from clean disk caches, untimed


def timed_sync():
    start = time.perf_counter()
    subprocess.run(["sync"], check=True)
    return time.perf_counter() - start


def verify(job, tool, result, full):
    """Returns what is wrong with the downloaded files, or None."""
    if result.get("outcome") != "finished":
        return result.get("outcome", "no outcome")
    for target, size, source in job.targets():
        if not os.path.isfile(target) or os.path.getsize(target) != size:
            return f"{target}: missing or of the wrong size"
        if full and not filecmp.cmp(target, source, shallow=False):
            return f"{target}: content differs from the served file"
    if tool.startswith("launcher"):
        config = configparser.ConfigParser(interpolation=None, strict=False)
        config.optionxform = str
        config.read(os.path.join(job.work_dir, "config.conf"))
        recorded = config.get("ClientVersion", "WOTLK", fallback="")
        if recorded.strip('"') != job.version:
            return f"ClientVersion/WOTLK is {recorded!r}, not {job.version}"
    return None


def measure_downloads(jobs, tool_names, runs, build, env, trash):
    results = {job.name: {tool: [] for tool in tool_names} for job in jobs}
    for run in range(runs):
        # Rotate the order, so that no tool always follows the same neighbour.
        shift = run % len(tool_names)
        order = tool_names[shift:] + tool_names[:shift]
        for job in jobs:
            for tool in order:
                clean_targets(job, trash)
                result = tools.run_tool(tool, job, build, env)
                result["sync_seconds"] = timed_sync()
                result["problem"] = verify(job, tool, result, full=run == 0)
                results[job.name][tool].append(result)
                report.progress(run + 1, runs, job, tool, result)
    for job in jobs:
        shutil.rmtree(job.data_dir, ignore_errors=True)
    shutil.rmtree(trash, ignore_errors=True)
    return results


def measure_startup(work, build, env, base_url, version, runs, with_base):
    """Time to the first painted window: the launcher against a bare window of its size."""
    folder = os.path.join(work, "startup")
    os.makedirs(folder, exist_ok=True)
    job = tools.Job("startup", "", version, "", [], os.path.join(folder, "client"), folder)
    os.makedirs(job.data_dir, exist_ok=True)
    tools.write_config(job, version)  # up to date: start-up alone, no download follows
    run_env = tools.qt_env(env, folder)
    run_env["EMBERCREST_MANIFEST_URL"] = f"{base_url}/manifests/small.json"
    programs = {"bare": (build, "bench-startup-bare"), "launcher": (build, "bench-startup-launcher")}
    if with_base:
        programs["launcher-base"] = (env["BENCH_BASE_BUILD"], "bench-startup-launcher")
    times = {name: [] for name in programs}
    names = list(programs)
    for run in range(runs + 1):  # the first round only warms the caches
        # Rotated as the downloads are, so that no program always follows the same neighbour.
        shift = run % len(names)
        for name in names[shift:] + names[:shift]:
            folder_of, program = programs[name]
            cmd = [os.path.join(folder_of, "bench", program)]
            log = os.path.join(folder, f"{name}.log")
            wall, code, _, _ = tools.run_process(cmd, folder, run_env, log)
            if code != 0:
                raise SystemExit(f"{program} failed with exit code {code}; see {log}")
            if run > 0:
                times[name].append(wall)
    return times


def main(argv):
    cache, work, build, base_url, version = argv[1:6]
    runs = int(os.environ.get("BENCH_RUNS", "7"))
    startup_runs = int(os.environ.get("BENCH_STARTUP_RUNS", str(3 * runs)))
    known = {name: label for name, label, _, _ in sets.SETS}
    set_names = env_list("BENCH_SETS", known)
    tool_names = env_list("BENCH_TOOLS", tools.TOOLS)
    for name in set_names:
        if name not in known:
            raise SystemExit(f"unknown set {name}; known: {', '.join(known)}")
    known_tools = tools.TOOLS + tools.EXTRA_TOOLS
    for name in tool_names:
        if name not in known_tools:
            raise SystemExit(f"unknown tool {name}; known: {', '.join(known_tools)}")
    env = dict(os.environ)
    jobs = [load_job(cache, work, base_url, version, n, known[n]) for n in set_names]
    downloads = measure_downloads(jobs, tool_names, runs, build, env, os.path.join(work, "trash"))
    startup = measure_startup(work, build, env, base_url, version, startup_runs,
                              "launcher-base" in tool_names)
    summary = report.summarize(jobs, downloads, startup)
    report.print_tables(summary, runs, startup_runs)
    saved = report.save(summary, downloads, startup, os.path.join(build, "bench-results"))
    print(f"\nAll measurements: {saved}")


if __name__ == "__main__":
    main(sys.argv)

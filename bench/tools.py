"""Runs one download of a file set with one tool, and measures it."""

import json
import os
import subprocess
import time

TOOLS = ["curl", "qt-plain", "qt-savefile", "qt-renamesync", "launcher"]
# Only when named in BENCH_TOOLS: the launcher of another build (BENCH_BASE_BUILD), measured in
# the same run, to set a change against what it replaces.
EXTRA_TOOLS = ["launcher-base"]
RESULT_PREFIX = "BENCH-RESULT "


class Job:
    """One set to fetch: URLs and target paths from its manifest, and where the files live."""

    def __init__(self, name, label, version, manifest_url, entries, client_dir, work_dir):
        self.name = name
        self.label = label
        self.version = version
        self.manifest_url = manifest_url
        self.entries = entries  # (url, file name, size, source path)
        self.client_dir = client_dir
        self.work_dir = work_dir

    @property
    def data_dir(self):
        return os.path.join(self.client_dir, "Data", "enGB")

    @property
    def total_bytes(self):
        return sum(size for _, _, size, _ in self.entries)

    def targets(self):
        return [(os.path.join(self.data_dir, n), size, src) for _, n, size, src in self.entries]


def run_process(cmd, cwd, env, log_path):
    """Runs cmd and returns (wall seconds, exit code, stdout text, peak RSS in KiB)."""
    out_path = log_path + ".out"
    with open(out_path, "wb") as out, open(log_path, "wb") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(out_path, encoding="utf-8", errors="replace") as f:
        stdout = f.read()
    return wall, proc.returncode, stdout, usage.ru_maxrss


def bench_result(stdout):
    for line in stdout.splitlines():
        if line.startswith(RESULT_PREFIX):
            return json.loads(line[len(RESULT_PREFIX):])
    return None


def write_curl_config(job, path):
    with open(path, "w") as f:
        for url, name, _, _ in job.entries:
            target = os.path.join(job.data_dir, name)
            f.write(f'url = "{url}"\noutput = "{target}"\n')


def write_qt_list(job, path):
    with open(path, "w") as f:
        for url, name, _, _ in job.entries:
            f.write(f"{url}\t{os.path.join(job.data_dir, name)}\n")


def write_config(job, installed_version):
    """The launcher's config.conf: the temporary client, locale enGB, the given version."""
    client = job.client_dir
    text = (
        f"[ClientLocation]\nWOTLK={client}/Wow.exe\nLEGION=\n\n"
        f"[ClientDir]\nWOTLK={client}\nLEGION=\n\n"
        "[ClientExe]\nWOTLK=Wow.exe\nLEGION=\n\n"
        "[WClientLocale]\nruRU=0\nenGB=1\nenUS=0\nesMX=0\ndeDE=0\nfrFR=0\n\n"
        "[LClientLocale]\nruRU=0\nenGB=0\nenUS=0\nesMX=0\ndeDE=0\nfrFR=0\n\n"
        f"[ClientVersion]\nWOTLK={installed_version}\nLEGION=0.0\n"
    )
    with open(os.path.join(job.work_dir, "config.conf"), "w") as f:
        f.write(text)


def qt_env(base_env, work_dir):
    env = dict(base_env)
    runtime = os.path.join(work_dir, "xdg-runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    env.update(QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime, LANG="C.UTF-8")
    return env


def launcher_build(tool, build_dir, env):
    if tool != "launcher-base":
        return build_dir
    base = env.get("BENCH_BASE_BUILD", "")
    if not os.path.isfile(os.path.join(base, "bench", "bench-launcher")):
        raise SystemExit("launcher-base needs BENCH_BASE_BUILD: a build folder with bench programs")
    return base


def run_tool(tool, job, build_dir, env):
    """Downloads job's set with tool. Returns a measurement dict (seconds, peak memory ...)."""
    log = os.path.join(job.work_dir, f"{tool}-{job.name}.log")
    if tool == "curl":
        config = os.path.join(job.work_dir, f"curl-{job.name}.conf")
        write_curl_config(job, config)
        cmd = ["curl", "--silent", "--show-error", "--fail", "--config", config]
        wall, code, _, maxrss = run_process(cmd, job.work_dir, env, log)
        return {"seconds": wall, "wall": wall, "exit": code, "maxrss_kib": maxrss,
                "outcome": "finished" if code == 0 else f"curl exit {code}"}
    if tool.startswith("qt-"):
        listing = os.path.join(job.work_dir, f"qt-{job.name}.list")
        write_qt_list(job, listing)
        cmd = [os.path.join(build_dir, "bench", "bench-qtloop"), tool[3:], listing]
        run_env = qt_env(env, job.work_dir)
    elif tool in ("launcher", "launcher-base"):
        write_config(job, "1.0")
        cmd = [os.path.join(launcher_build(tool, build_dir, env), "bench", "bench-launcher")]
        run_env = qt_env(env, job.work_dir)
        run_env.update(EMBERCREST_MANIFEST_URL=job.manifest_url, EMBERCREST_DELAY_MS="0")
    else:
        raise ValueError(f"unknown tool {tool}")
    wall, code, stdout, maxrss = run_process(cmd, job.work_dir, run_env, log)
    result = bench_result(stdout) or {"outcome": f"exit {code}, no result (see {log})"}
    result.update(wall=wall, exit=code, maxrss_kib=maxrss)
    return result

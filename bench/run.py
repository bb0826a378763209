#!/usr/bin/env python3
"""Runs the benchmark jobs side by side with their peers and the I/O limit.

Each job is a set of commands that do the same work: the library's (through
a driver in bench/ or the corvane tool), ffmpeg's or ffprobe's, and the
machine's limit (cat or cp over the same bytes).  The commands of a job run
in turn, round after round, so that a load that comes and goes on a shared
machine falls on all of them alike; the first round only warms the page
cache and is not counted.  Every run is measured from here (wall time, and
user + system CPU time from wait4) and by /usr/bin/time (peak resident
memory).

    bench/run.py [--build DIR] [--inputs DIR] [--reps N] [--quick]
                 [--only JOB,...] [--baseline DIR] [--markdown FILE] [--json FILE]

--quick uses the five-minute file and the 120 MB file of large samples
(bench/make_inputs.sh --quick makes them).  The table goes to standard
output, and to FILE with --markdown.

--baseline DIR adds to every writing job the corvane tool of another build
(an earlier version, built apart), run in the same rounds as "before", and
checks that it writes the same bytes.
"""
import argparse
import datetime
import hashlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TIME = "/usr/bin/time"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def timed(command, cwd):
    """Runs a shell command; returns (wall s, user + system CPU s, max RSS KiB).

    Wall time is taken here and the CPU time from wait4 (both to the
    microsecond).  The peak resident memory comes from /usr/bin/time, which
    starts the command from its own small image: a child forked from this
    Python process would count Python's memory as its own peak."""
    with tempfile.NamedTemporaryFile("r", suffix=".rss") as rss:
        start = time.perf_counter()
        child = subprocess.Popen([TIME, "-o", rss.name, "-f", "%M", "sh", "-c", command],
                                 cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        error = child.stderr.read().decode(errors="replace")
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.stderr.close()
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            raise RuntimeError("failed (%d): %s\n%s" % (child.returncode, command, error))
        peak = int(rss.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, peak


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()[:16]


class Job:
    """One piece of work and the commands that do it."""

    def __init__(self, name, what, commands, output=None):
        self.name = name
        self.what = what
        self.commands = commands  # list of (label, shell command)
        self.output = output      # file whose bytes must be the same after every run
        self.runs = {label: [] for label, _ in commands}
        self.digests = set()
        self.before_digests = set()


def make_jobs(args, inputs, out):
    build = args.build
    corvane = os.path.join(build, "corvane")
    open_index = os.path.join(build, "bench", "open_index")
    read_all = os.path.join(build, "bench", "read_all")
    long_name = "short" if args.quick else "hour"
    big_name = "big_short" if args.quick else "big"
    f = lambda name, ext: os.path.join(inputs, name + ext)
    jobs = []
    for name in (["short"] if args.quick else ["short", "hour"]):
        mp4 = f(name, ".mp4")
        jobs.append(Job("open-" + name, "open + index of %s.mp4" % name, [
            ("corvane", "%s %s" % (open_index, mp4)),
            ("ffprobe", "ffprobe -v error -show_entries format=duration %s" % mp4),
        ]))
    for name in ([long_name, big_name] if args.quick else ["short", "hour", "big_short", "big"]):
        mp4 = f(name, ".mp4")
        jobs.append(Job("read-" + name, "every sample of %s.mp4" % name, [
            ("corvane", "%s %s" % (read_all, mp4)),
            ("ffmpeg", "ffmpeg -nostdin -v error -i %s -map 0 -c copy -f null -" % mp4),
            ("cat", "cat %s > /dev/null" % mp4),
        ]))
    def writing_job(name, what, corvane_args, ffmpeg_args, inputs_used, output):
        # cp: the inputs' bytes written once, the machine's limit.  twice: the
        # same bytes written into one file each and then again into one
        # output, with nothing parsed -- what writing through temporary
        # files costs at the least.
        copies = ["cp %s in%d" % (path, i) for i, path in enumerate(inputs_used)]
        parts = " ".join("in%d" % i for i in range(len(inputs_used)))
        jobs.append(Job(name, what, [
            ("corvane", "%s %s" % (corvane, corvane_args)),
            ("ffmpeg", "ffmpeg -nostdin -v error -y " + ffmpeg_args),
            ("cp", " && ".join(copies)),
            ("twice", " && ".join(copies) + " && cat %s > twice.out" % parts),
        ], output=os.path.join(out, output)))

    have_mux = tool_has(corvane, "mux")
    have_add_audio = tool_has(corvane, "add-audio")

    def mux_job(name, what):
        m4v, aac = f(name, ".m4v"), f(name, ".aac")
        writing_job("mux-" + name, what, "mux %s %s corvane_mux.mp4 --fps 25" % (m4v, aac),
                    "-r 25 -i %s -i %s -c copy ffmpeg_mux.mp4" % (m4v, aac), [m4v, aac],
                    "corvane_mux.mp4")

    def add_audio_job(name):
        mp4, aac = f(name, ".mp4"), f(name, ".aac")
        writing_job("add-audio-" + name, "video of %s.mp4 + %s.aac into an MP4 file" % (name, name),
                    "add-audio %s %s corvane_add.mp4" % (mp4, aac),
                    "-i %s -i %s -map 0:v -map 1:a -c copy ffmpeg_add.mp4" % (mp4, aac),
                    [mp4, aac], "corvane_add.mp4")

    for name in ([long_name] if args.quick else ["short", "hour"]):
        if have_mux:
            mux_job(name, "%s.m4v + %s.aac into an MP4 file" % (name, name))
        if have_add_audio:
            add_audio_job(name)
    # High-bit-rate streams: the bytes, not the frames, cost.
    if have_mux and not args.quick and os.path.exists(f("wide", ".m4v")):
        mux_job("wide", "wide.m4v + wide.aac (320x240, high bit rate) into an MP4 file")
    # The flush copies the temporary files without holding them: with a
    # gigabyte of media in few samples its peak memory stays small.
    if have_add_audio and os.path.exists(f(big_name, ".aac")):
        add_audio_job(big_name)
    mp4, m4v = f(big_name, ".mp4"), f(big_name, ".m4v")
    if tool_has(corvane, "add-video") and os.path.exists(m4v):
        writing_job("add-video-" + big_name,
                    "audio of %s.mp4 + %s.m4v into an MP4 file" % (big_name, big_name),
                    "add-video %s %s corvane_addv.mp4 --fps 25" % (mp4, m4v),
                    "-i %s -r 25 -i %s -map 1:v -map 0:a -c copy ffmpeg_addv.mp4" % (mp4, m4v),
                    [mp4, m4v], "corvane_addv.mp4")
    if args.only:
        wanted = set(args.only.split(","))
        jobs = [j for j in jobs if j.name in wanted]
    if args.baseline:
        before = os.path.join(os.path.abspath(args.baseline), "corvane")
        for job in jobs:
            if job.output:
                command = dict(job.commands)["corvane"].replace(corvane, before, 1)
                name = os.path.basename(job.output)
                command = command.replace(name, "before_" + name)
                job.commands.insert(1, ("before", command))
                job.runs["before"] = []
    return jobs


def tool_has(corvane, command):
    try:
        text = subprocess.run([corvane, "--help"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT).stdout.decode()
    except OSError:
        return False
    return any(line.split()[:1] == [command] for line in text.splitlines())


def clear(out):
    """Removes what a command wrote, so that the next one starts from an
    empty folder: no command truncates another's gigabyte, and the page
    cache does not carry a command's dirty pages into the next one's time."""
    for name in os.listdir(out):
        os.remove(os.path.join(out, name))


def run_job(job, reps, out):
    for round_number in range(reps + 1):
        for label, command in job.commands:
            wall, cpu, rss = timed(command, out)
            if round_number > 0:
                job.runs[label].append((wall, cpu, rss))
            if label == "corvane" and job.output:
                job.digests.add(digest(job.output))
            if label == "before":
                out_dir, name = os.path.split(job.output)
                job.before_digests.add(digest(os.path.join(out_dir, "before_" + name)))
            clear(out)
        sys.stderr.write("  %s round %d/%d\n" % (job.name, round_number, reps))


def summary(samples):
    walls = [s[0] for s in samples]
    cpus = [s[1] for s in samples]
    return {
        "wall_median": statistics.median(walls),
        "wall_min": min(walls),
        "wall_max": max(walls),
        "cpu_median": statistics.median(cpus),
        "rss_max_kib": max(s[2] for s in samples),
        "runs": len(samples),
    }


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = "%.0f GiB" % (int(f.readline().split()[1]) / 1024 / 1024)
    except OSError:
        pass
    ffmpeg = subprocess.run(["ffmpeg", "-version"], stdout=subprocess.PIPE).stdout.decode()
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "memory": mem,
        "kernel": platform.release(),
        "ffmpeg": ffmpeg.splitlines()[0] if ffmpeg else "",
        "load_before": os.getloadavg()[0],
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def fmt_s(x):
    return "%.4f" % x if x < 0.1 else "%.3f" % x if x < 10 else "%.1f" % x


def table(jobs, info):
    lines = []
    lines.append("Machine: %s, %d cores, %s, Linux %s; %s. Load average before the run: %.1f. "
                 "%s." % (info["cpu"], info["cores"], info["memory"], info["kernel"],
                          info["ffmpeg"], info["load_before"], info["date"]))
    lines.append("")
    lines.append("| job | command | wall median s (min-max) | CPU median s | max RSS MiB "
                 "| wall vs corvane |")
    lines.append("|---|---|---|---|---|---|")
    for job in jobs:
        ours = job.summary["corvane"]["wall_median"]
        for label, _ in job.commands:
            s = job.summary[label]
            ratio = "1" if label == "corvane" else (
                "corvane / %s = %.2f" % (label, ours / s["wall_median"])
                if s["wall_median"] > 0 else "-")
            lines.append("| %s | %s | %s (%s-%s) | %s | %.1f | %s |" % (
                job.what if label == "corvane" else "", label, fmt_s(s["wall_median"]),
                fmt_s(s["wall_min"]), fmt_s(s["wall_max"]), fmt_s(s["cpu_median"]),
                s["rss_max_kib"] / 1024.0, ratio))
    for job in jobs:
        if job.output:
            lines.append("")
            lines.append("%s: corvane's output %s the same bytes on every run (sha256 %s)."
                         % (job.name, "had" if len(job.digests) == 1 else "did NOT have",
                            ", ".join(sorted(job.digests))))
            if job.before_digests:
                lines.append("")
                lines.append("%s: the baseline's output %s the same bytes (sha256 %s)."
                             % (job.name, "had" if job.before_digests == job.digests else "did NOT have",
                                ", ".join(sorted(job.before_digests))))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--inputs", default=os.path.join(ROOT, "bench", "inputs"))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--baseline")
    parser.add_argument("--markdown")
    parser.add_argument("--json")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    inputs = os.path.abspath(args.inputs)
    if not os.path.exists(TIME):
        sys.exit("run.py: %s is missing (apt-get install time)" % TIME)
    for tool in ("ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            sys.exit("run.py: %s is missing" % tool)
    info = machine()
    out = tempfile.mkdtemp(prefix="corvane_bench_")
    try:
        jobs = make_jobs(args, inputs, out)
        for job in jobs:
            sys.stderr.write("%s: %s\n" % (job.name, job.what))
            run_job(job, args.reps, out)
            job.summary = {label: summary(job.runs[label]) for label, _ in job.commands}
    finally:
        shutil.rmtree(out, ignore_errors=True)
    text = table(jobs, info)
    sys.stdout.write(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "jobs": {j.name: {"what": j.what, "summary": j.summary,
                                                          "digests": sorted(j.digests)}
                                                 for j in jobs}}, f, indent=1)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Frame-to-caller latency and CPU per frame on the virtual cameras.

Latency is the host time when requestFrame returns minus the frame's own time
stamp, on the clock the stamp counts (README: CSI stamps are the monotonic
clock, USB stamps the real-time clock counted from 1601). Each path is measured
from Python (this script, as a child under lumivex-virtual) and from C++
(build/bench/lumivex_latency_bench). CPU per frame is the process's CPU time
(every thread) per frame at 30 fps while a recording is replayed, so that the
virtual camera's own work is a copy of recorded bytes, not a rendering.

    /usr/bin/python3 bench/frame_latency.py [--frames N] [--warmup N] [--rates 10,30,120]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("LUMIVEX_BUILD", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "lumivex-virtual")
CPP = os.path.join(BUILD, "bench", "lumivex_latency_bench")
FILETIME_EPOCH = 11644473600  # seconds from 1601-01-01 to 1970-01-01

# (name, connection, launcher options for a rate)
PATHS = [
    ("CSI, Raspberry Pi 5", "csi", lambda fps: ["--platform", "rpi5", "--fps", str(fps)]),
    ("CSI, Jetson Xavier", "csi", lambda fps: ["--platform", "xavier", "--fps", str(fps)]),
    ("USB 2, transfers filled end to end", "usb", lambda fps: ["--usb", "--fps", str(fps)]),
    ("USB 3, short packets", "usb",
     lambda fps: ["--usb-board", f"camera=depth,speed=super,link=short,fps={fps}"]),
]


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure_python(connection, frames, warmup):
    """The child: opens the camera, takes frames, prints one JSON line."""
    sys.path.insert(0, os.path.join(BUILD, "python"))
    import LumivexDepthCamera as ldc
    camera = ldc.LumivexCamera()
    link = ldc.TOFConnect.USB if connection == "usb" else ldc.TOFConnect.CSI
    if camera.open(link, 0) != 0 or camera.start(ldc.TOFOutput.DEPTH) != 0:
        print(json.dumps({"error": "the camera did not open and start"}))
        return 1
    latencies, lost = [], 0
    for i in range(warmup + frames):
        if i == warmup:
            cpu0, wall0 = cpu_seconds(), time.monotonic()
        frame = camera.requestFrame(2000)
        now = time.monotonic() if connection == "csi" else time.time() + FILETIME_EPOCH
        if frame is None:
            lost += 1
            continue
        depth = frame.getDepthData()  # what a program does with a frame: its arrays
        stamp = frame.getFrameFormat().timestamp / 1e7
        if i >= warmup and depth is not None:
            latencies.append((now - stamp) * 1e3)
        camera.releaseFrame(frame)
    cpu, wall = cpu_seconds() - cpu0, time.monotonic() - wall0
    camera.stop()
    camera.close()
    latencies.sort()
    if not latencies:
        print(json.dumps({"error": "no frames"}))
        return 1
    pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]
    print(json.dumps({"frames": len(latencies), "lost": lost, "p50": pick(0.5), "p99": pick(0.99),
                      "max": latencies[-1], "cpu_ms_per_frame": cpu * 1e3 / len(latencies),
                      "cpu_share": cpu / wall}))
    return 0


def run(options, command):
    result = subprocess.run([LAUNCHER] + options + ["--"] + command, capture_output=True, text=True, timeout=900)
    for line in reversed(result.stdout.splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    return {"error": (result.stderr or result.stdout).strip().splitlines()[-1:] or ["no output"]}


def child(language, connection, frames, warmup):
    if language == "Python":
        return [sys.executable, os.path.abspath(__file__), "--child", connection, str(frames), str(warmup)]
    return [CPP, "camera", connection, str(frames), str(warmup)]


def cell(result, key):
    return "error: " + str(result["error"]) if "error" in result else f"{result[key]:.2f}"


def record(folder, name, options):
    path = os.path.join(folder, name + ".lvxr")
    recorder = os.path.join(BUILD, "bin", "lumivex-record")
    command = [recorder, "--frames", "30", "--output", path] + (["--usb"] if "--usb" in options else [])
    subprocess.run([LAUNCHER] + options + ["--"] + command, capture_output=True, timeout=120, check=True)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=190, help="frames measured per run (default 190)")
    parser.add_argument("--warmup", type=int, default=10, help="frames taken first and not measured (default 10)")
    parser.add_argument("--rates", default="10,30,120", help="frame rates (default 10,30,120)")
    parser.add_argument("--child", nargs=4, metavar=("CONNECTION", "FRAMES", "WARMUP", ""), help=argparse.SUPPRESS)
    if "--child" in sys.argv:
        at = sys.argv.index("--child")
        return measure_python(sys.argv[at + 1], int(sys.argv[at + 2]), int(sys.argv[at + 3]))
    args = parser.parse_args()
    rates = [int(r) for r in args.rates.split(",")]

    print("## Frame-to-caller latency (ms): p50 / p99\n")
    print("| path | caller | " + " | ".join(f"{r} fps" for r in rates) + " |")
    print("|---|---|" + "---|" * len(rates))
    for name, connection, options in PATHS:
        for language in ("Python", "C++"):
            cells = []
            for fps in rates:
                r = run(options(fps), child(language, connection, args.frames, args.warmup))
                cells.append(cell(r, "p50") if "error" in r else f"{r['p50']:.2f} / {r['p99']:.2f}")
            print(f"| {name} | {language} | " + " | ".join(cells) + " |", flush=True)
    board = "vid=0x52CB,pid=0x52CB,ctrl=0x30,date=21/6/6"
    r = run(["--usb-board", board], [CPP, "single-frame", str(args.frames), str(args.warmup)])
    single = cell(r, "p50") if "error" in r else f"{r['p50']:.2f} / {r['p99']:.2f}"
    print(f"| USB library, single-frame mode (getSingleFrame) | C++ | {single} (as triggered) |\n")

    print("## CPU at 30 fps, replaying a recording\n")
    print("| path | caller | CPU ms per frame | share of one core |")
    print("|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        for name, connection, options in PATHS[:1] + PATHS[2:3]:
            recording = record(folder, connection, options(30))
            for language in ("Python", "C++"):
                replay = ["--replay", recording, "--loop"] + (["--usb"] if connection == "usb" else [])
                r = run(replay, child(language, connection, args.frames, args.warmup))
                share = cell(r, "cpu_share") if "error" in r else f"{100 * r['cpu_share']:.1f} %"
                print(f"| {name} | {language} | {cell(r, 'cpu_ms_per_frame')} | {share} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

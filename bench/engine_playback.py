#!/usr/bin/env python3
"""Playback cost of the engine against ffplay and mpv on the same generated clips.

For each clip and player: CPU seconds per media second (user + system of the whole process over a full
playback), peak resident memory, time to first output (picture, or sound for an audio-only clip) and
the time to the first output at 10 s when a player is started there (open and seek), then the engine's
ratios to the others. Times run from the start of each player's process.

The engine plays through bench's strevio_playback_runner (configure with -DSTREVIO_BUILD_BENCH=ON and
build that target). Decoding is software only; audio goes to a dummy or null device and pictures to the
X display (the script starts a private Xvfb when there is none). ffplay and mpv get the position
as their start option; the runner seeks right after its open.

    bench/engine_playback.py --runner build-bench/bench/strevio_playback_runner [--runs 3]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

SEEK_TO = 10.0
CLIPS = {
    "h264_aac_720p_20s.mp4": [
        "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=20",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
        "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "60",
        "-c:a", "aac", "-ac", "2", "-shortest",
    ],
    "audio_20s.mp3": [
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
        "-ac", "2", "-c:a", "libmp3lame", "-b:a", "192k",
    ],
}
CLIP_SECONDS = 20.0


def make_clips(folder, clips=None):
    """Makes each clip (name -> ffmpeg input and codec arguments) once into folder; returns their paths."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = {}
    for name, args in (clips or CLIPS).items():
        path = folder / name
        if not path.exists():
            subprocess.run(["ffmpeg", "-v", "error", "-y", *args, str(path)], check=True)
        paths[name] = path
    return paths


class Run:
    """One process: its CPU time, peak memory and the time its output first matched a pattern."""

    def __init__(self, argv, first_output, env):
        self.first_ms = None
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        lines = []

        def watch(stream):
            buf = b""
            while True:
                chunk = stream.read1(4096) if hasattr(stream, "read1") else stream.read(1)
                if not chunk:
                    break
                buf += chunk
                parts = re.split(rb"[\r\n]", buf)
                buf = parts.pop()
                for part in parts:
                    text = part.decode(errors="replace")
                    lines.append(text)
                    if self.first_ms is None and first_output(text):
                        self.first_ms = (time.monotonic() - start) * 1000.0

        threads = [threading.Thread(target=watch, args=(s,)) for s in (proc.stdout, proc.stderr)]
        for t in threads:
            t.start()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        for t in threads:
            t.join()
        self.wall_s = time.monotonic() - start
        self.cpu_s = usage.ru_utime + usage.ru_stime
        self.rss_mb = usage.ru_maxrss / 1024.0
        self.lines = lines
        if proc.returncode != 0:
            raise RuntimeError(f"{argv[0]} exited {proc.returncode}: " + "\n".join(lines[-5:]))

    def value(self, name):
        for line in self.lines:
            if line.startswith(name + " "):
                return float(line.split()[1])
        return None


def run(argv, first_output, env, attempts=3):
    """A Run, tried again when the process fails (a shared machine's X server may go away under it)."""
    for attempt in range(attempts):
        try:
            return Run(argv, first_output, env)
        except RuntimeError as error:
            if attempt + 1 == attempts:
                raise
            print(f"retrying after: {error}", file=sys.stderr)
    return None


def ffplay_first(text):
    # The status line begins with the playing time once output runs ("nan" before).
    return re.match(r"^\s*\d+\.\d+\s+(A-V|M-A|M-V)", text) is not None


def mpv_first(text):
    # The status line ("A: 00:00:01 / ..." or "AV: ..."), after the terminal's escape sequences.
    text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", text)
    return re.match(r"^\s*(\(Paused\)\s*)?(AV|A|V):\s*\d", text) is not None


def measure_ffplay(clip, video, env, within=None):
    """The whole playback and the start at 10 s; within(fn) may give each its own display (fn(env))."""
    within = within or (lambda fn: fn(env))
    base = ["ffplay", "-autoexit", "-loglevel", "info", "-stats"]
    if not video:
        base.append("-nodisp")
    full = within(lambda e: run([*base, str(clip)], ffplay_first, e))
    seek = within(lambda e: run([*base, "-ss", str(SEEK_TO), "-t", "2", str(clip)], ffplay_first, e))
    return full, seek


def measure_mpv(clip, video, env, within=None):
    within = within or (lambda fn: fn(env))
    base = ["mpv", "--no-config", "--hwdec=no", "--ao=null", "--vo=x11" if video else "--vo=null"]
    full = within(lambda e: run([*base, str(clip)], mpv_first, e))
    seek = within(lambda e: run([*base, f"--start={SEEK_TO}", "--length=2", str(clip)], mpv_first, e))
    return full, seek


def measure_engine(runner, clip, video, env, within=None):
    within = within or (lambda fn: fn(env))
    # Without video nothing is shown, as with ffplay's -nodisp and mpv's null video output.
    runner = [runner] if video else [runner, "--no-display"]
    full = within(lambda e: run([*runner, str(clip)], lambda line: line.startswith("first_output "), e))
    full.pictures = any(line == "first_output picture" for line in full.lines)
    seek = within(lambda e: run([*runner, str(clip), "--seek", str(SEEK_TO)], lambda line: line == "seek_output",
                                e))
    return full, seek


def summarise(player, full, seek, media_s):
    return {
        "player": player,
        "cpu_per_media_s": full.cpu_s / media_s,
        "peak_rss_mb": full.rss_mb,
        "first_output_ms": full.first_ms,
        "seek_output_ms": seek.first_ms,
        "pictures": getattr(full, "pictures", None),
    }


def median_row(rows):
    out = dict(rows[0])
    for key in ("cpu_per_media_s", "peak_rss_mb", "first_output_ms", "seek_output_ms"):
        values = [r[key] for r in rows if r[key] is not None]
        out[key] = statistics.median(values) if values else None
    return out


def fmt(value, spec):
    return "n/a" if value is None else format(value, spec)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runner", required=True, help="path of strevio_playback_runner")
    parser.add_argument("--clips", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "strevio-bench-clips"))
    parser.add_argument("--runs", type=int, default=1, help="runs per player and clip (medians are shown)")
    args = parser.parse_args()

    run_with_display(lambda env: run_all(args, env))


def run_with_display(run, fresh=False):
    """Calls run(env) with sound to a dummy device and pictures to the X server: a private Xvfb when no
    DISPLAY is set, or always when fresh is set (so that no run inherits another's server state)."""
    server = None
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", SDL_VIDEODRIVER="x11")
    if fresh or not env.get("DISPLAY"):
        server, env["DISPLAY"] = start_xvfb()
    try:
        return run(env)
    finally:
        if server:
            server.terminate()
            server.wait()


def start_xvfb():
    """A private X server that picks a free display itself; local clients need no cookie."""
    if not shutil.which("Xvfb"):
        sys.exit("no DISPLAY and no Xvfb")
    read_fd, write_fd = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1920x1080x24",
                               "-nolisten", "tcp", "-ac", "-noreset"], pass_fds=(write_fd,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    if not number:
        sys.exit("Xvfb did not start")
    return server, ":" + number


def run_all(args, env):
    clips = make_clips(Path(args.clips))
    players = [("engine", lambda c, v: measure_engine(args.runner, c, v, env))]
    for name, fn in (("ffplay", measure_ffplay), ("mpv", measure_mpv)):
        if shutil.which(name):
            players.append((name, lambda c, v, fn=fn: fn(c, v, env)))
        else:
            print(f"{name}: not installed, left out")

    for clip_name, clip in clips.items():
        video = clip_name.endswith(".mp4")
        rows = []
        for player, measure in players:
            runs = [summarise(player, *measure(clip, video), CLIP_SECONDS) for _ in range(args.runs)]
            rows.append(median_row(runs))
        print(f"\n{clip_name} ({'video + audio' if video else 'audio only'}, {CLIP_SECONDS:.0f} s)")
        print(f"{'player':8} {'CPU s/media s':>14} {'peak RSS MB':>12} {'first output ms':>16} {'output at 10 s ms':>18}")
        for r in rows:
            print(f"{r['player']:8} {fmt(r['cpu_per_media_s'], '14.3f')} {fmt(r['peak_rss_mb'], '12.1f')} "
                  f"{fmt(r['first_output_ms'], '16.1f')} {fmt(r['seek_output_ms'], '18.1f')}")
        engine = rows[0]
        if video and not engine["pictures"]:
            print("engine: no pictures were played (its video output is not there); its figures are for sound")
        for other in rows[1:]:
            ratios = []
            for key, label in (("cpu_per_media_s", "CPU"), ("peak_rss_mb", "RSS"),
                               ("first_output_ms", "first output"), ("seek_output_ms", "output at 10 s")):
                a, b = engine[key], other[key]
                ratios.append(f"{label} {a / b:.2f}x" if a is not None and b else f"{label} n/a")
            print(f"engine / {other['player']}: " + ", ".join(ratios))


if __name__ == "__main__":
    main()

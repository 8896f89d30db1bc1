#!/usr/bin/env python3
"""Playback cost of the whole player program beside the engine alone, ffplay and mpv.

Four kinds of generated clip, 20 s each: 720p25 H.264 + AAC, 1080p30 H.264 + AAC, MP3 (the program shows
its waves view) and 640x360 MPEG-4 + MP3 in AVI. For each clip and player: CPU seconds per media second
(user + system of the process over a whole playback), peak resident memory, the time to the first output
from the process start (a picture; sound for the audio-only clip) and the time to the first output at
10 s when the player is started there, then each one's ratios to mpv.

Runs are interleaved (run 1 of every clip and player, then run 2, ...) and each process gets a fresh
private Xvfb; medians are shown. Decoding is software only, sound goes to a dummy or null device.

- strevio: the program itself (player/strevio), started on the clip as a user would, with its own empty
  HOME and XDG folders so that no settings leak in or out. Its times come from the lines it writes when
  STREVIO_BENCH_REPORT is set (engine/base/BenchReport.h: the monotonic time of its first picture or sound and
  of the file's end); at the end it is closed by SIGTERM, as a session end closes it. STREVIO_BENCH_START
  makes it start the file at 10 s (its open seeks there before decoding).
- engine: bench's strevio_playback_runner, as in engine_playback.py (it seeks right after its open).
- ffplay and mpv are started at 10 s with their start options.

    bench/program_playback.py --program build-rel/player/strevio \\
        --runner build-rel/bench/strevio_playback_runner [--runs 3]
"""

import argparse
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from engine_playback import (SEEK_TO, fmt, make_clips, measure_engine, measure_ffplay, measure_mpv, median_row,
                             run_with_display, summarise)

CLIP_SECONDS = 20.0


def h264_aac(size, rate):
    return [
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}:duration=20",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
        "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", str(2 * rate),
        "-c:a", "aac", "-ac", "2", "-shortest",
    ]


CLIPS = {
    "h264_aac_720p25_20s.mp4": h264_aac("1280x720", 25),
    "h264_aac_1080p30_20s.mp4": h264_aac("1920x1080", 30),
    "audio_20s.mp3": [
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
        "-ac", "2", "-c:a", "libmp3lame", "-b:a", "192k",
    ],
    "mpeg4_mp3_360p_20s.avi": [
        "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=20",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
        "-c:v", "mpeg4", "-q:v", "4", "-c:a", "libmp3lame", "-b:a", "128k", "-ac", "2", "-shortest",
    ],
}
LABELS = {
    "h264_aac_720p25_20s.mp4": "720p25 H.264 + AAC",
    "h264_aac_1080p30_20s.mp4": "1080p30 H.264 + AAC",
    "audio_20s.mp3": "MP3 (waves shown)",
    "mpeg4_mp3_360p_20s.avi": "640x360 MPEG-4 + MP3 AVI",
}
KEYS = ("cpu_per_media_s", "peak_rss_mb", "first_output_ms", "seek_output_ms")


class ProgramRun:
    """One run of the player program: CPU, peak memory and the time of its first output (from the process
    start) at or after a position; the program is closed once that output came (with a start position)
    or once the file has ended."""

    def __init__(self, program, clip, video, env, start=None, limit_s=CLIP_SECONDS * 3 + 30):
        want = "first_picture" if video else "first_sound"
        self.first_ms = None
        with tempfile.TemporaryDirectory(prefix="strevio-bench-home-") as home:
            env = dict(env, HOME=home, XDG_CONFIG_HOME=f"{home}/config", XDG_DATA_HOME=f"{home}/data",
                       XDG_CACHE_HOME=f"{home}/cache", XDG_RUNTIME_DIR=f"{home}/run",
                       STREVIO_BENCH_REPORT="1",
                       # A desktop has a session bus; an empty HOME would make the toolkit start one.
                       DBUS_SESSION_BUS_ADDRESS=os.environ.get("DBUS_SESSION_BUS_ADDRESS",
                                                               f"unix:path={home}/no-bus"))
            os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
            if start is not None:
                env["STREVIO_BENCH_START"] = str(start)
            begin = time.monotonic()
            proc = subprocess.Popen([program, str(clip)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    env=env)
            ended = self._watch(proc, want, begin, start, limit_s)
            proc.send_signal(signal.SIGTERM)
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
            proc.stdout.close()
        self.cpu_s = usage.ru_utime + usage.ru_stime
        self.rss_mb = usage.ru_maxrss / 1024.0
        if not ended:
            raise RuntimeError(f"{program} did not {'reach the start' if start else 'end'} on {clip}")

    def _watch(self, proc, want, begin, start, limit_s):
        """Reads the report lines until the awaited one; False when the limit passed first."""
        buf = b""
        deadline = begin + limit_s
        while time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 1.0)
            if not ready:
                continue
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                return False
            buf += chunk
            *lines, buf = buf.split(b"\n")
            for line in lines:
                words = line.decode(errors="replace").split()
                if not words:
                    continue
                if words[0] == want and self.first_ms is None and len(words) >= 3:
                    if start is None or float(words[2]) >= start - 1.0:
                        self.first_ms = (float(words[1]) - begin) * 1000.0
                        if start is not None:
                            return True
                if words[0] == "file_end" and start is None:
                    return True
        return False


def measure_program(program, clip, video, env_for):
    full = env_for(lambda env: ProgramRun(program, clip, video, env))
    seek = env_for(lambda env: ProgramRun(program, clip, video, env, start=SEEK_TO))
    return full, seek


def ratio(a, b):
    return "n/a" if a is None or not b else f"{a / b:.2f}x"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="path of the strevio program")
    parser.add_argument("--runner", required=True, help="path of strevio_playback_runner")
    parser.add_argument("--clips", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "strevio-bench-clips"))
    parser.add_argument("--runs", type=int, default=3, help="runs per player and clip (medians are shown)")
    parser.add_argument("--only", nargs="*", help="players to run (strevio, engine, ffplay, mpv)")
    parser.add_argument("--clip", nargs="*", help="clip names to run (default: all four)")
    args = parser.parse_args()

    def env_for(fn):
        # A fresh X server for every process.
        return run_with_display(fn, fresh=True)

    players = [
        ("strevio", lambda c, v: measure_program(args.program, c, v, env_for)),
        ("engine", lambda c, v: measure_engine(args.runner, c, v, None, env_for)),
    ]
    for name, fn in (("ffplay", measure_ffplay), ("mpv", measure_mpv)):
        if shutil.which(name):
            players.append((name, lambda c, v, fn=fn: fn(c, v, None, env_for)))
        else:
            print(f"{name}: not installed, left out")
    if args.only:
        players = [p for p in players if p[0] in args.only]
    clips = make_clips(Path(args.clips), CLIPS)
    if args.clip:
        clips = {k: v for k, v in clips.items() if k in args.clip}

    runs = {(clip, player): [] for clip in clips for player, _ in players}
    for number in range(args.runs):
        for clip_name, clip in clips.items():
            video = not clip_name.endswith(".mp3")
            for player, measure in players:
                runs[(clip_name, player)].append(summarise(player, *measure(clip, video), CLIP_SECONDS))
        print(f"run {number + 1} of {args.runs} done", flush=True)

    print("\n| clip (20 s) | player | CPU s per media s | peak RSS MB | first output ms | output at 10 s ms |"
          " CPU / mpv | RSS / mpv | first / mpv | at 10 s / mpv |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for clip_name in clips:
        rows = [median_row(runs[(clip_name, player)]) for player, _ in players]
        mpv = next((r for r in rows if r["player"] == "mpv"), None)
        for index, r in enumerate(rows):
            label = LABELS[clip_name] if index == 0 else ""
            ratios = [ratio(r[key], mpv[key]) if mpv else "n/a" for key in KEYS]
            print(f"| {label} | {r['player']} | {fmt(r['cpu_per_media_s'], '.3f')} | "
                  f"{fmt(r['peak_rss_mb'], '.1f')} | {fmt(r['first_output_ms'], '.0f')} | "
                  f"{fmt(r['seek_output_ms'], '.0f')} | " + " | ".join(ratios) + " |")


if __name__ == "__main__":
    main()

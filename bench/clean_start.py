#!/usr/bin/env python3
"""How cleanly playback starts, for the engine beside ffplay and mpv, at the open and after a seek.

For each clip (H.264 + AAC at 720p and 1080p) and player: the time from the first picture to the first
sound (positive: the sound comes later), and the pictures skipped in the first 2 s of media, once from
the start of the file and once from 10 s (the engine seeks there after its open; ffplay and mpv are
started there).

- engine: its own records (bench's strevio_playback_runner --start-facts): when the first picture was
  shown, when the first decoded sound went to the device, and its skipped-picture counters.
- mpv: its verbose log ("first video frame after restart shown", "starting audio playback") and its
  frame-drop-count at 2 s.
- ffplay: the "fd=" count of its status line at 2 s; it logs nothing on its first picture or sound, so
  that column is n/a.

Audio goes to a dummy or null device that keeps real time, pictures to the X display (a private Xvfb
when there is none). Configure with -DSTREVIO_BUILD_BENCH=ON and build strevio_playback_runner.

    bench/clean_start.py --runner build-bench/bench/strevio_playback_runner [--runs 3]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile
from pathlib import Path

from engine_playback import make_clips, run_with_display

SEEK_TO = 10.0
SPAN = 2.0
CLIPS = {
    f"h264_aac_{size}_20s.mp4": [
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30:duration=20",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
        "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "60",
        "-c:a", "aac", "-ac", "2", "-shortest",
    ]
    for size in ("1280x720", "1920x1080")
}


def output_of(argv, env, timeout=120):
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, timeout=timeout)
    text = done.stdout.decode(errors="replace")
    if done.returncode != 0:
        raise RuntimeError(f"{argv[0]} exited {done.returncode}: {text[-400:]}")
    return text


def engine_starts(runner, clip, env):
    text = output_of([runner, str(clip), "--start-facts", "--seek", str(SEEK_TO)], env)
    facts = dict(line.split(" ", 1) for line in text.splitlines() if re.match(r"^(start|seek)_\w+ ", line))
    return [{"av_ms": float(facts[f"{kind}_sound_minus_picture_ms"]),
             "skipped": int(facts[f"{kind}_skipped_2s"])} for kind in ("start", "seek")]


def ffplay_start(clip, start, env):
    argv = ["ffplay", "-autoexit", "-stats", "-loglevel", "info", "-t", str(SPAN + 0.5)]
    if start:
        argv += ["-ss", str(start)]
    text = output_of([*argv, str(clip)], env)
    skipped = None
    for line in re.split(r"[\r\n]", text):
        m = re.match(r"^\s*(\d+\.\d+)\s+(?:A-V|M-A|M-V).*?fd=\s*(\d+)", line)
        if m and float(m.group(1)) <= start + SPAN:
            skipped = int(m.group(2))
    return {"av_ms": None, "skipped": skipped}


def mpv_start(clip, start, env):
    with tempfile.TemporaryDirectory() as folder:
        log = Path(folder) / "mpv.log"
        argv = ["mpv", "--no-config", "--hwdec=no", "--ao=null", "--vo=x11", f"--length={SPAN + 0.5}",
                f"--log-file={log}", "--term-status-msg=STAT ${=time-pos} ${frame-drop-count}"]
        if start:
            argv.append(f"--start={start}")
        text = output_of([*argv, str(clip)], env)
        times = {}
        for line in log.read_text(errors="replace").splitlines():
            m = re.match(r"^\[\s*(\d+\.\d+)\]\[\w\]\[cplayer\] (first video frame after restart shown|"
                         r"starting audio playback)", line)
            if m and m.group(2) not in times:
                times[m.group(2)] = float(m.group(1)) * 1000.0
    skipped = None
    for line in re.split(r"[\r\n]", text):
        m = re.search(r"STAT (\d+\.\d+) (\d+)", line)
        if m and float(m.group(1)) <= start + SPAN:
            skipped = int(m.group(2))
    picture = times.get("first video frame after restart shown")
    sound = times.get("starting audio playback")
    av = sound - picture if picture is not None and sound is not None else None
    return {"av_ms": av, "skipped": skipped}


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, spec):
    width = re.match(r"\d*", spec).group(0)
    return format("n/a", f">{width}") if value is None else format(value, spec)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runner", required=True, help="path of strevio_playback_runner")
    parser.add_argument("--clips", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "strevio-bench-clips"))
    parser.add_argument("--runs", type=int, default=3, help="runs per player and clip (medians are shown)")
    args = parser.parse_args()

    run_with_display(lambda env: run_all(args, env))


def run_all(args, env):
    players = [("engine", lambda clip: engine_starts(args.runner, clip, env))]
    for name, fn in (("ffplay", ffplay_start), ("mpv", mpv_start)):
        if shutil.which(name):
            players.append((name, lambda clip, fn=fn: [fn(clip, 0.0, env), fn(clip, SEEK_TO, env)]))
        else:
            print(f"{name}: not installed, left out")
    print(f"{'clip':28} {'player':8} {'sound - picture ms':>19} {'skipped in 2 s':>15} "
          f"{'after seek: sound - picture ms':>31} {'skipped in 2 s':>15}")
    for clip_name, clip in make_clips(Path(args.clips), CLIPS).items():
        for player, measure in players:
            runs = [measure(clip) for _ in range(args.runs)]
            start = [r[0] for r in runs]
            seek = [r[1] for r in runs]
            worst = max((r["skipped"] for r in start if r["skipped"] is not None), default=None)
            print(f"{clip_name:28} {player:8} {fmt(median([r['av_ms'] for r in start]), '19.1f')} "
                  f"{fmt(median([r['skipped'] for r in start]), '15.0f')} "
                  f"{fmt(median([r['av_ms'] for r in seek]), '31.1f')} "
                  f"{fmt(median([r['skipped'] for r in seek]), '15.0f')}"
                  f"   (worst start: {fmt(worst, 'd')})")


if __name__ == "__main__":
    main()

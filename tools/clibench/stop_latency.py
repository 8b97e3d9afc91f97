#!/usr/bin/env python3
"""How long brivelle-cli takes to end after Ctrl-C in the middle of a tile.

Starts the command line on one picture, waits until the network is inside a tile (the plan is
announced and --wait seconds have passed), sends SIGINT and measures the time until the process
has exited. It also reports how long one tile takes on the same settings, which is what a stop
between tiles would have waited for at worst.

  tools/clibench/stop_latency.py build/cli/brivelle-cli MODEL_FOLDER PICTURE [-d gpu] [-t 256]
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time


def run(cli, args, wait):
    out = tempfile.mkdtemp(prefix="stopbench-")
    proc = subprocess.Popen([cli, "-v", "-o", out] + args, stderr=subprocess.PIPE, text=True)
    tile_times = []
    planned = threading.Event()

    def read():
        for line in proc.stderr:
            if ": tile " in line:
                tile_times.append(time.monotonic())
                planned.set()

    reader = threading.Thread(target=read)
    reader.start()
    planned.wait()
    time.sleep(wait)
    if proc.poll() is not None:
        reader.join()
        return None, tile_times, out
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    proc.wait()
    latency = time.monotonic() - sent
    reader.join()
    return latency, tile_times, out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cli")
    parser.add_argument("models")
    parser.add_argument("picture")
    parser.add_argument("-d", default="cpu")
    parser.add_argument("-t", default=None)
    parser.add_argument("--wait", type=float, default=3.0)
    parser.add_argument("--runs", type=int, default=3)
    opts = parser.parse_args()
    args = ["-m", opts.models, "-d", opts.d] + (["-t", opts.t] if opts.t else []) + [opts.picture]
    latencies = []
    for _ in range(opts.runs):
        latency, tiles, out = run(opts.cli, args, opts.wait)
        left = [f for f in os.listdir(out)]
        if latency is None:
            print("the picture ended before the stop", file=sys.stderr)
            continue
        latencies.append(latency)
        gaps = [b - a for a, b in zip(tiles[1:], tiles[2:])]
        tile = f"{max(gaps):.2f} s a tile" if gaps else "first tile not finished"
        print(f"stop after {latency:.3f} s ({tile}); left in the output folder: {left}")
    if latencies:
        print(f"median stop latency: {sorted(latencies)[len(latencies) // 2]:.3f} s")


if __name__ == "__main__":
    main()

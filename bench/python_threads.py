#!/usr/bin/python3
"""How far two Python threads, each with its own halvern.Processor, run in parallel: the engine
releases the GIL while it works, so two threads on two processors should do twice the work of one
in about the same time (at least 1.7 times as fast).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_threads.py [seconds of audio per job]

Each job streams the example recording, repeated to the given length (default 600 s), through a
Processor in blocks of ten seconds, as a file is read in blocks. One thread runs two jobs one after
the other; then two threads run one job each at the same time. The best of seven rounds is kept
for each, since other programs on the machine slow some rounds down. (With blocks of 0.1 s, 5
frames, the Python code between blocks, which holds the GIL, starts to count.)
"""

import sys
import threading
import time
from pathlib import Path

import numpy as np

import halvern

ROOT = Path(__file__).resolve().parents[1]


def job(samples, tuning):
    processor = halvern.Processor(tuning)
    block = 10 * halvern.SAMPLE_RATE
    for at in range(0, len(samples), block):
        processor.process(samples[at:at + block])
    processor.flush()


def timed(run):
    """Wall seconds and the process's CPU seconds of run()."""
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def one_thread(samples, tuning):
    def run():
        job(samples, tuning)
        job(samples, tuning)
    return timed(run)


def two_threads(samples, tuning):
    threads = [threading.Thread(target=job, args=(samples, tuning)) for _ in range(2)]

    def run():
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return timed(run)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
    example = halvern.read(ROOT / "examples" / "speech_howl.pcm")
    n = int(seconds * halvern.SAMPLE_RATE)
    samples = np.resize(example, n)
    tuning = halvern.Tuning.load(ROOT / "examples" / "tuning.txt")
    job(samples[: 10 * halvern.SAMPLE_RATE], tuning)  # warm up
    one = min(one_thread(samples, tuning) for _ in range(7))
    two = min(two_threads(samples, tuning) for _ in range(7))
    print(f"two jobs of {seconds:.0f} s of audio: one thread {one[0]:.3f} s, "
          f"two threads {two[0]:.3f} s")
    print(f"two threads run {one[0] / two[0]:.2f}x as fast as one (target: at least 1.7x)")
    # CPU seconds per wall second: 1 for one busy thread, 2 for two that run in parallel. Less
    # means other programs had the processors; the figure above then says little.
    print(f"CPU use: one thread {one[1] / one[0]:.2f}, two threads {two[1] / two[0]:.2f} "
          "processors busy")


if __name__ == "__main__":
    main()

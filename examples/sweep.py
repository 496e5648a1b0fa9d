#!/usr/bin/python3
"""Sweeps one tuning slot over the example recording and plots the output's level against it.

    PYTHONPATH=build/python /usr/bin/python3 examples/sweep.py                 # dyn_makeup_db
    PYTHONPATH=build/python /usr/bin/python3 examples/sweep.py --slot dyn_comp_threshold \\
        --values 0:40:2 --output threshold.png

For every value the recording runs through the engine with the example tuning and that one slot
changed; the RMS and peak levels of the output (dBFS, from numpy) are plotted against the value
into a PNG. The engine releases the GIL, so the values run on threads in parallel.
"""

import argparse
from concurrent.futures import ThreadPoolExecutor
import copy
import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt
import numpy as np

import halvern

HERE = Path(__file__).resolve().parent


def levels_dbfs(samples):
    """RMS and peak of int16 samples in dBFS (full scale 32768); -inf for silence."""
    x = samples.astype(np.float64)
    with np.errstate(divide="ignore"):
        rms = 20 * np.log10(np.sqrt(np.mean(x * x)) / 32768) if len(x) else -np.inf
        peak = 20 * np.log10(np.max(np.abs(x)) / 32768) if len(x) else -np.inf
    return rms, peak


def value_range(text, slot):
    """'a:b:step' (b excluded, as range()), or the slot's documented range."""
    if text:
        parts = [int(p) for p in text.split(":")]
        return list(range(*parts))
    entry = halvern.slot_catalogue()[slot]
    if entry["min"] is None:
        raise SystemExit(f"sweep: slot {slot} {entry['name']} has no documented range: "
                         "give --values a:b:step")
    return list(range(entry["min"], entry["max"] + 1))


def main():
    parser = argparse.ArgumentParser(description="sweep one tuning slot over a recording and plot "
                                                 "the output level against it")
    parser.add_argument("--slot", default="dyn_makeup_db",
                        help="slot name or number (default: %(default)s)")
    parser.add_argument("--values",
                        help="values as start:stop:step, stop excluded (default: the slot's range)")
    parser.add_argument("--input", default=HERE / "speech_howl.pcm",
                        help="recording (default: the example)")
    parser.add_argument("--tuning", default=HERE / "tuning.txt",
                        help="tuning file (default: the example)")
    parser.add_argument("--output", default="sweep.png",
                        help="the PNG to write (default: %(default)s)")
    args = parser.parse_args()

    tuning = halvern.Tuning.load(args.tuning)
    names = [s["name"] for s in halvern.slot_catalogue()]
    if args.slot.isdigit() and int(args.slot) < len(names):
        slot = int(args.slot)
    elif args.slot in names:
        slot = names.index(args.slot)
    else:
        raise SystemExit(f"sweep: no slot {args.slot!r}: give a number 0..84 or a name such as "
                         "dyn_makeup_db")
    name = names[slot]
    values = value_range(args.values, slot)
    samples = halvern.read(args.input)

    def level_at(value):
        t = copy.copy(tuning)
        t[slot] = value
        return levels_dbfs(halvern.process(samples, t))

    with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        rms, peak = zip(*pool.map(level_at, values))

    unit = halvern.slot_catalogue()[slot]["unit"]
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot(values, rms, marker="o", label="RMS")
    ax.plot(values, peak, marker="s", label="peak")
    ax.set_xlabel(f"slot {slot} {name}" + (f" ({unit})" if unit else ""))
    ax.set_ylabel("output level (dBFS)")
    ax.set_title(f"{Path(args.input).name}: output level against {name}")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(args.output, dpi=100)
    print(f"{args.output}: {len(values)} values of {name}, "
          f"RMS {min(rms):.1f} to {max(rms):.1f} dBFS")


if __name__ == "__main__":
    main()

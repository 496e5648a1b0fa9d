"""The Python module against the programs: halvern-sim's bytes, halvern run's trace and
statistics, halvern check and explain. Run by CTest (python_module) with PYTHONPATH at the
module of the build folder and HALVERN_BUILD_DIR at the programs."""

import csv
import json
import os
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np
import pytest

import halvern

SOURCE = Path(os.environ.get("HALVERN_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("HALVERN_BUILD_DIR", SOURCE / "build"))
EXAMPLE = SOURCE / "examples" / "speech_howl.pcm"
TUNING = SOURCE / "examples" / "tuning.txt"


def program(name, *args):
    return subprocess.run([str(BUILD / name), *map(str, args)], check=True, capture_output=True)


@pytest.fixture(scope="module")
def example():
    return np.fromfile(EXAMPLE, dtype="<i2")


def sim_output(tmp_path, tuning_path, samples):
    """halvern-sim's output for samples, as an int16 array."""
    source = tmp_path / "in.pcm"
    samples.astype("<i2").tofile(source)
    program("halvern-sim", source, tmp_path / "sim.pcm", tuning_path)
    return np.fromfile(tmp_path / "sim.pcm", dtype="<i2")


def test_process_gives_halvern_sim_bytes_for_any_chunking(tmp_path, example):
    # A partial frame at the end, and a tuning changed through the module and saved.
    samples = example[:-77]
    tuning = halvern.Tuning.load(TUNING)
    tuning["dyn_makeup_db"] = 12
    tuning[59] = 30
    tuning.save(tmp_path / "tuning.txt")
    expect = sim_output(tmp_path, tmp_path / "tuning.txt", samples)
    assert len(expect) == len(samples) // 320 * 320

    whole = halvern.process(samples, tuning)
    assert whole.dtype == np.int16 and np.array_equal(whole, expect)
    assert np.array_equal(halvern.process(samples.reshape(-1, 1), tuning), expect)  # one column

    processor = halvern.Processor(tuning)
    rng = np.random.default_rng(20)
    for high in (1, 10, 700, 5000):
        chunks, at = [], 0
        while at < len(samples):
            n = int(rng.integers(1, high + 1))
            chunks.append(processor.process(samples[at:at + n]))
            at += n
        chunks.append(processor.flush())
        assert np.array_equal(np.concatenate(chunks), expect), f"chunks of 1..{high}"
    assert (processor.latency, processor.delay) == (319 + 142, 142)  # every stage on

    # pad=True equals halvern-sim on the input padded with zeros to a whole frame.
    padded = np.concatenate([samples, np.zeros(77, np.int16)])  # the example is whole frames
    assert np.array_equal(halvern.process(samples, tuning, pad=True),
                          sim_output(tmp_path, tmp_path / "tuning.txt", padded))


def test_float_and_other_types_are_refused(example):
    tuning = halvern.Tuning.load(TUNING)
    for wrong in (example / 32768.0, example.astype(np.float32)):
        with pytest.raises(TypeError, match=r"does not round.*astype\(numpy.int16\)"):
            halvern.process(wrong, tuning)
    with pytest.raises(TypeError, match="astype"):
        halvern.Processor(tuning).process(example.astype(np.int32))
    with pytest.raises(TypeError, match="numpy.asarray"):
        halvern.process([1, 2, 3], tuning)
    with pytest.raises(ValueError, match="one column"):
        halvern.process(np.zeros((640, 2), np.int16), tuning)


def test_save_after_one_change_differs_only_in_that_value(tmp_path):
    original = TUNING.read_bytes()
    path = tmp_path / "tuning.txt"
    path.write_bytes(original)
    tuning = halvern.Tuning.load(path)
    assert tuning["dyn_makeup_db"] == tuning[12] == 6
    tuning["dyn_makeup_db"] = 9
    tuning.save()

    before, after = original.splitlines(keepends=True), path.read_bytes().splitlines(keepends=True)
    assert len(before) == len(after)
    changed = [(a, b) for a, b in zip(before, after) if a != b]
    assert changed == [(b"dyn_makeup_db 6\n", b"dyn_makeup_db 9\n")]
    assert halvern.Tuning.load(path)[12] == 9
    assert list(os.listdir(tmp_path)) == ["tuning.txt"]  # no temporary file left

    with pytest.raises(KeyError):
        tuning["no_such_slot"] = 1
    with pytest.raises(ValueError):
        tuning[12] = 40000


def test_check_and_explain_equal_the_commands(tmp_path):
    path = tmp_path / "faulty.txt"
    text = TUNING.read_text().replace("dyn_makeup_db 6", "dyn_makeup_db 60")
    path.write_text(text.replace("hp_cutoff_hz 100", "hp_cutoff_hz loud"))
    tuning = halvern.Tuning.load(path)
    check = subprocess.run([str(BUILD / "halvern"), "check", str(path)], capture_output=True,
                           text=True)
    assert [f.text for f in tuning.check()] == check.stdout.splitlines()
    assert any(f.severity == "error" and f.line == 2 for f in tuning.check())
    explain = json.loads(program("halvern", "explain", "--json", path).stdout)
    assert tuning.explain() == explain

    # A change shows in the findings before it is saved.
    tuning = halvern.Tuning.load(TUNING)
    assert tuning.check() == []
    tuning["dyn_makeup_db"] = 60
    assert [f.slot for f in tuning.check()] == [12]


def test_run_trace_equals_halvern_run_trace(tmp_path, example):
    program("halvern", "run", "-q", EXAMPLE, tmp_path / "out.pcm", TUNING, "--trace",
            tmp_path / "trace", "--stats", tmp_path / "stats.json")
    result = halvern.run(example, halvern.Tuning.load(TUNING), trace=True)

    names = sorted(p.stem for p in (tmp_path / "trace").glob("*.pcm"))
    assert list(result["signals"]) == names  # the trace files' names, in chain order
    for name, signal in result["signals"].items():
        assert np.array_equal(signal, np.fromfile(tmp_path / "trace" / f"{name}.pcm", "<i2")), name
    assert np.array_equal(result["output"], np.fromfile(tmp_path / "out.pcm", "<i2"))

    with open(tmp_path / "trace" / "frames.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    frames = result["frames"]
    assert list(frames) == list(rows[0])
    for column, values in frames.items():
        written = np.array([float(row[column]) for row in rows])
        ours = np.where(np.isneginf(values), -999.0, values)
        assert np.allclose(ours, written, rtol=0, atol=5.1e-5), column  # %.4f

    stats = json.loads((tmp_path / "stats.json").read_text())
    for timed in ("wall_seconds", "speed_x_real_time"):
        del stats[timed], result["stats"][timed]
    assert result["stats"] == stats


def test_read_and_write_use_the_audio_files_of_run(tmp_path, example):
    halvern.write(tmp_path / "x.flac", example)
    assert np.array_equal(halvern.read(tmp_path / "x.flac"), example)
    assert np.array_equal(halvern.read(EXAMPLE), example)

    stereo = tmp_path / "stereo8k.wav"
    with wave.open(str(stereo), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(np.stack([example[:800], -example[:800]], axis=1).astype("<i2").tobytes())
    with pytest.raises(halvern.Error, match="channel=N"):
        halvern.read(stereo)
    with pytest.raises(halvern.Error, match="resample=True"):
        halvern.read(stereo, channel=2)
    assert len(halvern.read(stereo, resample=True, channel=2)) == 1600


def test_sweep_example_writes_its_plot(tmp_path):
    pytest.importorskip("matplotlib")
    subprocess.run([sys.executable, str(SOURCE / "examples" / "sweep.py"), "--values", "0:19:9",
                    "--output", str(tmp_path / "sweep.png")], check=True, capture_output=True)
    assert (tmp_path / "sweep.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

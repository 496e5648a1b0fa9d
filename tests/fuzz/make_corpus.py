#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/tuning and corpus/engine.

Engine seeds are 85 little-endian tuning slots followed by a few frames of signal: silence, DC,
full-scale square waves, white noise, sweeps and howling tones, under realistic tunings.
"""
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, '..', '..', 'examples', 'tuning.txt')


def example_slots():
    values = [int(line.split()[1]) for line in open(EXAMPLE) if line.strip()]
    return values[:85]


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def main():
    rng = random.Random(7)
    tuning_dir = os.path.join(HERE, 'corpus', 'tuning')
    engine_dir = os.path.join(HERE, 'corpus', 'engine')

    example_text = open(EXAMPLE, 'rb').read()
    write(tuning_dir, 'example', example_text)
    write(tuning_dir, 'empty', b'')
    write(tuning_dir, 'crlf', example_text.replace(b'\n', b'\r\n'))
    write(tuning_dir, 'bom', b'\xef\xbb\xbf' + example_text)
    write(tuning_dir, 'one_line', example_text.replace(b'\n', b' '))
    write(tuning_dir, 'huge_numbers', b'a 99999999999999999999999\nb -123456789012345678901\nc 40000\n')
    write(tuning_dir, 'signs', b'a - 5\nb +\nc -x\nd +-3\ne 7')
    write(tuning_dir, 'words', b'mask loud\nhp 100\ngain 12abc 7\nend')
    write(tuning_dir, 'binary', bytes(rng.randrange(256) for _ in range(300)))
    write(tuning_dir, 'long_name', b'n' * 5000 + b' 31\nx 100')
    write(tuning_dir, 'ends_in_token', b'mask 31\nhp_cutoff 10')

    n = 320 * 6
    signals = {
        'silence': [0] * n,
        'dc': [12000] * n,
        'square': [32767 if (i // 20) % 2 else -32768 for i in range(n)],
        'noise': [rng.randint(-32768, 32767) for _ in range(n)],
        'sweep': [int(20000 * math.sin(2 * math.pi * (100 * i + 3.3 * i * i / 2) / 16000)) for i in range(n)],
        'howl': [int(min(1.0, i / n * 2) * 30000 * math.sin(2 * math.pi * 2700 * i / 16000)) for i in range(n)],
    }
    base = example_slots()
    tunings = {'all': base}
    for name, mask in (('highpass', 1), ('dynamics', 2), ('equalizer', 4), ('dither', 8), ('suppressor', 16)):
        t = list(base)
        t[0] = mask
        tunings[name] = t
    hot = list(base)
    hot[63:77] = [0] * 14
    hot[79] = 32767
    hot[12], hot[58], hot[59] = 18, 240, 204
    tunings['hot'] = hot
    zero = [0] * 85
    zero[0] = 31
    tunings['zero'] = zero
    pairs = [(t, s) for t in tunings for s in signals]
    for tname, sname in pairs:
        slots = struct.pack('<85h', *tunings[tname])
        samples = struct.pack('<%dh' % n, *[max(-32768, min(32767, v)) for v in signals[sname]])
        write(engine_dir, '%s_%s' % (tname, sname), slots + samples)


if __name__ == '__main__':
    main()

#!/bin/bash
# Makes examples/speech_howl.pcm: about six seconds of synthesised speech at 16 kHz (raw signed
# 16-bit little-endian, mono) with a feedback howl mixed in part-way: a 2.7 kHz tone that starts
# at 2.0 s far below the speech and builds up by about 45 dB over two seconds, as a howl does.
# Needs espeak-ng and sox (Debian packages espeak-ng and sox).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

espeak-ng -v en-us -s 150 -w "$work/speech.wav" \
  "Good morning. This is a short test of the voice engine. \
   The room is quiet at first, but the loudspeaker is too close to the microphone, \
   and soon a tone begins to ring and grows louder and louder."
# Resample to 16 kHz mono, bring the speech to about -6 dB peak, and pad or cut to 6 seconds.
sox "$work/speech.wav" -r 16000 -c 1 -b 16 "$work/speech16.wav" gain -n -6 pad 0 6
sox "$work/speech16.wav" "$work/speech6.wav" trim 0 6

# The howl: silent for 2 s, then a tone rising exponentially from -60 dBFS to -15 dBFS over 2 s
# and holding there.
sox -n -r 16000 -c 1 -b 16 "$work/tone.wav" synth 4 sine 2700 vol -15dB
sox -n -r 16000 -c 1 -b 16 "$work/silence.wav" trim 0 2
sox "$work/silence.wav" "$work/tone.wav" "$work/howl_flat.wav"
# Shape the build-up: an exponential (dB-linear) envelope from -45 dB to 0 dB between 2 s and 4 s.
python3 - "$work/howl_flat.wav" "$work/howl.wav" <<'PY'
import sys, wave, struct, math
src, dst = sys.argv[1], sys.argv[2]
with wave.open(src) as w:
    params = w.getparams()
    data = struct.unpack('<%dh' % w.getnframes(), w.readframes(w.getnframes()))
out = []
for n, v in enumerate(data):
    t = n / 16000.0
    db = -45.0 + 45.0 * min(max((t - 2.0) / 2.0, 0.0), 1.0)
    out.append(int(round(v * 10 ** (db / 20.0))))
with wave.open(dst, 'wb') as w:
    w.setparams(params)
    w.writeframes(struct.pack('<%dh' % len(out), *out))
PY
sox -m -v 1 "$work/speech6.wav" -v 1 "$work/howl.wav" -t raw -e signed-integer -b 16 -L -r 16000 -c 1 \
  "$here/speech_howl.pcm"
echo "wrote $here/speech_howl.pcm ($(stat -c %s "$here/speech_howl.pcm") bytes)"

#!/usr/bin/env python3
"""Independent witness for the stem separator.

Reads a 16-bit PCM WAV with Python's wave module, separates it with every arithmetic step
rounded to single precision (a double result of +, -, *, / rounded once to single equals
the single-precision operation), and writes the four stems as 16-bit WAV files.

Usage: stems.py IN.wav OUTDIR
"""
import math
import struct
import sys
import wave


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


TIME_CONSTANT = f32(0.00063661975)
GAINS = {name: f32(v) for name, v in
         [("bass", 1.4), ("thresh", 0.08), ("decay", 0.992), ("drums", 0.9),
          ("removal", 0.7), ("duck", 0.6), ("vocal", 0.85), ("other", 0.5)]}


def encode(x):
    if x != x:
        return 0
    if x > 1.0:
        return 32767
    if x < -1.0:
        return -32767
    return int(f32(x * 32767.0))  # int() truncates toward zero


def separate(samples, channels, rate):
    g = GAINS
    dt = f32(1.0 / f32(rate))
    alpha = f32(dt / f32(TIME_CONSTANT + dt))
    n = len(samples)
    out = {k: [0.0] * n for k in ("vocals", "drums", "bass", "other")}
    for c in range(channels):
        lp = env = prev = 0.0
        for i in range(c, n, channels):
            x = samples[i]
            lp = f32(lp + f32(alpha * f32(x - lp)))
            b = f32(lp * g["bass"])
            d = f32(x - prev)
            if abs(d) > g["thresh"]:
                env = 1.0
            else:
                env = f32(env * g["decay"])
            out["bass"][i] = b
            out["drums"][i] = f32(f32(x * env) * g["drums"])
            ducked = f32(1.0 - f32(env * g["duck"]))
            out["vocals"][i] = f32(f32(f32(x - f32(b * g["removal"])) * ducked) * g["vocal"])
            out["other"][i] = f32(x * g["other"])
            prev = x
    return out


def main():
    src, outdir = sys.argv[1], sys.argv[2]
    with wave.open(src, "rb") as w:
        channels, width, rate, frames = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
        assert width == 2, "16-bit input only"
        raw = w.readframes(frames)
    values = struct.unpack("<%dh" % (len(raw) // 2), raw)
    samples = [v * 0.000030517578125 for v in values]  # exact in single precision
    for name, data in separate(samples, channels, rate).items():
        with wave.open("%s/%s.wav" % (outdir, name), "wb") as w:
            w.setnchannels(channels)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes(struct.pack("<%dh" % len(data), *[encode(x) for x in data]))


if __name__ == "__main__":
    main()

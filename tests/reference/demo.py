#!/usr/bin/env python3
"""Independent witness for the demo track: renders it with every rounding step written out
(single precision via struct, the C library's expf through ctypes, double sin from math)
and writes it as a 16-bit WAV.

Usage: demo.py OUT.wav
"""
import ctypes
import ctypes.util
import math
import struct
import sys
import wave

libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.expf.restype = ctypes.c_float
libm.expf.argtypes = [ctypes.c_float]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def expf(x):
    return float(libm.expf(x))


def render(seconds, rate):
    n = int(f32(f32(seconds) * f32(rate)))
    out = []
    for i in range(n):
        t = f32(f32(i) / f32(rate))
        p = f32(math.fmod(t, 0.5))
        kick = 0.0
        if p < f32(0.15):
            f = f32(40.0 + f32(110.0 * expf(f32(-30.0 * p))))
            kick = f32(expf(f32(-15.0 * p)) * math.sin((f * 6.283185307179586) * p))
        bass = 0.0
        if p >= 0.25:
            q = f32(p - 0.25)
            bass = f32((expf(f32(-5.0 * q)) * math.sin(q * 517.7344788989778)) * 0.699999988079071)
        m = f32(math.fmod(t, 1.0))
        omega = 2764.601535159018 if m < 0.5 else 3287.6767119817187
        lead = math.sin(t * omega)
        mix = f32(f32(f32(lead * 0.30000001192092896) * f32(0.4)) +
                  f32(f32(bass * f32(0.6)) + f32(kick * f32(0.8))))
        out.append(min(1.0, max(-1.0, mix)))
    return out


def encode(x):
    if x > 1.0:
        return 32767
    if x < -1.0:
        return -32767
    return int(f32(x * 32767.0))


def main():
    data = render(3.0, 44100)
    with wave.open(sys.argv[1], "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(struct.pack("<%dh" % len(data), *[encode(x) for x in data]))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the WAV fuzzer's seed corpus: small valid files in every encoding the reader
decodes, and hostile ones that each break one thing a header promises.

Usage: make_corpus.py [DIR]   (default: the corpus/ directory beside this script)

Files named valid_* must split; files named bad_* must be refused. tests/faults.sh relies
on that split, so keep the prefixes honest when adding cases.
"""

import math
import os
import struct
import sys

PCM, FLOAT, EXTENSIBLE = 1, 3, 0xFFFE
SUBFORMAT_TAIL = bytes([0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])


def chunk(tag, payload, size=None):
    """A RIFF chunk with its pad byte; `size` overrides the declared length."""
    declared = len(payload) if size is None else size
    pad = b"\0" if len(payload) % 2 else b""
    return tag + struct.pack("<I", declared) + payload + pad


def fmt(code, channels, rate, bits, container=None, block_align=None):
    container = container or (bits + 7) // 8
    align = channels * container if block_align is None else block_align
    return struct.pack("<HHIIHH", code, channels, rate, rate * align & 0xFFFFFFFF, align, bits)


def fmt_extensible(sub_code, channels, rate, bits, container=None, tail=SUBFORMAT_TAIL):
    base = fmt(EXTENSIBLE, channels, rate, container and container * 8 or bits, container)
    valid_bits = bits
    return base + struct.pack("<HHIH", 22, valid_bits, (1 << channels) - 1, sub_code) + tail


def riff(*chunks, size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if size is None else size) + body


def tone(frames, channels):
    """A short chord-ish signal in [-1, 1] with a jump, so every stem gets something."""
    out = []
    for i in range(frames):
        for c in range(channels):
            v = 0.6 * math.sin(2 * math.pi * (i + 7 * c) / 16) + 0.3 * math.sin(i / 3.0)
            if i == frames // 2:
                v = -0.95
            out.append(max(-1.0, min(1.0, v)))
    return out


def encode(samples, kind):
    if kind == "u8":
        return bytes(int(round(s * 127)) + 128 for s in samples)
    if kind == "s16":
        return b"".join(struct.pack("<h", int(s * 32767)) for s in samples)
    if kind == "s24":
        return b"".join(struct.pack("<i", int(s * 8388607))[:3] for s in samples)
    if kind == "s32":
        return b"".join(struct.pack("<i", int(s * 2147483647)) for s in samples)
    if kind == "f32":
        return b"".join(struct.pack("<f", s) for s in samples)
    if kind == "f64":
        return b"".join(struct.pack("<d", s) for s in samples)
    raise ValueError(kind)


KINDS = {  # kind: (format code, bits)
    "u8": (PCM, 8), "s16": (PCM, 16), "s24": (PCM, 24), "s32": (PCM, 32),
    "f32": (FLOAT, 32), "f64": (FLOAT, 64),
}


def simple(kind, channels=1, frames=48, rate=8000):
    code, bits = KINDS[kind]
    return riff(chunk(b"fmt ", fmt(code, channels, rate, bits)),
                chunk(b"data", encode(tone(frames, channels), kind)))


def cases():
    c = {}
    for kind in KINDS:
        c[f"valid_{kind}_mono"] = simple(kind)
        c[f"valid_{kind}_stereo"] = simple(kind, channels=2, frames=40)
        code, bits = KINDS[kind]
        c[f"valid_{kind}_extensible"] = riff(
            chunk(b"fmt ", fmt_extensible(code, 2, 22050, bits)),
            chunk(b"data", encode(tone(24, 2), kind)))

    s16 = encode(tone(32, 1), "s16")
    fmt16 = chunk(b"fmt ", fmt(PCM, 1, 8000, 16))
    c["valid_list_junk_chunks"] = riff(
        chunk(b"JUNK", b"\0" * 28), fmt16,
        chunk(b"LIST", b"INFOISFT" + struct.pack("<I", 5) + b"tool\0"),
        chunk(b"fact", struct.pack("<I", 32)), chunk(b"data", s16))
    c["valid_odd_chunk_pad_byte"] = riff(
        fmt16, chunk(b"junk", b"abc"), chunk(b"data", s16))
    c["valid_u8_odd_data_pad"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 8)), chunk(b"data", encode(tone(33, 1), "u8")))
    c["valid_fmt_18_bytes_cbsize"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 16) + struct.pack("<H", 0)), chunk(b"data", s16))
    c["valid_fmt_odd_size"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 16) + b"\x01"), chunk(b"data", s16))
    c["valid_s24_in_s32_container"] = riff(
        chunk(b"fmt ", fmt_extensible(PCM, 1, 8000, 24, container=4)),
        chunk(b"data", encode(tone(20, 1), "s32")))
    c["valid_12bit_in_s16"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 12, container=2)), chunk(b"data", s16))
    c["valid_streaming_size_all_ones"] = riff(
        fmt16, chunk(b"data", s16, size=0xFFFFFFFF), size=0xFFFFFFFF)
    c["valid_data_size_larger_than_file"] = riff(fmt16, chunk(b"data", s16, size=1 << 20))
    c["valid_trailing_partial_frame"] = riff(
        chunk(b"fmt ", fmt(PCM, 2, 8000, 16)), chunk(b"data", s16 + b"\x01\x02", size=66))
    c["valid_chunk_after_data"] = riff(fmt16, chunk(b"data", s16), chunk(b"LIST", b"INFO"))
    c["valid_f32_nan_inf"] = riff(
        chunk(b"fmt ", fmt(FLOAT, 1, 8000, 32)),
        chunk(b"data", struct.pack("<4f", float("nan"), float("inf"), -float("inf"), 1e30)
              + encode(tone(16, 1), "f32")))
    c["valid_f64_out_of_float_range"] = riff(
        chunk(b"fmt ", fmt(FLOAT, 1, 8000, 64)),
        chunk(b"data", struct.pack("<4d", 1e300, -1e300, 5e-324, float("nan"))))
    c["valid_six_channels_rate_1"] = riff(
        chunk(b"fmt ", fmt(PCM, 6, 1, 16)), chunk(b"data", encode(tone(8, 6), "s16")))
    c["valid_rate_int32_max"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 0x7FFFFFFF, 16)), chunk(b"data", s16))
    # 64-bit sizes in ds64 (RIFF, data, sample count, one table entry for the JUNK chunk);
    # every 32-bit size all ones.
    wide_body = (b"WAVE" + chunk(b"ds64", struct.pack("<QQQI4sQ", 0, len(s16), len(s16) // 2, 1,
                                                       b"JUNK", 3))
                 + chunk(b"fmt ", fmt(PCM, 1, 8000, 16)) + chunk(b"JUNK", b"abc", size=0xFFFFFFFF)
                 + chunk(b"data", s16, size=0xFFFFFFFF))
    c["valid_rf64_ds64_table"] = b"RF64" + struct.pack("<I", 0xFFFFFFFF) + wide_body
    c["valid_bw64_streamed"] = b"BW64" + struct.pack("<I", 0xFFFFFFFF) + wide_body.replace(
        struct.pack("<QQQ", 0, len(s16), len(s16) // 2), bytes(24))
    c["valid_unfinished_header"] = riff(fmt16, chunk(b"data", s16, size=0), size=0)

    # Hostile: each should be refused.
    whole = simple("s16")
    c["bad_empty"] = b""
    c["bad_riff_only"] = b"RIFF"
    c["bad_truncated_riff_header"] = whole[:11]
    c["bad_truncated_in_fmt"] = whole[:30]
    c["bad_truncated_before_data_header"] = whole[:40]
    c["bad_no_data_chunk"] = riff(fmt16)
    c["bad_data_before_fmt"] = riff(chunk(b"data", s16), fmt16)
    c["bad_empty_data"] = riff(fmt16, chunk(b"data", b""))
    c["bad_not_riff"] = b"RIFX" + whole[4:]
    c["bad_not_wave"] = whole[:8] + b"AVI " + whole[12:]
    c["bad_zero_channels"] = riff(
        chunk(b"fmt ", fmt(PCM, 0, 8000, 16, block_align=2)), chunk(b"data", s16))
    c["bad_zero_rate"] = riff(chunk(b"fmt ", fmt(PCM, 1, 0, 16)), chunk(b"data", s16))
    c["bad_rate_above_int32"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 0x80000000, 16)), chunk(b"data", s16))
    c["bad_zero_block_align"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 16, block_align=0)), chunk(b"data", s16))
    c["bad_block_align_not_multiple"] = riff(
        chunk(b"fmt ", fmt(PCM, 2, 8000, 16, block_align=5)), chunk(b"data", s16))
    c["bad_container_5_bytes"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 40)), chunk(b"data", s16 + b"\0" * 96))
    c["bad_bits_exceed_container"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 24, block_align=2)), chunk(b"data", s16))
    c["bad_zero_bits"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 0, block_align=2)), chunk(b"data", s16))
    c["bad_float_16bit"] = riff(chunk(b"fmt ", fmt(FLOAT, 1, 8000, 16)), chunk(b"data", s16))
    c["bad_pcm_64bit"] = riff(
        chunk(b"fmt ", fmt(PCM, 1, 8000, 64)), chunk(b"data", encode(tone(8, 1), "f64")))
    c["bad_adpcm"] = riff(chunk(b"fmt ", fmt(2, 1, 8000, 4, container=1)), chunk(b"data", s16))
    c["bad_extensible_short_fmt"] = riff(
        chunk(b"fmt ", fmt(EXTENSIBLE, 1, 8000, 16) + struct.pack("<H", 0)), chunk(b"data", s16))
    c["bad_extensible_unknown_guid"] = riff(
        chunk(b"fmt ", fmt_extensible(PCM, 1, 8000, 16, tail=b"\x11" * 14)), chunk(b"data", s16))
    c["bad_extensible_nested_extensible"] = riff(
        chunk(b"fmt ", fmt_extensible(EXTENSIBLE, 1, 8000, 16)), chunk(b"data", s16))
    c["bad_fmt_too_short"] = riff(chunk(b"fmt ", fmt(PCM, 1, 8000, 16)[:14]), chunk(b"data", s16))
    c["bad_fmt_size_huge"] = riff(chunk(b"fmt ", fmt(PCM, 1, 8000, 16), size=0xFFFFFFF0))
    c["bad_list_size_huge"] = riff(fmt16, chunk(b"LIST", b"INFO", size=0xFFFFFFFF),
                                   chunk(b"data", s16))
    c["bad_riff_size_zero_no_data"] = riff(fmt16, size=0)
    c["bad_many_chunks_before_data"] = riff(fmt16, *[chunk(b"JUNK", b"") for _ in range(1100)],
                                            chunk(b"data", s16))
    # The widest frames a header can describe (block align is 16 bits): a reader or a
    # caller that sizes buffers by channel count before any data arrives runs out of memory.
    c["bad_max_channels_tiny_data"] = riff(
        chunk(b"fmt ", fmt(PCM, 0xFFFF, 8000, 8)), chunk(b"data", b"\x80" * 16))
    c["bad_max_channels_header_only"] = riff(
        chunk(b"fmt ", fmt(FLOAT, 8191, 8000, 64)), chunk(b"data", b"", size=0xFFFFFFFF))
    c["bad_rf64_without_ds64"] = b"RF64" + whole[4:]
    c["bad_rf64_unlisted_huge_chunk"] = b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + chunk(
        b"ds64", bytes(28)) + fmt16 + chunk(b"LIST", b"INFO", size=0xFFFFFFFF) + chunk(b"data", s16)
    c["bad_data_shorter_than_a_frame"] = riff(
        chunk(b"fmt ", fmt(PCM, 2, 8000, 24)), chunk(b"data", b"\1\2\3"))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in cases().items():
        with open(os.path.join(out, name + ".wav"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

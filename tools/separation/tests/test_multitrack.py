"""Checks of the multitrack generator that catch real faults: the files of a track add up
to its mix, a track is the same every time for its seed, instrumentals have a silent
vocal stem, the limiter's gain keeps the mix under its ceiling, and recorded kits are read.

    /usr/bin/python3 -m unittest discover -s tools/separation/tests
"""
import os
import sys
import tempfile
import unittest

import numpy as np
import soundfile as sf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import render_set  # noqa: E402
from multitrack import drums, instruments, production, render  # noqa: E402
from multitrack.music import Note  # noqa: E402


class TrackFiles(unittest.TestCase):
    def test_files_add_up_and_share_channels(self):
        with tempfile.TemporaryDirectory() as d:
            for i, kind in enumerate(["varied"] * 3 + ["tones"] * 3):
                meta, _ = render_set.write_track(d, 4242, i, kind, 6.0, 0.5)
                t = os.path.join(d, f"track_{i:03d}")
                mix, sr = sf.read(os.path.join(t, "mix.wav"), dtype="float64", always_2d=True)
                self.assertEqual(sr, 44100)
                self.assertEqual(sf.info(os.path.join(t, "mix.wav")).subtype, "PCM_16")
                total = 0
                for s in render.STEMS:
                    x, _ = sf.read(os.path.join(t, f"{s}.wav"), dtype="float64", always_2d=True)
                    self.assertEqual(x.shape, mix.shape, s)
                    total = total + x
                self.assertLessEqual(np.max(np.abs(mix - total)) * 32768, 0.501)
                self.assertEqual(mix.shape[1], 1 if meta["mono"] else 2)
                self.assertGreater(np.max(np.abs(mix)), 10 ** (-12.5 / 20))
                self.assertLess(np.max(np.abs(mix)), 1.0)


class Determinism(unittest.TestCase):
    def test_same_seed_same_track(self):
        a, ma = render.render_track(5150, 3, 6.0)
        b, mb = render.render_track(5150, 3, 6.0)
        self.assertEqual(ma, mb)
        for s in render.STEMS:
            np.testing.assert_array_equal(a[s], b[s])
        c, _ = render.render_track(5150, 4, 6.0)
        self.assertFalse(all(c[s].shape == a[s].shape and np.array_equal(c[s], a[s]) for s in render.STEMS))


class ExternalTools(unittest.TestCase):
    def test_every_bank_renders_the_same_twice(self):
        notes = [Note(0.05 * i, 0.4, 40 + (7 * i) % 36, 100) for i in range(60)]
        for src in instruments.available_sources():
            a = instruments.render_midi(src, 120, [(0, 0, 0, notes, {})], 44100 * 4)
            b = instruments.render_midi(src, 120, [(0, 0, 0, notes, {})], 44100 * 4)
            self.assertGreater(np.max(np.abs(a)), 1e-3, src)
            np.testing.assert_array_equal(a, b, err_msg=src)


class Instrumental(unittest.TestCase):
    def test_vocal_stem_silent_and_band_present(self):
        for i in range(2):
            st, meta = render.render_track(6262, i, 6.0, kind="instrumental")
            self.assertFalse(np.any(st["vocals"]))
            self.assertEqual(meta["vocals"], "none")
            for s in ("drums", "bass", "other"):
                self.assertGreater(np.sqrt(np.mean(st[s] ** 2)), 1e-4, s)


def sounding_spectra(x, size, pad):
    """Magnitude spectra of a stem's channels averaged, over frames of `size` samples (half
    overlapping, zero-padded to `pad` times their length), skipping frames near silence."""
    x = x.mean(axis=1)
    for a in range(0, len(x) - size, size // 2):
        m = np.abs(np.fft.rfft(x[a:a + size] * np.hanning(size), pad * size))
        if m.max() > 1e-3 * np.abs(x).max() * size:
            yield m


class Tones(unittest.TestCase):
    def test_the_lead_wavers_and_the_chords_hold_still(self):
        # the one cue these tracks teach: a lead whose pitch moves over steady chords
        def pitch_wobble(x):
            # spread of the strongest bin's frequency over 93 ms frames, in cents
            peaks = [np.argmax(m[8:]) + 8 for m in sounding_spectra(x, 4096, 8)]
            return np.std(1200 * np.log2(np.array(peaks, float))) if len(peaks) > 4 else 0.0
        checked = 0
        for i in range(12):
            st, meta = render.render_track(8484, i, 6.0, kind="tones")
            if meta["instrumental"] or "held" not in meta["vocals"] or "held" not in meta["other"]:
                continue
            checked += 1
            self.assertGreater(pitch_wobble(st["vocals"]), 5.0, meta["vocals"])
            self.assertLess(pitch_wobble(st["other"]), 1.0, meta["other"])
        self.assertGreater(checked, 0)

    def test_under_puts_every_chord_note_above_the_lead(self):
        def lowest_peaks(x):
            # per 186 ms frame, the lowest frequency within 12 dB of the frame's strongest
            return [np.argmax(m > 0.25 * m.max()) * render.SR / (4 * 8192)
                    for m in sounding_spectra(x, 8192, 4)]
        checked = 0
        for i in range(6):
            st, meta = render.render_track(8485, i, 6.0, kind="tones-under")
            if meta["instrumental"] or meta["other"] == "none":
                continue
            checked += 1
            self.assertLess(max(lowest_peaks(st["vocals"])), min(lowest_peaks(st["other"])),
                            (meta["vocals"], meta["other"]))
        self.assertGreater(checked, 0)

    def test_panned_centres_the_lead_between_chords_at_the_sides(self):
        # every chord note at least 0.6 to one side: the chords' side energy is at least a
        # fifth of their mid's (about 0.26 for notes at 0.6; any note near the centre
        # lowers it)
        checked = 0
        for i in range(10):
            st, meta = render.render_track(8486, i, 6.0, kind="tones-panned")
            self.assertEqual(meta["mono"], 0)
            v, o = st["vocals"], st["other"]
            np.testing.assert_allclose(v[:, 0], v[:, 1], atol=1e-12)
            if meta["other"] == "none":
                continue
            checked += 1
            side, mid = np.sum((o[:, 0] - o[:, 1]) ** 2), np.sum((o[:, 0] + o[:, 1]) ** 2)
            self.assertGreater(side / mid, 0.2, meta["other"])
        self.assertGreater(checked, 0)


class Plain(unittest.TestCase):
    def test_general_midi_parts_centred_voice_and_stereo(self):
        if not instruments.available_sources():
            self.skipTest("no General MIDI bank installed")
        for i in range(3):
            st, meta = render.render_track(7373, i, 6.0, kind="plain", mono_share=1.0)
            self.assertEqual(meta["mono"], 0)
            self.assertEqual(meta["limiter_db"], "0.0")
            self.assertTrue(meta["drums"].startswith("gm:"), meta["drums"])
            self.assertNotIn("synth", meta["bass"])
            self.assertNotIn("synth", meta["other"])
            for s in ("vocals", "bass"):
                self.assertEqual(st[s].shape[1], 2)
                np.testing.assert_allclose(st[s][:, 0], st[s][:, 1], rtol=1e-12, atol=1e-15, err_msg=s)
        # the synthesiser's reverb and chorus are no source of chance
        again, _ = render.render_track(7373, 2, 6.0, kind="plain", mono_share=1.0)
        for s in render.STEMS:
            np.testing.assert_array_equal(again[s], st[s], err_msg=s)


class Limiter(unittest.TestCase):
    def test_gain_keeps_peaks_under_ceiling(self):
        rng = np.random.default_rng(0)
        x = rng.standard_normal((44100, 2)) * np.linspace(0.1, 3, 44100)[:, None]
        x[20000] = 8.0
        g = production.limiter_gain(x, 0.9)
        self.assertLessEqual(np.max(np.abs(x * g[:, None])), 0.9 + 1e-9)
        self.assertTrue(np.all(g <= 1.0))
        self.assertGreater(g[:2000].min(), 0.99)   # quiet start untouched


class Kits(unittest.TestCase):
    def test_recorded_kits_have_kick_and_snare(self):
        kits = drums.hydrogen_kits()
        if not kits:
            self.skipTest("hydrogen-drumkits not installed")
        found = 0
        for k in kits:
            roles = drums.load_kit(k)
            found += "kick" in roles and "snare" in roles
            for layers in roles.values():
                for _, _, x in layers:
                    self.assertEqual(x.shape[1], 2)
        self.assertGreaterEqual(found, len(kits) - 3)


if __name__ == "__main__":
    unittest.main()

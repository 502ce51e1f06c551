"""Checks of the generator's parts that catch real faults: melodies stay in the key and
the voice's range, bass lines stay in their register and start on the chord roots, the
generated rooms decay in the time asked for, the singer sings the notes it is given, and
speech phrases stay inside their phrases (so the vocal stem has its silences).

    /usr/bin/python3 -m unittest discover -s tools/separation/tests
"""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from multitrack import music, production, voices  # noqa: E402
from multitrack.music import Note  # noqa: E402

SR = 44100


class Score(unittest.TestCase):
    def test_melody_in_key_and_range(self):
        for seed in range(20):
            rng = np.random.default_rng(seed)
            song = music.make_song(rng, 25.0)
            notes = music.melody(rng, song, 55, 74, active=lambda b: b >= 2)
            self.assertTrue(notes)
            scale = set(song.scale_pcs())
            for nt in notes:
                self.assertIn(nt.pitch % 12, scale)
                self.assertTrue(55 <= nt.pitch <= 74)
                self.assertGreaterEqual(nt.start, 2 * song.bar - 1e-9)   # silent before bar 2
                self.assertGreater(nt.dur, 0)

    def test_whole_note_bass_on_roots(self):
        rng = np.random.default_rng(1)
        song = music.make_song(rng, 20.0)
        _, notes = music.bass_line(rng, song, 33, style="whole")
        for nt in notes:
            _, root = song.chord_at(nt.start + 1e-6)
            self.assertEqual(nt.pitch % 12, root)
            self.assertTrue(33 <= nt.pitch < 45)


class Rooms(unittest.TestCase):
    def test_reverb_time(self):
        for rt in (0.3, 1.0, 2.5):
            ir = production.make_ir(np.random.default_rng(3), rt, predelay=0.0, damp=20000)
            e = np.cumsum((ir ** 2).sum(1)[::-1])[::-1]              # Schroeder backward integral
            db = 10 * np.log10(e / e[0])
            t5, t25 = np.argmax(db < -5) / SR, np.argmax(db < -25) / SR
            measured = 3 * (t25 - t5)                                # T20-style estimate
            self.assertAlmostEqual(measured / rt, 1.0, delta=0.3)
            c = np.corrcoef(ir[int(0.1 * rt * SR):, 0], ir[int(0.1 * rt * SR):, 1])[0, 1]
            self.assertLess(abs(c), 0.3)                             # decorrelated channels


class Singer(unittest.TestCase):
    def test_sings_the_given_pitch(self):
        rng = np.random.default_rng(5)
        for vr, pitch in (("bass", 45), ("tenor", 57), ("soprano", 72)):
            _, p = voices.singer_params(rng, vr)
            p.update(vib_depth=0.0, jitter=0.0, breath=0.0)
            y = voices.singer(rng, [Note(0.1, 1.2, pitch, 100)], SR * 2, vr, **p)
            seg = y[int(0.5 * SR):int(1.1 * SR)]
            mag = np.abs(np.fft.rfft(seg * np.hanning(len(seg)), 1 << 18))
            f = np.fft.rfftfreq(1 << 18, 1 / SR)
            f0 = 440 * 2 ** ((pitch - 69) / 12)
            on = sum(np.interp(k * f0, f, mag) for k in range(1, 6))
            off = sum(np.interp((k + 0.5) * f0, f, mag) for k in range(1, 6))
            self.assertGreater(on, 5 * off, vr)
            self.assertLess(np.max(np.abs(y[int(1.6 * SR):])), 1e-2 * np.max(np.abs(y)))   # dies away after


class Speech(unittest.TestCase):
    def test_place_keeps_phrases(self):
        chunks = [np.ones(SR * 3), np.ones(SR // 2)]
        out = voices.place(chunks, [1.0, 5.0], [2.0, 8.0], SR * 10)
        self.assertFalse(np.any(out[:SR]))
        self.assertFalse(np.any(out[2 * SR:5 * SR]))
        self.assertTrue(np.all(out[SR:int(1.9 * SR)] == 1))
        self.assertFalse(np.any(out[int(5.5 * SR):]))


if __name__ == "__main__":
    unittest.main()

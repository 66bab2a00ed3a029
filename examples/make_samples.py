#!/usr/bin/env python3
"""Writes the sample GEOS-wrapped sound files of this folder.

Each file is the GEOS signature, a header text ended by NUL, the rest of a
header (bytes the tool never reads), the sound-data marker, and 8-bit
unsigned samples. Run it from anywhere; the output is the same every time.
"""
import math
import pathlib

SIGNATURE = bytes([0xC7, 0x45, 0xC1, 0x53])
MARKER = bytes([0x02, 0x4A, 0x3A])
RATE = 8000


def samples(frequency_at, seconds):
    count = int(RATE * seconds)
    phase = 0.0
    out = bytearray()
    for i in range(count):
        phase += 2 * math.pi * frequency_at(i / count) / RATE
        fade = min(1.0, i / 200, (count - i) / 200)
        out.append(128 + round(100 * fade * math.sin(phase)))
    return bytes(out)


def geos_sound(text, data):
    rest_of_header = bytes(range(0x10, 0x30)) + b"\x00" * 16
    header = SIGNATURE + text.encode("ascii") + b"\x00" + rest_of_header
    assert MARKER not in header
    return header + MARKER + data


def main():
    here = pathlib.Path(__file__).resolve().parent
    (here / "tone.snd").write_bytes(
        geos_sound("Tone 440 Hz, 8 kHz", samples(lambda t: 440, 0.25)))
    (here / "chirp.snd").write_bytes(
        geos_sound("Chirp 200-2000 Hz", samples(lambda t: 200 + 1800 * t, 0.2)))


if __name__ == "__main__":
    main()

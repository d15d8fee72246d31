#!/usr/bin/env python3
"""Writes resources/sounds/Halvern.wav, the alert tone Halvern ships: two short
rising beeps and a pause, one second long, so that it loops as a steady
pattern. 16 kHz mono 16-bit PCM, about 32 KB. Deterministic: running it again
gives the same bytes."""

import math
import pathlib
import struct
import wave

RATE = 16000
LENGTH_S = 1.0
# (start s, duration s, frequency Hz)
BEEPS = [(0.00, 0.16, 880.0), (0.22, 0.16, 1174.7)]
FADE_S = 0.01
AMPLITUDE = 0.45


def sample(t: float) -> float:
    for start, duration, freq in BEEPS:
        if start <= t < start + duration:
            local = t - start
            envelope = min(1.0, local / FADE_S, (duration - local) / FADE_S)
            return AMPLITUDE * envelope * math.sin(2 * math.pi * freq * local)
    return 0.0


def main() -> None:
    out = pathlib.Path(__file__).resolve().parent.parent / "resources" / "sounds" / "Halvern.wav"
    frames = bytearray()
    for i in range(int(RATE * LENGTH_S)):
        frames += struct.pack("<h", int(round(sample(i / RATE) * 32767)))
    with wave.open(str(out), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(RATE)
        wav.writeframes(bytes(frames))


if __name__ == "__main__":
    main()

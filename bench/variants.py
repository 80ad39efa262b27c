#!/usr/bin/env python3
"""Writes variants of a float FITS frame for comparing two builds of kestrel-cli:
   variants.py KIND INPUT OUTPUT
KIND is "pixinsight" (samples divided by 65535 and a PROGRAM card naming PixInsight,
as that program saves normalised frames), "awkward" (negative samples, zeros, tiny,
huge and infinite ones among the sky) or "nan" (one NaN sample, which no correction
may survive)."""
import array
import random
import sys


def main():
    kind, source, target = sys.argv[1:4]
    data = open(source, "rb").read()
    end = 0
    while True:
        record = data[end:end + 2880]
        end += 2880
        if any(record[i:i + 8] == b"END     " for i in range(0, 2880, 80)):
            break
    header, samples = bytearray(data[:end]), array.array("f", data[end:])
    samples.byteswap()
    rng = random.Random(kind)
    if kind == "pixinsight":
        card = b"PROGRAM = 'PixInsight 1.8.9'".ljust(80)
        at = next(i for i in range(0, len(header), 80) if header[i:i + 8] == b"END     ")
        if at + 160 > len(header) or header[at + 80:at + 160].strip():
            sys.exit("no room for a card before the end of the header")
        header[at + 80:at + 160] = header[at:at + 80]  # END moves one card down
        header[at:at + 80] = card
        samples = array.array("f", (x / 65535.0 for x in samples))
    elif kind == "awkward":
        for i in range(0, len(samples), 97):
            samples[i] = rng.choice([-samples[i], 0.0, -0.0, 1e-30, 1e30, float("inf"), 5.0])
    elif kind == "nan":
        samples[len(samples) // 3] = float("nan")
    else:
        sys.exit("unknown kind " + kind)
    samples.byteswap()
    open(target, "wb").write(bytes(header) + samples.tobytes())


if __name__ == "__main__":
    main()

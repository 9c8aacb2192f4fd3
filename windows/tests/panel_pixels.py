#!/usr/bin/env python3
"""Pixel checks on screenshots (binary PPM files) for panel-wine.sh.

  panel_pixels.py pixel SHOT X Y
      prints the colour at (X, Y) as "r,g,b"
  panel_pixels.py near SHOT X Y R G B TOLERANCE
      exit 0 when each channel at (X, Y) is within TOLERANCE of R, G, B
  panel_pixels.py differ A B X Y W H
      exit 0 when the two shots differ inside the rectangle
  panel_pixels.py bits ZEROS ONES SHOT X Y W H GROUPS
      reads a binary number shown in the rectangle: ZEROS shows only "0"
      digits, ONES only "1" digits in the same places, GROUPS groups of four
      digits; prints the number SHOT shows, in hexadecimal

The digits of a binary number are told apart by comparison with the two
reference shots, so the check needs no knowledge of the font beyond its
digits being of equal width.
"""
import sys


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    if magic != b"P6" or maxval not in (255, 65535):
        sys.exit(f"panel_pixels: {path} is not a binary PPM of 8 or 16 bits")
    pixels = data[pos + 1:]
    if maxval == 65535:  # keep the high byte of each sample
        pixels = pixels[0:width * height * 6:2]
    if len(pixels) < width * height * 3:
        sys.exit(f"panel_pixels: {path} is truncated")
    return width, height, pixels


class Shot:
    def __init__(self, path):
        self.path = path
        self.width, self.height, self.pixels = read_ppm(path)

    def at(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            sys.exit(f"panel_pixels: ({x}, {y}) lies outside {self.path} ({self.width} x {self.height})")
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])


def distance(a, b, columns, y, h):
    return sum(abs(p - q)
               for x in columns for yy in range(y, y + h)
               for p, q in zip(a.at(x, yy), b.at(x, yy)))


def read_bits(zeros, ones, shot, x, y, w, h, groups):
    # Columns where a "0" and a "1" look different: the digits' places.
    columns = [c for c in range(x, x + w)
               if any(zeros.at(c, r) != ones.at(c, r) for r in range(y, y + h))]
    if not columns:
        sys.exit("panel_pixels: the two reference shots show the same digits")
    runs = [[columns[0], columns[0]]]
    for c in columns[1:]:
        if c == runs[-1][1] + 1:
            runs[-1][1] = c
        else:
            runs.append([c, c])
    # The widest gaps separate the groups of four digits.
    gaps = sorted(range(1, len(runs)), key=lambda i: runs[i][0] - runs[i - 1][1], reverse=True)
    cuts = sorted(gaps[:groups - 1])
    if len(cuts) != groups - 1:
        sys.exit(f"panel_pixels: found {len(runs)} digit runs, expected {groups} groups")
    bounds = [runs[0][0]] + [b for i in cuts for b in (runs[i - 1][1], runs[i][0])] + [runs[-1][1]]
    value = 0
    for g in range(groups):
        left, right = bounds[2 * g], bounds[2 * g + 1]
        cell = (right - left + 1) / 4
        for d in range(4):
            cols = range(left + round(d * cell), left + round((d + 1) * cell))
            to_zero = distance(shot, zeros, cols, y, h)
            to_one = distance(shot, ones, cols, y, h)
            if min(to_zero, to_one) * 2 >= max(to_zero, to_one):
                sys.exit(f"panel_pixels: digit {4 * g + d} of {shot.path} is neither a 0 nor a 1")
            value = value * 2 + (1 if to_one < to_zero else 0)
    return value


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    cmd, args = argv[1], argv[2:]
    if cmd == "pixel" and len(args) == 3:
        print("%d,%d,%d" % Shot(args[0]).at(int(args[1]), int(args[2])))
        return 0
    if cmd == "near" and len(args) == 7:
        got = Shot(args[0]).at(int(args[1]), int(args[2]))
        want = [int(v) for v in args[3:6]]
        ok = all(abs(g - w) <= int(args[6]) for g, w in zip(got, want))
        if not ok:
            print(f"({args[1]}, {args[2]}) is {got}, expected {tuple(want)} +-{args[6]}", file=sys.stderr)
        return 0 if ok else 1
    if cmd == "differ" and len(args) == 6:
        a, b = Shot(args[0]), Shot(args[1])
        x, y, w, h = (int(v) for v in args[2:])
        return 0 if any(a.at(c, r) != b.at(c, r) for c in range(x, x + w) for r in range(y, y + h)) else 1
    if cmd == "bits" and len(args) == 8:
        zeros, ones, shot = Shot(args[0]), Shot(args[1]), Shot(args[2])
        x, y, w, h, groups = (int(v) for v in args[3:])
        print("%X" % read_bits(zeros, ones, shot, x, y, w, h, groups))
        return 0
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env bash
# Renders the program icon from resources/icons/skyloom.svg: PNGs for the desktop and the
# window, and skyloom.ico with 256-colour images for old shells beside the 32-bit ones.
# Needs rsvg-convert (librsvg2-bin), pngquant and icotool (icoutils). The results are
# committed, so a build needs none of these.
set -euo pipefail
cd "$(dirname "$0")/../resources/icons"

sizes=(16 32 48 96 128)
palette_sizes=(48 32 16)
true_colour_sizes=(128 96 48 32 16)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for size in "${sizes[@]}"; do
  rsvg-convert --width "$size" --height "$size" skyloom.svg --output "skyloom-$size.png"
done

# An 8-bit icon image has one transparency bit per pixel: soft edges must become hard ones
# before the colours are cut down to 256, or icotool refuses the image.
hard_edges() {
  python3 -I -S - "$1" "$2" <<'PYTHON'
import struct, sys, zlib

def chunks(data):
    at = 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        yield data[at + 4:at + 8], data[at + 8:at + 8 + length]
        at += 12 + length

source, target = sys.argv[1], sys.argv[2]
packed = b""
for kind, body in chunks(open(source, "rb").read()):
    if kind == b"IHDR":
        width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        if (depth, colour, interlace) != (8, 6, 0):
            sys.exit(f"{source}: expected 8-bit RGBA without interlacing")
    elif kind == b"IDAT":
        packed += body
raw = zlib.decompress(packed)
stride = width * 4
previous = bytearray(stride)
rows = []
for y in range(height):
    start = y * (stride + 1)
    kind, row = raw[start], bytearray(raw[start + 1:start + 1 + stride])
    for x in range(stride):
        a = row[x - 4] if x >= 4 else 0
        b = previous[x]
        c = previous[x - 4] if x >= 4 else 0
        if kind == 1:
            row[x] = (row[x] + a) & 255
        elif kind == 2:
            row[x] = (row[x] + b) & 255
        elif kind == 3:
            row[x] = (row[x] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            row[x] = (row[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    previous = row
    out = bytearray(row)
    for x in range(3, stride, 4):
        if out[x] < 128:
            out[x - 3:x + 1] = b"\0\0\0\0"
        else:
            out[x] = 255
    rows.append(b"\0" + bytes(out))

def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
with open(target, "wb") as file:
    file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
               chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
PYTHON
}

ico_args=()
for size in "${palette_sizes[@]}"; do
  hard_edges "skyloom-$size.png" "$scratch/skyloom-$size-hard.png"
  pngquant --force --strip --nofs 256 --output "$scratch/skyloom-$size-8.png" \
    "$scratch/skyloom-$size-hard.png"
  ico_args+=(--bit-depth=8 "$scratch/skyloom-$size-8.png")
done
for size in "${true_colour_sizes[@]}"; do
  ico_args+=(--bit-depth=32 "skyloom-$size.png")
done
icotool --create --output skyloom.ico "${ico_args[@]}"
icotool --list skyloom.ico

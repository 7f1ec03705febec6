"""Packs palette icon images into one .ico file.

Usage: ico.py out.ico SIZE:COLORS:pixels.rgba ...   (raw 8-bit RGBA, SIZE x SIZE, at most COLORS
colours among the opaque pixels). COLORS 16 gives 4 bits per pixel, 256 gives 8. A pixel whose
alpha is below 128 is transparent (its AND-mask bit is set).
"""
import struct
import sys


def entry(size, colors, rgba):
    bits = 4 if colors <= 16 else 8
    pixels = [rgba[i:i + 4] for i in range(0, len(rgba), 4)]
    assert len(pixels) == size * size, "image is not SIZE x SIZE"
    palette = []
    index = []
    for r, g, b, a in pixels:
        c = (r, g, b) if a >= 128 else (0, 0, 0)
        if c not in palette:
            palette.append(c)
        index.append(palette.index(c))
    if len(palette) > (1 << bits):
        raise SystemExit(f"{size}x{size}: {len(palette)} colours, more than {1 << bits}")
    palette += [(0, 0, 0)] * ((1 << bits) - len(palette))
    row_bytes = ((size * bits + 31) // 32) * 4
    mask_row_bytes = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in range(size - 1, -1, -1):  # bottom-up rows
        row = index[y * size:(y + 1) * size]
        line = bytearray(row_bytes)
        mline = bytearray(mask_row_bytes)
        for x, v in enumerate(row):
            if bits == 8:
                line[x] = v
            else:
                line[x // 2] |= v << (4 if x % 2 == 0 else 0)
            if pixels[y * size + x][3] < 128:
                mline[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += mline
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0, 0,
                         1 << bits, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return bits, header + table + bytes(xor) + bytes(mask)


def main():
    out = sys.argv[1]
    images = []
    for spec in sys.argv[2:]:
        size, colors, path = spec.split(":", 2)
        with open(path, "rb") as f:
            images.append((int(size), int(colors)) + entry(int(size), int(colors), f.read()))
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, colors, bits, blob in images:
        count = 0 if colors >= 256 else colors
        data += struct.pack("<BBBBHHII", size % 256, size % 256, count, 0, 1, bits, len(blob), offset + len(body))
        body += blob
    with open(out, "wb") as f:
        f.write(data + body)


main()

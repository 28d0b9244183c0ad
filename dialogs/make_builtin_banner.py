#!/usr/bin/env python3
"""Draws the built-in banner picture (48x48, GIF89a, 256-colour palette, one
transparent colour) and prints it as the C++ byte array of builtin_banner.cpp.

    python3 dialogs/make_builtin_banner.py > dialogs/builtin_banner.cpp
"""
import math
import struct

SIZE = 48


def palette():
    # 0 transparent, 1..128 a blue ramp (dark to light), 129 white, rest grey.
    colours = [(255, 255, 255)]
    for i in range(128):
        t = i / 127
        colours.append((int(20 + 60 * t), int(60 + 110 * t), int(140 + 115 * t)))
    colours.append((255, 255, 255))
    while len(colours) < 256:
        g = (len(colours) - 130) * 2
        colours.append((g, g, g))
    return colours


def picture():
    # A shaded disc with a white "K" on it.
    px = []
    c = (SIZE - 1) / 2
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - c, y - c)
            if d > 22.5:
                px.append(0)
                continue
            stem = 15 <= x <= 20 and 10 <= y <= 37
            arm = abs((x - 20) - (23 - y)) <= 3 and 10 <= y <= 23 and x >= 19
            leg = abs((x - 20) - (y - 23)) <= 3 and 23 <= y <= 37 and x >= 19
            if stem or arm or leg:
                px.append(129)
            else:
                shade = 1 - ((x + y) / (2 * SIZE))
                px.append(1 + min(127, int(127 * (0.25 + 0.75 * shade))))
    return px


def lzw(pixels, min_code=8):
    clear, end = 1 << min_code, (1 << min_code) + 1
    out, acc, nbits = bytearray(), 0, 0

    def emit(code, size):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    table = {bytes([i]): i for i in range(1 << min_code)}
    size, nxt = min_code + 1, end + 1
    emit(clear, size)
    w = b""
    for p in pixels:
        wc = w + bytes([p])
        if wc in table:
            w = wc
            continue
        emit(table[w], size)
        if nxt < 4096:
            table[wc] = nxt
            nxt += 1
            if nxt > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear, size)
            table = {bytes([i]): i for i in range(1 << min_code)}
            size, nxt = min_code + 1, end + 1
        w = bytes([p])
    emit(table[w], size)
    emit(end, size)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif():
    b = bytearray(b"GIF89a")
    b += struct.pack("<HHBBB", SIZE, SIZE, 0xF7, 0, 0)
    for r, g, bl in palette():
        b += bytes([r, g, bl])
    b += bytes([0x21, 0xF9, 4, 0x01, 0, 0, 0, 0])  # transparent colour 0
    b += b"," + struct.pack("<HHHHB", 0, 0, SIZE, SIZE, 0)
    data = lzw(picture())
    b.append(8)
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        b.append(len(chunk))
        b += chunk
    b += bytes([0, 0x3B])
    return bytes(b)


def main():
    data = gif()
    print("// The built-in banner picture, drawn by make_builtin_banner.py: a 48x48")
    print("// GIF89a with a 256-colour palette and a transparent background.")
    print("#include \"dialogs/builtin_banner.h\"\n")
    print("namespace kestrun {\n")
    print("const unsigned char kBuiltinBannerGif[] = {")
    for i in range(0, len(data), 16):
        print("    " + ", ".join("0x%02x" % v for v in data[i:i + 16]) + ",")
    print("};")
    print("const std::size_t kBuiltinBannerGifSize = sizeof(kBuiltinBannerGif);\n")
    print("}  // namespace kestrun")


if __name__ == "__main__":
    main()

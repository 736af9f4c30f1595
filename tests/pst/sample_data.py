"""Attachment bytes of the sample stores: write_sample.cpp's Pattern(), so a
reader's bytes can be checked without a copy of them."""


def pattern(seed, size):
    out = bytearray(size)
    x = (seed * 2654435761 + 1) & 0xFFFFFFFF
    for i in range(size):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = (x >> 16) & 0xFF
    return bytes(out)

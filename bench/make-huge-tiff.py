#!/usr/bin/env python3
# Writes a TIFF of a few KB that declares a huge 8-bit page: one deflate strip
# meant to hold the whole page, cut short after BUDGET bytes; with "whole",
# the strip holds the whole (blank) page.
#   make-huge-tiff.py OUT WIDTH HEIGHT SAMPLES [whole]   (1 gray, 3 RGB)
import struct, sys, zlib
def huge_tiff(path, width, height, spp, whole=False, budget=3500):
    comp = zlib.compressobj(9)
    data = b''
    chunk = b'\0' * (1 << 20)
    left = width * height * spp
    while left > 0 and (whole or len(data) < budget):
        n = min(left, len(chunk))
        data += comp.compress(chunk[:n])
        left -= n
    data = data + comp.flush() if whole else data[:budget]
    entries = []
    def e(tag, typ, count, value):
        entries.append((tag, typ, count, value))
    e(256, 4, 1, width)
    e(257, 4, 1, height)
    e(258, 3, spp, 8 if spp == 1 else None)
    e(259, 3, 1, 8)            # deflate
    e(262, 3, 1, 1 if spp == 1 else 2)
    e(273, 4, 1, None)         # strip offset, filled below
    e(277, 3, 1, spp)
    e(278, 4, 1, height)
    e(279, 4, 1, len(data))
    e(284, 3, 1, 1)
    n = len(entries)
    ifd_off = 8
    extra_off = ifd_off + 2 + n * 12 + 4
    extra = b''
    bps_at = extra_off
    if spp > 1:
        extra += struct.pack('<%dH' % spp, *([8] * spp))
    data_off = extra_off + len(extra)
    out = b'II*\0' + struct.pack('<I', ifd_off) + struct.pack('<H', n)
    for tag, typ, count, value in entries:
        if tag == 258 and spp > 1:
            value = bps_at
        if tag == 273:
            value = data_off
        if typ == 3 and count == 1:
            out += struct.pack('<HHIHH', tag, typ, count, value, 0)
        else:
            out += struct.pack('<HHII', tag, typ, count, value)
    out += struct.pack('<I', 0) + extra + data
    open(path, 'wb').write(out)
if __name__ == '__main__':
    huge_tiff(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]),
              len(sys.argv) > 5 and sys.argv[5] == 'whole')

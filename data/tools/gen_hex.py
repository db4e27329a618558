#!/usr/bin/env python3
"""Writes a firmware image of the simulated Orvane controllers as an Intel HEX file.

The controllers' program memory holds 24-bit words. A HEX file lays out each
word as four bytes, least significant first, the fourth a phantom 0x00; the
bootloader receives the words packed, three bytes each, most significant
first. The image carries its version text as the packed bytes "KVER:" + text
+ a zero byte: the simulated controller reports that text in 0x100A after the
update, as a real one reports the version its firmware was built with.

    gen_hex.py OUT.hex --version V2.00 [--words 2048] [--seed 1] [--record 16]

The program words are a repeatable pseudo-random pattern (seeded); words not
written stay erased (0xFFFFFF) on the controller.
"""
import argparse
import random


def record(address, rtype, data):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = -sum(body) & 0xFF
    return ':' + body.hex().upper() + f'{checksum:02X}'


def hex_lines(packed, record_bytes):
    """HEX records of the packed words: extended linear address records each 64 KiB."""
    layout = bytearray()
    for i in range(0, len(packed), 3):
        upper, middle, low = packed[i:i + 3]
        layout += bytes([low, middle, upper, 0x00])
    lines, upper = [], None
    for offset in range(0, len(layout), record_bytes):
        if offset >> 16 != upper:
            upper = offset >> 16
            lines.append(record(0, 4, [upper >> 8, upper & 0xFF]))
        lines.append(record(offset & 0xFFFF, 0, layout[offset:offset + record_bytes]))
    lines.append(record(0, 1, []))
    return lines


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('out')
    p.add_argument('--version', required=True, help='version text (at most 64 characters)')
    p.add_argument('--words', type=int, default=2048, help='program words (at most 0xAA00 reach the controller)')
    p.add_argument('--seed', type=int, default=1)
    p.add_argument('--record', type=int, default=16, help='data bytes per record (a multiple of 4)')
    a = p.parse_args()
    marker = b'KVER:' + a.version.encode('ascii') + b'\0'
    if len(a.version) > 64 or a.words * 3 < len(marker) + 3 or a.words > 0xAA00 or a.record % 4 or not 0 < a.record <= 252:
        p.error('bad --version, --words or --record')
    rng = random.Random(a.seed)
    packed = bytearray(rng.getrandbits(8) for _ in range(3 * a.words))
    at = 3 * (a.words // 2)  # the middle of the code, on a word boundary
    packed[at:at + len(marker)] = marker
    with open(a.out, 'w', newline='') as fh:
        fh.write(''.join(line + '\r\n' for line in hex_lines(packed, a.record)))


if __name__ == '__main__':
    main()

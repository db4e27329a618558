#!/usr/bin/env python3
import sys
D = sys.argv[1]
def entry(idx, sub, bits): return (idx << 16) | (sub << 8) | bits
CW, SW = entry(0x6040, 0, 16), entry(0x6041, 0, 16)
# name: list of (direction, pdo number, COB-ID for node 1, transmission type, mapping)
PRESETS = {
    'Position control': [('rx', 1, 0x201, 255, [CW, entry(0x607A, 0, 32)]),
                         ('tx', 1, 0x181, 255, [SW, entry(0x6064, 0, 32)])],
    'Velocity control': [('rx', 1, 0x201, 255, [CW, entry(0x6042, 0, 16)]),
                         ('tx', 1, 0x181, 255, [SW, entry(0x6044, 0, 16)])],
    'Status only': [('tx', 1, 0x181, 255, [SW, entry(0x6061, 0, 8), entry(0x60FD, 0, 32)])],
    'Interpolated position': [('rx', 3, 0x401, 1, [entry(0x60C1, 1, 32)]),
                              ('tx', 1, 0x181, 1, [SW, entry(0x6064, 0, 32)])],
    'Analog inputs': [('tx', 1, 0x181, 255, [SW]),
                      ('tx', 2, 0x281, 255, [entry(0x6401, 1, 16), entry(0x6401, 2, 16)])],
}
for name, pdos in PRESETS.items():
    lines = []
    for d, n, cob, tt, mp in sorted(pdos, key=lambda p: (p[0] == 'tx', p[1])):
        c, m = (0x1400 if d == 'rx' else 0x1800) + n - 1, (0x1600 if d == 'rx' else 0x1A00) + n - 1
        rows = [(c, 1, cob), (c, 2, tt), (m, 0, len(mp))] + [(m, i, mp[i - 1] if i <= len(mp) else 0) for i in range(1, 9)]
        lines += [f'{i:04X}\t|{s}\t|{v}\r\n' for i, s, v in rows]
    with open(f'{D}/Presets/{name}.ppf', 'w', newline='') as fh:
        fh.write(''.join(lines))

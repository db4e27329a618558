#!/usr/bin/env python3
"""Generates data/XML/EDS_*.xml for the fictional Orvane controllers."""
import sys
from xml.sax.saxutils import escape

BOOL, S8, S16, S32, U8, U16, U32, ARR, STR = range(1, 10)
VAR, ARRAY, RECORD = 7, 8, 9

class Var:
    def __init__(self, name, dt, acc, default=None, pdo=0, lo=None, hi=None):
        self.name, self.dt, self.acc, self.default, self.pdo, self.lo, self.hi = name, dt, acc, default, pdo, lo, hi

class Obj:
    def __init__(self, idx, name, otype=VAR, var=None, subs=None, comment=None):
        self.idx, self.name, self.otype, self.var, self.subs, self.comment = idx, name, otype, var, subs or {}, comment

def fmt(v):
    return v if isinstance(v, str) else str(v)

def var_xml(ind, idx, name, otype, v):
    p = ' ' * ind
    out = [f'{p}<ID>{idx:04X}</ID>', f'{p}<ParameterName>{escape(name)}</ParameterName>',
           f'{p}<ObjectType>{otype}</ObjectType>', f'{p}<DataType>{v.dt}</DataType>',
           f'{p}<AccessType>{v.acc}</AccessType>', f'{p}<PDOMapping>{v.pdo}</PDOMapping>',
           f'{p}<SubNumber>0</SubNumber>']
    if v.default is not None:
        out.append(f'{p}<DefaultValue>{escape(fmt(v.default))}</DefaultValue>')
    if v.lo is not None:
        out.append(f'{p}<LowLimit>{fmt(v.lo)}</LowLimit>')
    if v.hi is not None:
        out.append(f'{p}<HighLimit>{fmt(v.hi)}</HighLimit>')
    return out

def obj_xml(o):
    out = []
    if o.comment:
        out.append(f'  <!-- {o.comment} -->')
    out.append('  <SDO>')
    if not o.subs:
        out += var_xml(4, o.idx, o.name, VAR, o.var)
    else:
        out += [f'    <ID>{o.idx:04X}</ID>', f'    <ParameterName>{escape(o.name)}</ParameterName>',
                f'    <ObjectType>{o.otype}</ObjectType>', f'    <DataType>{ARR}</DataType>',
                f'    <AccessType>{"rw" if any("w" in s.acc for s in o.subs.values()) else "ro"}</AccessType>',
                f'    <PDOMapping>0</PDOMapping>', f'    <SubNumber>{len(o.subs)}</SubNumber>',
                '    <subnodes>']
        for si in sorted(o.subs):
            s = o.subs[si]
            out.append(f'      <sub{si:X}>')
            out += var_xml(8, o.idx, s.name, VAR, s)
            out.append(f'      </sub{si:X}>')
        out.append('    </subnodes>')
    out.append('  </SDO>')
    return out

def arr(idx, name, count_name, entries, otype=ARRAY, sub0_acc='ro', sub0_default=None, sub0_hi=None, comment=None):
    """entries: dict subindex -> Var. Sub-index 0 holds the highest sub-index."""
    subs = {0: Var(count_name, U8, sub0_acc, max(entries) if sub0_default is None else sub0_default, hi=sub0_hi)}
    subs.update(entries)
    return Obj(idx, name, otype, subs=subs, comment=comment)

# ---------------------------------------------------------------- models
MODELS = {
    # name: device type, product code, revision, serial, sw version, features
    'Default': dict(devtype=0x00000192, product=0x00000000, revision=0x00010000, serial=0,
                    sw='V0.00', feats={'cl', 'enc', 'brake', 'bldc'}, stepper=True),
    'Mirelo': dict(devtype=0x00030192, product=0x00012010, revision=0x00020014, serial=10234,
                   sw='V2.14', feats={'cl', 'enc'}, stepper=True),
    'Torvik': dict(devtype=0x00020192, product=0x00012030, revision=0x00030002, serial=20511,
                   sw='V3.02', feats={'cl', 'enc', 'bldc', 'namearray'}, stepper=False),
    'Brelan': dict(devtype=0x00030192, product=0x00012020, revision=0x00020009, serial=30078,
                   sw='V2.09', feats={'brake'}, stepper=True),
}

def h8(v):
    return f'0x{v:08X}'

def build(model):
    m = MODELS[model]
    f = m['feats']
    O = []
    # ---------------------------------------------------------- CiA 301
    O.append(Obj(0x1000, 'Device Type', var=Var('Device Type', U32, 'ro', h8(m['devtype'])),
                 comment='CiA 301 communication profile'))
    O.append(Obj(0x1001, 'Error Register', var=Var('Error Register', U8, 'ro', 0, pdo=1)))
    O.append(arr(0x1003, 'Pre-defined Error Field', 'Number of Errors',
                 {i: Var(f'Standard Error Field {i}', U32, 'ro', 0) for i in range(1, 9)},
                 sub0_acc='rw', sub0_default=0, sub0_hi=0))
    O.append(Obj(0x1005, 'COB-ID SYNC', var=Var('COB-ID SYNC', U32, 'rw', '0x80')))
    O.append(Obj(0x1008, 'Manufacturer Device Name', var=Var('Manufacturer Device Name', STR, 'const', model)))
    if 'namearray' in f:
        chars = {i + 1: Var(f'Character {i + 1}', U8, 'const', ord(c)) for i, c in enumerate(model)}
        O.append(arr(0x1009, 'Manufacturer Hardware Version', 'Number of Characters', chars, sub0_acc='const'))
    else:
        O.append(Obj(0x1009, 'Manufacturer Hardware Version',
                     var=Var('Manufacturer Hardware Version', STR, 'const', model)))
    O.append(Obj(0x100A, 'Manufacturer Software Version',
                 var=Var('Manufacturer Software Version', STR, 'const', m['sw'])))
    O.append(Obj(0x100C, 'Guard Time', var=Var('Guard Time', U16, 'rw', 0)))
    O.append(Obj(0x100D, 'Life Time Factor', var=Var('Life Time Factor', U8, 'rw', 0)))
    O.append(arr(0x1010, 'Store Parameters', 'Largest Sub-Index Supported',
                 {1: Var('Save All Parameters', U32, 'rw', 1)}))
    O.append(arr(0x1011, 'Restore Default Parameters', 'Largest Sub-Index Supported',
                 {1: Var('Restore All Default Parameters', U32, 'rw', 1)}))
    # Read-only: a default of "$NODEID+0x80" keeps only the offset in the
    # application, so writing defaults back must never reach this object.
    O.append(Obj(0x1014, 'COB-ID EMCY', var=Var('COB-ID EMCY', U32, 'ro', '$NODEID+0x80')))
    O.append(Obj(0x1017, 'Producer Heartbeat Time', var=Var('Producer Heartbeat Time', U16, 'rw', 0)))
    O.append(arr(0x1018, 'Identity Object', 'Number of Entries', {
        1: Var('Vendor ID', U32, 'ro', '0x00000329'),
        2: Var('Product Code', U32, 'ro', h8(m['product'])),
        3: Var('Revision Number', U32, 'ro', h8(m['revision'])),
        4: Var('Serial Number', U32, 'ro', m['serial']),
    }, otype=RECORD))
    # ---------------------------------------------------------- PDOs
    rpdo_maps = [[0x60400010], [0x60400010, 0x60600008], [0x60400010, 0x607A0020], [0x60400010, 0x60FF0020]]
    tpdo_maps = [[0x60410010], [0x60410010, 0x60610008], [0x60410010, 0x60640020], [0x60410010, 0x606C0020]]
    for n in range(4):
        cob = f'$NODEID+0x{0x200 + 0x100 * n:X}' if n == 0 else f'$NODEID+0x{0x80000000 + 0x200 + 0x100 * n:08X}'
        O.append(arr(0x1400 + n, f'Receive PDO {n + 1} Communication Parameter', 'Largest Sub-Index Supported', {
            1: Var(f'COB-ID RxPDO {n + 1}', U32, 'rw', cob),
            2: Var('Transmission Type', U8, 'rw', 255),
        }, otype=RECORD, comment='Receive PDO communication parameters' if n == 0 else None))
    for n in range(4):
        mp = rpdo_maps[n]
        O.append(arr(0x1600 + n, f'Receive PDO {n + 1} Mapping Parameter', 'Number of Mapped Objects',
                     {i: Var(f'Mapping Entry {i}', U32, 'rw', h8(mp[i - 1]) if i <= len(mp) else 0)
                      for i in range(1, 9)},
                     otype=RECORD, sub0_acc='rw', sub0_default=len(mp), sub0_hi=8,
                     comment='Receive PDO mapping parameters' if n == 0 else None))
    for n in range(4):
        cob = f'$NODEID+0x{0x180 + 0x100 * n:X}' if n == 0 else f'$NODEID+0x{0x80000000 + 0x180 + 0x100 * n:08X}'
        O.append(arr(0x1800 + n, f'Transmit PDO {n + 1} Communication Parameter', 'Largest Sub-Index Supported', {
            1: Var(f'COB-ID TxPDO {n + 1}', U32, 'rw', cob),
            2: Var('Transmission Type', U8, 'rw', 255),
            3: Var('Inhibit Time', U16, 'rw', 0),
            5: Var('Event Timer', U16, 'rw', 0),
        }, otype=RECORD, comment='Transmit PDO communication parameters' if n == 0 else None))
    for n in range(4):
        mp = tpdo_maps[n]
        O.append(arr(0x1A00 + n, f'Transmit PDO {n + 1} Mapping Parameter', 'Number of Mapped Objects',
                     {i: Var(f'Mapping Entry {i}', U32, 'rw', h8(mp[i - 1]) if i <= len(mp) else 0)
                      for i in range(1, 9)},
                     otype=RECORD, sub0_acc='rw', sub0_default=len(mp), sub0_hi=8,
                     comment='Transmit PDO mapping parameters' if n == 0 else None))
    # ---------------------------------------------------------- maker objects
    if 'cl' in f:
        O.append(Obj(0x2001, 'Closed Loop Enable Mode', var=Var('Closed Loop Enable Mode', U8, 'rw', 1, lo=0, hi=3),
                     comment='Maker-specific objects'))
        parts = ['Velocity Loop', 'Position Loop', 'Cascade Velocity Loop', 'Cascade Position Loop']
        terms = ['Proportional', 'Integral', 'Differential']
        defaults = [(2, 0), (1, 6), (0, 0), (100, 0), (2, 0), (300, 0), (50, 0), (2, 0), (0, 0), (2, 0), (1, 6), (0, 0)]
        subs = {}
        for k in range(12):
            z, n_ = defaults[k]
            label = f'{parts[k // 3]} {terms[k % 3]}'
            subs[2 * k + 1] = Var(f'{label} Numerator', U32, 'rw', z, lo=0, hi=65536)
            subs[2 * k + 2] = Var(f'{label} Denominator Exponent', U8, 'rw', n_, lo=0, hi=15)
        O.append(arr(0x2002, 'Closed Loop Controller Parameters', 'Number of Entries', subs, otype=RECORD))
    motor = {
        1: Var('Phase Current', U8, 'rw', 50, lo=0, hi=150),
        2: Var('Phase Stop Current', U8, 'rw', 25, lo=0, hi=150),
        3: Var('Current Reduction Delay', U16, 'rw', 100),
        4: Var('Block Current', U8, 'rw', 50, lo=0, hi=150),
        7: Var('Motor Type', U8, 'rw', 0 if m['stepper'] else 1, lo=0, hi=2),
        8: Var('Node Distance', U16, 'rw', 10),
        9: Var('Cascade Loop Frequency Start', U16, 'rw', 0),
        0xA: Var('Cascade Loop Frequency Stop', U16, 'rw', 0),
    }
    if 'bldc' in f:
        motor.update({
            0xC: Var('Hall Mode', U8, 'rw', 0, lo=0, hi=7),
            0xD: Var('BLDC Maximum Current', U8, 'rw', 100, lo=0, hi=150),
            0xE: Var('BLDC Thermal Time Constant', U16, 'rw', 1000),
        })
    O.append(arr(0x2004, 'Motor Parameters', 'Largest Sub-Index Supported', motor, otype=RECORD,
                 comment=None if 'cl' in f else 'Maker-specific objects'))
    O.append(Obj(0x2005, 'CAN Bit Rate', var=Var('CAN Bit Rate', U8, 'rw', '0x87', lo='0x82', hi='0x87')))
    O.append(Obj(0x2006, 'Pole Pairs', var=Var('Pole Pairs', U8, 'rw', 50 if m['stepper'] else 4, lo=1, hi=255)))
    if 'brake' in f:
        O.append(arr(0x2007, 'External Brake Timing', 'Number of Entries', {
            1: Var('Brake Time ta (Power On to Brake Off)', U16, 'rw', 200),
            2: Var('Brake Time tb (Brake Off to Operational)', U16, 'rw', 100),
            3: Var('Brake Time tc (Brake On to Power Off)', U16, 'rw', 100),
        }))
    O.append(Obj(0x2008, 'Digital Input Debounce Time', var=Var('Digital Input Debounce Time', U8, 'rw', 5)))
    O.append(Obj(0x2009, 'Node ID', var=Var('Node ID', U8, 'rw', 1, lo=1, hi=127)))
    if 'cl' in f:
        O.append(Obj(0x200A, 'Closed Loop Status', var=Var('Closed Loop Status', U8, 'ro', 0, pdo=1)))
    if 'enc' in f:
        O.append(Obj(0x200B, 'Encoder Index Offset', var=Var('Encoder Index Offset', S32, 'rw', 0)))
    O.append(arr(0x200C, 'Load Angle', 'Number of Entries',
                 {i: Var('Load Angle at Halt' if i == 1 else f'Load Angle Sampling Point {i - 1}', S16, 'rw', 0)
                  for i in range(1, 8)}))
    if 'enc' in f:
        O.append(Obj(0x200D, 'Encoder Direction', var=Var('Encoder Direction', U8, 'rw', 0, lo=0, hi=1)))
    if 'cl' in f:
        O.append(Obj(0x200F, 'Velocity Control Type', var=Var('Velocity Control Type', U8, 'rw', 0, lo=0, hi=1)))
    O.append(Obj(0x2010, 'External Reference Switch', var=Var('External Reference Switch', U8, 'rw', 0, pdo=1, lo=0, hi=1)))
    if 'enc' in f:
        O.append(Obj(0x2011, 'Encoder Type', var=Var('Encoder Type', U8, 'rw', 1, lo=0, hi=3)))
    O.append(arr(0x3000, 'Bootloader', 'Largest Sub-Index Supported', {
        1: Var('Bootloader Command', U8, 'wo', 0, lo=0, hi=5),
        2: Var('Block Status', U8, 'ro', 0),
        3: Var('Block Target Address', U32, 'wo', 0),
        4: Var('Chunk Number', U32, 'wo', 0, lo=0, hi=15),
        5: Var('Block Checksum', U32, 'wo', 0),
        0x1F: Var('Data COB-ID', U32, 'wo', '0x325'),
    }, otype=RECORD, comment='Bootloader interface'))
    # ---------------------------------------------------------- CiA 402
    v = lambda *a, **k: Var(*a, **k)
    O.append(Obj(0x603F, 'Error Code', var=v('Error Code', U16, 'ro', 0, pdo=1), comment='CiA 402 drive profile'))
    O.append(Obj(0x6040, 'Controlword', var=v('Controlword', U16, 'rw', 0, pdo=1)))
    O.append(Obj(0x6041, 'Statusword', var=v('Statusword', U16, 'ro', '0x0250', pdo=1)))
    O.append(Obj(0x6042, 'vl Target Velocity', var=v('vl Target Velocity', S16, 'rw', 0, pdo=1)))
    O.append(Obj(0x6043, 'vl Velocity Demand', var=v('vl Velocity Demand', S16, 'ro', 0, pdo=1)))
    O.append(Obj(0x6044, 'vl Velocity Actual Value', var=v('vl Velocity Actual Value', S16, 'ro', 0, pdo=1)))
    O.append(arr(0x6046, 'vl Velocity Min Max Amount', 'Number of Entries', {
        1: v('vl Velocity Min Amount', U32, 'rw', 60), 2: v('vl Velocity Max Amount', U32, 'rw', 25000)}))
    for idx, name, z in [(0x6048, 'vl Velocity Acceleration', 1000), (0x6049, 'vl Velocity Deceleration', 1000),
                         (0x604A, 'vl Velocity Quick Stop', 10000)]:
        O.append(arr(idx, name, 'Number of Entries', {
            1: v('Delta Speed', U32, 'rw', z), 2: v('Delta Time', U16, 'rw', 1, lo=1, hi=65535)}, otype=RECORD))
    O.append(arr(0x604C, 'vl Dimension Factor', 'Number of Entries', {
        1: v('vl Dimension Factor Numerator', S32, 'rw', 60, lo=1, hi=2147483647),
        2: v('vl Dimension Factor Denominator', S32, 'rw', 2000, lo=1, hi=2147483647)}))
    O.append(Obj(0x605A, 'Quick Stop Option Code', var=v('Quick Stop Option Code', S16, 'rw', 2, lo=0, hi=8)))
    O.append(Obj(0x605B, 'Shutdown Option Code', var=v('Shutdown Option Code', S16, 'rw', 0, lo=0, hi=1)))
    O.append(Obj(0x605C, 'Disable Operation Option Code', var=v('Disable Operation Option Code', S16, 'rw', 1, lo=0, hi=1)))
    O.append(Obj(0x605D, 'Halt Option Code', var=v('Halt Option Code', S16, 'rw', 1, lo=1, hi=4)))
    O.append(Obj(0x605E, 'Fault Reaction Option Code', var=v('Fault Reaction Option Code', S16, 'rw', 2, lo=0, hi=2)))
    O.append(Obj(0x6060, 'Modes of Operation', var=v('Modes of Operation', S8, 'rw', 1, pdo=1, lo=-2, hi=10)))
    O.append(Obj(0x6061, 'Modes of Operation Display', var=v('Modes of Operation Display', S8, 'ro', 1, pdo=1)))
    O.append(Obj(0x6062, 'Position Demand Value', var=v('Position Demand Value', S32, 'ro', 0, pdo=1)))
    O.append(Obj(0x6064, 'Position Actual Value', var=v('Position Actual Value', S32, 'ro', 0, pdo=1)))
    O.append(Obj(0x6065, 'Following Error Window', var=v('Following Error Window', U32, 'rw', 1000)))
    O.append(Obj(0x6066, 'Following Error Time Out', var=v('Following Error Time Out', U16, 'rw', 100)))
    O.append(Obj(0x6067, 'Position Window', var=v('Position Window', U32, 'rw', 10)))
    O.append(Obj(0x6068, 'Position Window Time', var=v('Position Window Time', U16, 'rw', 10)))
    O.append(Obj(0x606C, 'Velocity Actual Value', var=v('Velocity Actual Value', S32, 'ro', 0, pdo=1)))
    O.append(Obj(0x6071, 'Target Torque', var=v('Target Torque', S16, 'rw', 0, pdo=1, lo=-1000, hi=1000)))
    O.append(Obj(0x6077, 'Torque Actual Value', var=v('Torque Actual Value', S16, 'ro', 0, pdo=1)))
    O.append(Obj(0x607A, 'Target Position', var=v('Target Position', S32, 'rw', 0, pdo=1)))
    O.append(Obj(0x607C, 'Home Offset', var=v('Home Offset', S32, 'rw', 0)))
    O.append(Obj(0x607E, 'Polarity', var=v('Polarity', U8, 'rw', 0)))
    O.append(Obj(0x607F, 'Max Profile Velocity', var=v('Max Profile Velocity', U32, 'rw', 25000, lo=0, hi=25000)))
    O.append(Obj(0x6081, 'Profile Velocity', var=v('Profile Velocity', U32, 'rw', 1000, pdo=1)))
    O.append(Obj(0x6082, 'End Velocity', var=v('End Velocity', U32, 'rw', 500)))
    O.append(Obj(0x6083, 'Profile Acceleration', var=v('Profile Acceleration', U32, 'rw', 500, pdo=1, lo=1, hi=4294967295)))
    O.append(Obj(0x6084, 'Profile Deceleration', var=v('Profile Deceleration', U32, 'rw', 500, pdo=1, lo=1, hi=4294967295)))
    O.append(Obj(0x6085, 'Quick Stop Deceleration', var=v('Quick Stop Deceleration', U32, 'rw', 80000, lo=1, hi=4294967295)))
    O.append(Obj(0x6086, 'Motion Profile Type', var=v('Motion Profile Type', S16, 'rw', 0, lo=0, hi=2)))
    O.append(Obj(0x6087, 'Torque Slope', var=v('Torque Slope', U32, 'rw', 1000)))
    if 'enc' in f:
        O.append(arr(0x608F, 'Position Encoder Resolution', 'Number of Entries', {
            1: v('Encoder Increments', U32, 'rw', 2000 if m['stepper'] else 4096, lo=1, hi=4294967295),
            2: v('Motor Revolutions', U32, 'rw', 1, lo=1, hi=4294967295)}))
    O.append(arr(0x6091, 'Gear Ratio', 'Number of Entries', {
        1: v('Motor Revolutions', U32, 'rw', 1), 2: v('Shaft Revolutions', U32, 'rw', 1)}))
    O.append(arr(0x6092, 'Feed Constant', 'Number of Entries', {
        1: v('Feed', U32, 'rw', 1), 2: v('Shaft Revolutions', U32, 'rw', 1)}))
    O.append(Obj(0x6098, 'Homing Method', var=v('Homing Method', S8, 'rw', 0, lo=-7, hi=35)))
    O.append(arr(0x6099, 'Homing Speeds', 'Number of Entries', {
        1: v('Speed During Search for Switch', U32, 'rw', 10000),
        2: v('Speed During Search for Zero', U32, 'rw', 2500)}))
    O.append(Obj(0x609A, 'Homing Acceleration', var=v('Homing Acceleration', U32, 'rw', 10000)))
    O.append(Obj(0x60C0, 'Interpolation Sub Mode Select', var=v('Interpolation Sub Mode Select', S16, 'rw', 0, lo=0, hi=0)))
    O.append(arr(0x60C1, 'Interpolation Data Record', 'Number of Entries', {
        1: v('Interpolation Position', S32, 'rw', 0, pdo=1)}))
    O.append(arr(0x60C2, 'Interpolation Time Period', 'Highest Sub-Index Supported', {
        1: v('Interpolation Time Units', U8, 'rw', 1),
        2: v('Interpolation Time Index', S8, 'rw', -3, lo=-128, hi=63)}, otype=RECORD))
    O.append(Obj(0x60FD, 'Digital Inputs', var=v('Digital Inputs', U32, 'ro', 0, pdo=1)))
    O.append(arr(0x60FE, 'Digital Outputs', 'Number of Entries', {
        1: v('Physical Outputs', U32, 'rw', 0, pdo=1), 2: v('Output Bit Mask', U32, 'rw', 0)}))
    O.append(Obj(0x60FF, 'Target Velocity', var=v('Target Velocity', S32, 'rw', 0, pdo=1)))
    # ---------------------------------------------------------- analog inputs
    n_ai = 2
    O.append(arr(0x6401, 'Analog Input', 'Number of Analog Inputs',
                 {i: v(f'Analog Input {i}', S16, 'ro', 0, pdo=1) for i in range(1, n_ai + 1)},
                 comment='Analog inputs and their interrupt settings'))
    O.append(Obj(0x6423, 'Analog Input Global Interrupt Enable',
                 var=v('Analog Input Global Interrupt Enable', BOOL, 'rw', 0, lo=0, hi=1)))
    for idx, name, dt, d in [(0x6424, 'Analog Input Interrupt Upper Limit', S32, 1023),
                             (0x6425, 'Analog Input Interrupt Lower Limit', S32, 0),
                             (0x6426, 'Analog Input Interrupt Delta', U32, 0),
                             (0x6427, 'Analog Input Interrupt Negative Delta', U32, 0),
                             (0x6428, 'Analog Input Interrupt Positive Delta', U32, 0)]:
        O.append(arr(idx, name, 'Number of Analog Inputs',
                     {i: v(f'{name.replace("Analog Input ", "")} Input {i}', dt, 'rw', d, lo=0, hi=1023)
                      for i in range(1, n_ai + 1)}))
    O.sort(key=lambda o: o.idx)
    return O

TITLES = {
    'Default': 'Generic object dictionary of the Orvane controller family, used until the connected controller is known.',
    'Mirelo': 'Object dictionary of the Orvane Mirelo stepper controller (closed loop with encoder input).',
    'Torvik': 'Object dictionary of the Orvane Torvik BLDC controller (hall sensors, encoder, closed loop).',
    'Brelan': 'Object dictionary of the Orvane Brelan stepper controller with external brake output.',
}

def write(model, path):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', f'<!-- {TITLES[model]} -->',
             f'<ObjectDictionary Device="{model}">']
    for o in build(model):
        lines += obj_xml(o)
    lines.append('</ObjectDictionary>')
    with open(path, 'w', newline='\n') as fh:
        fh.write('\n'.join(lines) + '\n')

if __name__ == '__main__':
    out = sys.argv[1]
    for model in (sys.argv[2:] or MODELS):
        write(model, f'{out}/EDS_{model}.xml')

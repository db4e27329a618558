#!/usr/bin/env python3
import sys
D = sys.argv[1]
# (series, model, windings, polepairs/stepangle or hallmode, maxcurrent, load angles, node distance)
STEPPERS = [
    ('ST28', 'ST28-32-0.67', 2, '1.8', '0.67', [0, 10, 18, 26, 32, 36, 38], 20),
    ('ST28', 'ST28-45-0.95', 2, '1.8', '0.95', [0, 11, 20, 28, 34, 38, 40], 20),
    ('ST42', 'ST42-34-1.3', 2, '1.8', '1.30', [0, 12, 22, 31, 38, 43, 46], 25),
    ('ST42', 'ST42-40-1.7', 4, '1.8', '1.70', [0, 13, 24, 33, 40, 45, 48], 25),
    ('ST42', 'ST42-48-1.7H', 4, '0.9', '1.70', [0, 7, 13, 18, 22, 25, 27], 25),
    ('ST56', 'ST56-41-2.8', 4, '1.8', '2.80', [0, 14, 26, 36, 44, 50, 54], 30),
    ('ST56', 'ST56-56-3.0', 8, '1.8', '3.00', [0, 15, 27, 38, 46, 52, 56], 30),
    ('ST56', 'ST56-76-4.2', 8, '1.8', '4.20', [0, 16, 29, 40, 48, 54, 58], 30),
    ('ST86', 'ST86-80-4.2', 8, '1.8', '4.20', [0, 17, 31, 42, 51, 57, 61], 40),
    ('ST86', 'ST86-118-6.0', 8, '1.8', '6.00', [0, 18, 33, 45, 54, 60, 64], 40),
]
BLDCS = [
    ('BL42', 'BL42-47-24', 4, '0', '3.50'),
    ('BL42', 'BL42-78-24', 4, '0', '6.20'),
    ('BL57', 'BL57-55-24', 4, '1', '7.00'),
    ('BL57', 'BL57-115-48', 4, '1', '9.50'),
    ('BL86', 'BL86-99-48', 4, '0', '10.00'),
    ('BL86', 'BL86-138-48', 5, '0', '14.00'),
]
out = ['<?xml version="1.0" encoding="UTF-8"?>',
       '<!-- Motor catalogue for the Orvane controllers: one MotorTypeSetting per motor model.',
       '     MotorType is the series; Design "Stepper_Motor" files the series under the stepper',
       '     motors, any other design under the BLDC motors. MaxCurrent is the rated phase',
       '     current in ampere; LoadAngle holds the load angle at halt and at six sampling',
       '     points, NodeDistance the distance between two sampling points. -->',
       '<MotorTypes>']
mid = 1
def motor(series, model, design, angle_el, angle, windings, pp, la, nd, cur):
    global mid
    out.extend(['  <MotorTypeSetting>', f'    <MotorID>{mid}</MotorID>', f'    <MotorType>{series}</MotorType>',
                f'    <MotorBezeichnung>{model}</MotorBezeichnung>', f'    <Design>{design}</Design>',
                f'    <{angle_el}>{angle}</{angle_el}>', f'    <Windings>{windings}</Windings>',
                f'    <Polepairs>{pp}</Polepairs>', '    <LoadAngle>'] +
               [f'      <Point{i}>{v}</Point{i}>' for i, v in enumerate(la)] +
               ['    </LoadAngle>', f'    <NodeDistance>{nd}</NodeDistance>', f'    <MaxCurrent>{cur}</MaxCurrent>',
                '  </MotorTypeSetting>'])
    mid += 1
for s, m, w, a, c, la, nd in STEPPERS:
    motor(s, m, 'Stepper_Motor', 'StepAngle', 'Degrees1_8PerStep' if a == '1.8' else 'Degrees0_9PerStep',
          w, 50 if a == '1.8' else 100, la, nd, c)
for s, m, pp, hall, c in BLDCS:
    motor(s, m, 'BLDC_Hall_Motor', 'HallMode', hall, 3, pp, [0] * 7, 0, c)
out.append('</MotorTypes>')
open(f'{D}/MotorType.xml', 'w').write('\n'.join(out) + '\n')

# Closed-loop parameter sets: MotorType's first two characters are the key
# ("De" is shown as "Default", every other key k as "ST" + k + "xx").
SETS = {
    'Defaults': [('Default', 10, 10, 1000, 100,
                  [2, 0, 1, 6, 0, 0, 100, 0, 2, 0, 300, 0, 50, 0, 2, 0, 0, 0, 2, 0, 1, 6, 0, 0])],
    'StepperSeries': [
        ('28xx', 8, 10, 600, 100, [3, 0, 1, 6, 0, 0, 80, 0, 2, 0, 200, 0, 40, 0, 2, 0, 0, 0, 2, 0, 1, 6, 0, 0]),
        ('42xx', 10, 10, 1000, 100, [2, 0, 1, 6, 0, 0, 100, 0, 2, 0, 300, 0, 50, 0, 2, 0, 0, 0, 2, 0, 1, 6, 0, 0]),
        ('56xx', 12, 15, 1500, 150, [5, 1, 3, 7, 1, 2, 150, 0, 3, 0, 450, 0, 60, 0, 3, 0, 0, 0, 3, 0, 1, 5, 0, 0]),
        ('86xx', 16, 20, 2000, 200, [3, 0, 1, 5, 1, 1, 220, 0, 4, 0, 600, 0, 80, 0, 4, 0, 1, 2, 4, 0, 3, 7, 0, 0]),
    ],
}
FIELDS = [f'K{t}_{l}_{p}' for l in ('v', 's', 'csv', 'css') for t in ('P', 'I', 'D') for p in ('Z', 'N')]
out = ['<?xml version="1.0" encoding="UTF-8"?>',
       '<!-- Default closed-loop parameter sets by motor series. Each controller part is a',
       '     numerator (_Z) and a power-of-two denominator exponent (_N); the windows are in',
       '     steps and the times in milliseconds. -->',
       '<ClosedLoop>']
for group, sets in SETS.items():
    out.append(f'  <{group}>')
    for mt, pw, pwt, few, fet, vals in sets:
        out += ['    <ParameterSet>', f'      <MotorType>{mt}</MotorType>', f'      <PositionWindow>{pw}</PositionWindow>',
                f'      <PositionWindowTime>{pwt}</PositionWindowTime>',
                f'      <FollowingErrorWindow>{few}</FollowingErrorWindow>',
                f'      <FollowingErrorTimeout>{fet}</FollowingErrorTimeout>']
        out += [f'      <{f}>{v}</{f}>' for f, v in zip(FIELDS, vals)]
        out.append('    </ParameterSet>')
    out.append(f'  </{group}>')
out.append('</ClosedLoop>')
open(f'{D}/ClosedLoop.xml', 'w').write('\n'.join(out) + '\n')

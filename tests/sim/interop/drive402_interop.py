#!/usr/bin/env python3
"""Drives one simulated drive from outside, as any CANopen master would:
python-can over socketcand, a small SDO client of its own, and the drive
profile's state coding and controlword commands.

usage: drive402_interop.py HOST PORT CHANNEL NODE_ID [--sim-in FD --sim-out FD]

--sim-in/--sim-out are the simulator's standard input and output, inherited
as open file descriptors; with them the drive's supply can be switched off to
cause a fault. Exits 0 when every check passes, 1 with a message otherwise.
"""

import argparse
import collections
import os
import select
import sys
import time

import can

# Everything waits by polling against a deadline; the limits are generous
# because the test shares a loaded machine with parallel builds and tests.
SDO_TIMEOUT_S = 5.0
STATE_TIMEOUT_S = 10.0
MOTION_TIMEOUT_S = 30.0


class Failure(Exception):
    pass


class SdoAbort(Failure):
    def __init__(self, index, sub, code):
        super().__init__("SDO abort 0x%08X on 0x%04X:%d" % (code, index, sub))
        self.code = code


# --- SDO client (expedited transfers only) ----------------------------------

ABORT_TIMEOUT = 0x05040000
ABORT_BAD_COMMAND = 0x05040001


class Node:
    """One node on the bus: SDO requests and NMT; frames that are not the
    awaited answer are handed to `observe` so nothing is lost while waiting."""

    def __init__(self, bus, node_id):
        self.bus = bus
        self.id = node_id
        self.seen = collections.deque(maxlen=1000)  # other frames that arrived, newest last

    def send(self, cob_id, data):
        self.bus.send(can.Message(arbitration_id=cob_id, data=bytes(data), is_extended_id=False))

    def receive_until(self, match, timeout_s):
        deadline = time.monotonic() + timeout_s
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            msg = self.bus.recv(min(left, 0.5))
            # python-can's socketcand client marks every received frame as
            # extended; the identifiers this master waits for are all 11-bit.
            if msg is None or msg.is_remote_frame or msg.arbitration_id > 0x7FF:
                continue
            if match(msg):
                return msg
            self.seen.append(msg)

    def wait_frame(self, match, timeout_s):
        """A frame that already arrived while waiting for something else, or
        the next one that matches."""
        for msg in self.seen:
            if match(msg):
                self.seen.remove(msg)
                return msg
        return self.receive_until(match, timeout_s)

    def _transfer(self, request, index, sub):
        self.send(0x600 + self.id, request)

        def answer(msg):
            d = msg.data
            return (msg.arbitration_id == 0x580 + self.id and len(d) == 8
                    and d[1] | d[2] << 8 == index and d[3] == sub)

        msg = self.receive_until(answer, SDO_TIMEOUT_S)
        if msg is None:
            # A client that gives up tells the server, so it can drop the transfer.
            self.send(0x600 + self.id, _multiplexed(0x80, index, sub, ABORT_TIMEOUT.to_bytes(4, "little")))
            raise Failure("no SDO answer for 0x%04X:%d within %.0f s" % (index, sub, SDO_TIMEOUT_S))
        if msg.data[0] == 0x80:
            raise SdoAbort(index, sub, int.from_bytes(msg.data[4:8], "little"))
        return bytes(msg.data)

    def upload(self, index, sub=0):
        d = self._transfer(_multiplexed(0x40, index, sub), index, sub)
        scs, expedited, sized = d[0] >> 5, d[0] & 0x02, d[0] & 0x01
        if scs != 2:
            self.send(0x600 + self.id, _multiplexed(0x80, index, sub, ABORT_BAD_COMMAND.to_bytes(4, "little")))
            raise Failure("0x%04X:%d: unexpected upload answer %s" % (index, sub, d.hex()))
        if not expedited:
            raise Failure("0x%04X:%d: the server started a segmented upload" % (index, sub))
        size = 4 - (d[0] >> 2 & 0x03) if sized else 4
        return d[4:4 + size]

    def download(self, index, sub, data):
        if not 1 <= len(data) <= 4:
            raise ValueError("expedited downloads carry 1..4 bytes")
        command = 0x20 | (4 - len(data)) << 2 | 0x03  # initiate, expedited, size given
        d = self._transfer(_multiplexed(command, index, sub, data), index, sub)
        if d[0] != 0x60:
            raise Failure("0x%04X:%d: unexpected download answer %s" % (index, sub, d.hex()))

    def read(self, index, sub=0, signed=False):
        return int.from_bytes(self.upload(index, sub), "little", signed=signed)

    def write(self, index, sub, value, size, signed=False):
        self.download(index, sub, value.to_bytes(size, "little", signed=signed))

    def nmt(self, command):
        self.send(0x000, [command, self.id])


def _multiplexed(command, index, sub, data=b"\0\0\0\0"):
    return bytes([command, index & 0xFF, index >> 8, sub]) + bytes(data).ljust(4, b"\0")


# --- drive profile ------------------------------------------------------------

CONTROLWORD, STATUSWORD = 0x6040, 0x6041
MODE, MODE_DISPLAY = 0x6060, 0x6061
POSITION_ACTUAL, TARGET_POSITION = 0x6064, 0x607A
HOME_OFFSET, HOMING_METHOD = 0x607C, 0x6098
PROFILE_VELOCITY, PROFILE_ACCELERATION, PROFILE_DECELERATION = 0x6081, 0x6083, 0x6084
QUICK_STOP_OPTION = 0x605A

# State coding of the statusword: (mask, value, name).
STATES = [
    (0x4F, 0x00, "not ready to switch on"),
    (0x4F, 0x40, "switch on disabled"),
    (0x6F, 0x21, "ready to switch on"),
    (0x6F, 0x23, "switched on"),
    (0x6F, 0x27, "operation enabled"),
    (0x6F, 0x07, "quick stop active"),
    (0x4F, 0x0F, "fault reaction active"),
    (0x4F, 0x08, "fault"),
]
SOD, RTSO, SO, OE, QSA, FAULT = ("switch on disabled", "ready to switch on", "switched on",
                                 "operation enabled", "quick stop active", "fault")

# Controlword commands (bits 7, 3..0).
SHUTDOWN, SWITCH_ON, ENABLE_OPERATION = 0x06, 0x07, 0x0F
DISABLE_OPERATION, DISABLE_VOLTAGE, QUICK_STOP, FAULT_RESET = 0x07, 0x00, 0x02, 0x80

# Statusword bits of the operation modes.
TARGET_REACHED = 1 << 10
SET_POINT_ACK = HOMING_ATTAINED = 1 << 12
HOMING_ERROR = 1 << 13

# Controlword bits of the operation modes.
NEW_SET_POINT = HOMING_START = 1 << 4
RELATIVE = 1 << 6


def state_of(statusword):
    for mask, value, name in STATES:
        if statusword & mask == value:
            return name
    return "undefined (0x%04X)" % statusword


def poll(what, probe, timeout_s):
    """Calls probe() until it returns a true value; fails with the last
    value it returned once timeout_s has passed."""
    deadline = time.monotonic() + timeout_s
    while True:
        result, last = probe()
        if result:
            return last
        if time.monotonic() > deadline:
            raise Failure("%s: not within %.0f s, last %s" % (what, timeout_s, last))
        time.sleep(0.005)  # paces the SDO requests only


class Drive:
    def __init__(self, node):
        self.node = node

    def statusword(self):
        return self.node.read(STATUSWORD)

    def command(self, controlword):
        self.node.write(CONTROLWORD, 0, controlword, 2)

    def state(self):
        return state_of(self.statusword())

    def wait_state(self, expected, what):
        def probe():
            sw = self.statusword()
            return state_of(sw) == expected, "statusword 0x%04X (%s)" % (sw, state_of(sw))
        return poll("%s: reaching %s" % (what, expected), probe, STATE_TIMEOUT_S)

    def wait_bits(self, set_bits, clear_bits, what, timeout_s=MOTION_TIMEOUT_S):
        def probe():
            sw = self.statusword()
            if sw & 0x08:
                raise Failure("%s: the drive faulted, statusword 0x%04X" % (what, sw))
            return sw & set_bits == set_bits and sw & clear_bits == 0, "statusword 0x%04X" % sw
        poll(what, probe, timeout_s)

    def stays(self, expected, seconds, what):
        """Watches the state for a while: it must not leave `expected`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            state = self.state()
            check(state == expected, "%s: left %s for %s" % (what, expected, state))

    def set_mode(self, mode):
        self.node.write(MODE, 0, mode, 1, signed=True)
        poll("mode display shows %d" % mode,
             lambda: (lambda m: (m == mode, "mode display %d" % m))(self.node.read(MODE_DISPLAY, signed=True)),
             STATE_TIMEOUT_S)

    def enable(self):
        """From wherever the drive is (no fault) to operation enabled."""
        for cw, expected in ((DISABLE_VOLTAGE, SOD), (SHUTDOWN, RTSO), (SWITCH_ON, SO), (ENABLE_OPERATION, OE)):
            self.command(cw)
            self.wait_state(expected, "enabling")


def check(condition, message):
    if not condition:
        raise Failure(message)


def report(text):
    print("ok: " + text, flush=True)


# --- the checks ---------------------------------------------------------------

def check_nmt(node):
    # A communication reset reboots the node's communication: a boot-up
    # message follows, and the reset brings the heartbeat time to its default.
    node.nmt(0x82)
    boot = node.receive_until(lambda m: m.arbitration_id == 0x700 + node.id, STATE_TIMEOUT_S)
    check(boot is not None, "no boot-up message after the communication reset")
    check(bytes(boot.data) == b"\x00", "boot-up message carries %s, not 00" % boot.data.hex())
    report("boot-up message after a communication reset")

    node.write(0x1017, 0, 100, 2)  # producer heartbeat every 100 ms
    node.nmt(0x01)
    beat = node.receive_until(lambda m: m.arbitration_id == 0x700 + node.id and bytes(m.data) == b"\x05",
                              STATE_TIMEOUT_S)
    check(beat is not None, "no heartbeat reporting operational after NMT start")
    report("heartbeat reports operational after NMT start")
    node.write(0x1017, 0, 0, 2)


# Each step: (transition, command, state it leads to). The walk starts in
# switch on disabled and every step starts where the previous one ended.
WALK = [
    (2, SHUTDOWN, RTSO),
    (3, SWITCH_ON, SO),
    (4, ENABLE_OPERATION, OE),
    (5, DISABLE_OPERATION, SO),
    (6, SHUTDOWN, RTSO),
    (7, DISABLE_VOLTAGE, SOD),
    (2, SHUTDOWN, RTSO),
    (7, QUICK_STOP, SOD),
    (2, SHUTDOWN, RTSO),
    (3, SWITCH_ON, SO),
    (10, DISABLE_VOLTAGE, SOD),
    (2, SHUTDOWN, RTSO),
    (3, SWITCH_ON, SO),
    (10, QUICK_STOP, SOD),
    (2, SHUTDOWN, RTSO),
    (3, SWITCH_ON, SO),
    (4, ENABLE_OPERATION, OE),
    (8, SHUTDOWN, RTSO),
    (3, SWITCH_ON, SO),
    (4, ENABLE_OPERATION, OE),
    (9, DISABLE_VOLTAGE, SOD),
    (2, SHUTDOWN, RTSO),
    (3, SWITCH_ON, SO),
    (4, ENABLE_OPERATION, OE),
    (11, QUICK_STOP, QSA),
    (12, DISABLE_VOLTAGE, SOD),
]


def check_power_states(drive, node):
    drive.command(DISABLE_VOLTAGE)
    drive.wait_state(SOD, "start")
    # Quick stop option 6: stop on the quick stop ramp and stay in quick stop
    # active, so transition 12 happens on the disable voltage command.
    node.write(QUICK_STOP_OPTION, 0, 6, 2, signed=True)
    for transition, cw, expected in WALK:
        before = drive.state()
        drive.command(cw)
        drive.wait_state(expected, "transition %d (controlword 0x%04X)" % (transition, cw))
        report("transition %d: %s -> %s" % (transition, before, expected))

    # Options 1..4 end the quick stop in switch on disabled on their own.
    node.write(QUICK_STOP_OPTION, 0, 2, 2, signed=True)
    drive.enable()
    drive.command(QUICK_STOP)
    drive.wait_state(SOD, "transition 11 then 12 with quick stop option 2")
    report("transition 11 then 12 on its own with quick stop option 2")


def move(drive, node, target, relative):
    base = ENABLE_OPERATION | (RELATIVE if relative else 0)
    node.write(TARGET_POSITION, 0, target, 4, signed=True)
    drive.command(base | NEW_SET_POINT)
    drive.wait_bits(SET_POINT_ACK, 0, "set-point acknowledge for target %d" % target, STATE_TIMEOUT_S)
    drive.command(base)
    drive.wait_bits(TARGET_REACHED, SET_POINT_ACK, "target %d reached" % target)
    return node.read(POSITION_ACTUAL, signed=True)


# (target, relative, expected position afterwards), run in order.
MOVES = [
    (5000, False, 5000),
    (1500, True, 6500),
    (-2500, True, 4000),
    (-3000, False, -3000),
    (0, True, -3000),
]


def check_profile_position(drive, node):
    drive.set_mode(1)
    node.write(PROFILE_VELOCITY, 0, 20000, 4)
    node.write(PROFILE_ACCELERATION, 0, 100000, 4)
    node.write(PROFILE_DECELERATION, 0, 100000, 4)
    drive.enable()
    for target, relative, expected in MOVES:
        position = move(drive, node, target, relative)
        kind = "relative" if relative else "absolute"
        check(position == expected, "%s move by/to %d ended at %d, not %d" % (kind, target, position, expected))
        report("profile position %s %d -> position %d" % (kind, target, position))
    drive.command(ENABLE_OPERATION)


def check_homing(drive, node):
    home_offset = 1234
    method = None
    for candidate in (37, 35):  # both take the current position as home, without motion
        try:
            node.write(HOMING_METHOD, 0, candidate, 1, signed=True)
            method = candidate
            break
        except SdoAbort as abort:
            print("note: homing method %d refused (abort 0x%08X)" % (candidate, abort.code), flush=True)
    check(method is not None, "the drive takes neither homing method 37 nor 35")
    check(node.read(HOMING_METHOD, signed=True) == method, "homing method does not read back as %d" % method)
    node.write(HOME_OFFSET, 0, home_offset, 4, signed=True)
    drive.set_mode(6)
    drive.enable()
    drive.command(ENABLE_OPERATION | HOMING_START)
    drive.wait_bits(HOMING_ATTAINED | TARGET_REACHED, HOMING_ERROR, "homing with method %d attained" % method)
    position = node.read(POSITION_ACTUAL, signed=True)
    check(position == home_offset, "after homing the position is %d, not the home offset %d" % (position, home_offset))
    drive.command(ENABLE_OPERATION)
    report("homing method %d: position %d equals the home offset" % (method, position))


class Simulator:
    """The simulator's command line, through its standard input and output."""

    def __init__(self, fd_in, fd_out):
        self.fd_in = fd_in
        self.fd_out = fd_out

    def command(self, line):
        os.write(self.fd_in, (line + "\n").encode())
        reply = b""
        deadline = time.monotonic() + SDO_TIMEOUT_S
        while not reply.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd_out], [], [], left)[0]:
                raise Failure("the simulator did not answer '%s'" % line)
            chunk = os.read(self.fd_out, 1)
            if not chunk:
                raise Failure("the simulator closed its output")
            reply += chunk
        return reply.decode().strip()


def check_fault_reset(drive, node, sim):
    if sim is None:
        print("note: transition 15 skipped: no access to the simulator's commands", flush=True)
        return
    drive.enable()
    reply = sim.command("node %d supply off" % node.id)
    if reply.startswith("error: unknown command"):
        print("note: transition 15 skipped: the simulator cannot switch a drive's supply yet (%s)" % reply,
              flush=True)
        return
    check(reply == "ok", "switching the supply off: %s" % reply)
    drive.wait_state(FAULT, "losing the supply while enabled")
    report("losing the supply while enabled: fault")
    # The fault is announced by an emergency message from the voltage group.
    emcy = node.wait_frame(lambda m: m.arbitration_id == 0x80 + node.id and len(m.data) == 8
                           and m.data[0] | m.data[1] << 8 != 0, STATE_TIMEOUT_S)
    check(emcy is not None, "no emergency message for the fault")
    code = emcy.data[0] | emcy.data[1] << 8
    check(code & 0xF000 == 0x3000, "emergency code 0x%04X is not a voltage error" % code)
    check(emcy.data[2] != 0, "the error register of the emergency message is 0")
    report("emergency 0x%04X, error register 0x%02X" % (code, emcy.data[2]))
    check(sim.command("node %d supply on" % node.id) == "ok", "switching the supply back on failed")
    # A fault is left only on a rising edge of the fault reset bit.
    drive.command(DISABLE_VOLTAGE)
    drive.command(SHUTDOWN)
    drive.stays(FAULT, 0.2, "a shutdown command in fault")
    drive.command(FAULT_RESET)
    drive.wait_state(SOD, "transition 15 (fault reset)")
    report("transition 15: fault -> switch on disabled")
    # A device that recovered from its error says so with an emergency message
    # of code 0 and a clear error register.
    cleared = node.wait_frame(lambda m: m.arbitration_id == 0x80 + node.id and len(m.data) == 8
                              and m.data[0] | m.data[1] << 8 == 0, STATE_TIMEOUT_S)
    check(cleared is not None, "no error reset emergency message after the fault reset")
    register = node.read(0x1001)
    check(register == 0, "error register 0x%02X after the fault reset" % register)
    report("error reset emergency message and a clear error register after the fault reset")
    drive.command(DISABLE_VOLTAGE)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("channel")
    parser.add_argument("node_id", type=int)
    parser.add_argument("--sim-in", type=int, help="file descriptor of the simulator's standard input")
    parser.add_argument("--sim-out", type=int, help="file descriptor of the simulator's standard output")
    args = parser.parse_args()
    sim = Simulator(args.sim_in, args.sim_out) if args.sim_in is not None and args.sim_out is not None else None

    bus = can.Bus(interface="socketcand", host=args.host, port=args.port, channel=args.channel)
    try:
        node = Node(bus, args.node_id)
        drive = Drive(node)
        check_nmt(node)
        check_power_states(drive, node)
        check_profile_position(drive, node)
        check_homing(drive, node)
        check_fault_reset(drive, node, sim)
    except Failure as failure:
        print("FAIL: %s" % failure, flush=True)
        return 1
    finally:
        bus.shutdown()
    print("all drive checks passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A hostile vehicle on the V2G connection, built frame by frame with scapy
in the vehicle's network namespace. Its source is a link-local address the
vehicle's kernel does not own, so the kernel stays out of the way: the
station's answers reach plc0, the kernel drops them and scapy reads them.

It finds the station by SDP, connects to the V2G port and sends V2GTP
messages that the station (MarletEcho) answers with their own bytes. Between
them it sends what a blind or sloppy peer sends:
  - a SYN with sequence number 555 on the open connection: the station must
    answer with an ACK at the connection's own numbers, never a reset;
  - a message with the urgent flag and pointer 4, then one with pointer 200
    (past its 20 bytes): each comes back whole.
The last message (payload type 0x8002) ends the session and the station
closes the connection.

With --syn-into it joins a connection of the vehicle's kernel instead (a
charge in progress): it learns the connection from the station's segments
and sends the SYN with sequence number 555 from the kernel's own address and
port; the station must not reset the connection, and its answers must go on.

  hostile_vehicle.py --if plc0 --station-mac 00:b0:52:4d:01:02
  hostile_vehicle.py --if plc0 --syn-into

Prints one "ok ..." line per step; exits 1 with "FAIL ..." otherwise."""
import argparse
import queue
import socket
import struct
import sys
import time

from scapy.all import IPv6, TCP, UDP, AsyncSniffer, Ether, Raw, conf, get_if_hwaddr, sendp

conf.verb = 0
SPOOFED = "fe80::2:5eed:ca7:1"  # no address of the vehicle's kernel
WAIT_S = 30  # each answer; the station may run under an emulator on a loaded machine


def fail(text):
    print("FAIL " + text, flush=True)
    sys.exit(1)


def message(size, seed, payload_type=0x8001):
    return struct.pack(">BBHI", 1, 0xFE, payload_type, size) + bytes((seed + i) & 0xFF for i in range(size))


class Vehicle:
    def __init__(self, ifname, station_mac):
        self.ifname = ifname
        self.mac = get_if_hwaddr(ifname)
        self.station_mac = station_mac
        self.frames = queue.Queue()
        self.sniffer = AsyncSniffer(iface=ifname, store=False, prn=self.frames.put,
                                    lfilter=lambda p: IPv6 in p and p[IPv6].dst == SPOOFED)
        self.sniffer.start()
        time.sleep(0.5)
        self.station = None
        self.sport = 49321
        self.dport = None
        self.snd = 0x51ED0000  # next sequence number to send
        self.una = self.snd    # oldest unacknowledged
        self.rcv = None        # next sequence number expected from the station
        self.stream = b""
        self.fin = False

    def send(self, pkt, dst_mac=None):
        sendp(Ether(src=self.mac, dst=dst_mac or self.station_mac) / pkt, iface=self.ifname)

    def segment(self, flags, data=b"", seq=None, urgent=0):
        tcp = TCP(sport=self.sport, dport=self.dport, seq=self.snd if seq is None else seq,
                  ack=self.rcv if "A" in flags else 0, flags=flags, window=64240, urgptr=urgent)
        self.send(IPv6(src=SPOOFED, dst=self.station, hlim=64) / tcp / Raw(data) if data else
                  IPv6(src=SPOOFED, dst=self.station, hlim=64) / tcp)

    def next_frame(self, until):
        try:
            return self.frames.get(timeout=max(0.01, until - time.monotonic()))
        except queue.Empty:
            return None

    # Takes one TCP segment of the station: acknowledged data goes into the
    # stream in order; a reset fails the run at once.
    def take(self, p):
        t = p[TCP]
        if t.flags.R:
            fail("the station reset the connection: %s" % p.summary())
        if t.flags.A and (t.ack - self.una) % 2**32 <= (self.snd - self.una) % 2**32:
            self.una = t.ack
        data = bytes(t.payload)
        if data and t.seq == self.rcv:
            self.stream += data
            self.rcv = (self.rcv + len(data)) % 2**32
        if t.flags.F and (t.seq + len(data)) % 2**32 == self.rcv:
            self.rcv = (self.rcv + 1) % 2**32
            self.fin = True
        if data or t.flags.F:
            self.segment("A")

    # Waits for a station segment that `pred` accepts, taking every segment
    # on the way; `resend` is called every second meanwhile.
    def wait(self, what, pred, resend=None):
        until = time.monotonic() + WAIT_S
        next_resend = time.monotonic() + 1
        while time.monotonic() < until:
            p = self.next_frame(min(until, next_resend))
            if p is not None and TCP in p and p[TCP].sport == self.dport and p[TCP].dport == self.sport:
                self.take(p)
                if pred(p[TCP]):
                    return p[TCP]
            if resend and time.monotonic() >= next_resend:
                resend()
                next_resend = time.monotonic() + 1
        fail("no %s within %d s" % (what, WAIT_S))

    def sdp(self):
        req = bytes([1, 0xFE, 0x90, 0x00, 0, 0, 0, 2, 0x10, 0x00])
        ask = lambda: self.send(IPv6(src=SPOOFED, dst="ff02::1", hlim=255) / UDP(sport=49320, dport=15118) / Raw(req),
                                dst_mac="33:33:00:00:00:01")
        ask()
        until = time.monotonic() + WAIT_S
        next_ask = time.monotonic() + 1
        while time.monotonic() < until:
            p = self.next_frame(min(until, next_ask))
            if p is not None and UDP in p and p[UDP].sport == 15118:
                answer = bytes(p[UDP].payload)
                if len(answer) == 28 and answer[:4] == bytes([1, 0xFE, 0x90, 0x01]):
                    self.station = socket.inet_ntop(socket.AF_INET6, answer[8:24])
                    self.dport = struct.unpack(">H", answer[24:26])[0]
                    print("ok   SDP answer to %s: [%s]:%d" % (SPOOFED, self.station, self.dport), flush=True)
                    return
            if time.monotonic() >= next_ask:
                ask()
                next_ask = time.monotonic() + 1
        fail("no SDP answer")

    def connect(self):
        syn = lambda: self.send(
            IPv6(src=SPOOFED, dst=self.station, hlim=64) /
            TCP(sport=self.sport, dport=self.dport, seq=(self.snd - 1) % 2**32, flags="S", window=64240,
                options=[("MSS", 1460)]))
        syn()
        t = self.wait("SYN-ACK", lambda t: t.flags == "SA" and t.ack == self.snd, resend=syn)
        mss = dict(t.options).get("MSS")
        if mss != 1440 or t.window != 512:
            fail("SYN-ACK offers MSS %s window %d, wanted 1440 and 512" % (mss, t.window))
        self.rcv = (t.seq + 1) % 2**32
        self.segment("A")
        print("ok   connected: SYN-ACK with MSS 1440 and window 512", flush=True)

    # Sends one message (with the urgent flag and `urgent` when given) and
    # reads back its echo, which must be the same bytes.
    def round(self, m, urgent=None, what=None):
        seq = self.snd
        flags = "PAU" if urgent is not None else "PA"
        out = lambda: self.segment(flags, m, seq=seq, urgent=urgent or 0)
        start = len(self.stream)
        self.snd = (self.snd + len(m)) % 2**32
        out()
        self.wait("echo of %d bytes" % len(m), lambda t: len(self.stream) - start >= len(m),
                  resend=lambda: self.una != self.snd and out())
        back = self.stream[start:]
        if back != m:
            fail("%s: %d bytes came back as %d bytes %s" % (what or "message", len(m), len(back), back[:24].hex()))
        print("ok   %s: %d bytes answered byte for byte" % (what or "message", len(m)), flush=True)

    def blind_syn(self):
        self.send(IPv6(src=SPOOFED, dst=self.station, hlim=64) /
                  TCP(sport=self.sport, dport=self.dport, seq=555, flags="S", window=64240))
        t = self.wait("challenge ACK", lambda t: len(bytes(t.payload)) == 0 and t.flags == "A")
        if t.ack != self.snd or t.seq != self.rcv:
            fail("the SYN was answered with seq %d ack %d, wanted %d and %d" % (t.seq, t.ack, self.rcv, self.snd))
        print("ok   a SYN with sequence number 555 got an ACK at the connection's own numbers", flush=True)

    def close(self):
        if not self.fin:
            self.wait("the station's FIN", lambda t: self.fin)
        fin = lambda: self.segment("FA", seq=(self.snd - 1) % 2**32)
        self.snd = (self.snd + 1) % 2**32
        fin()
        self.wait("the ACK of our FIN", lambda t: t.flags.A and t.ack == self.snd, resend=fin)
        print("ok   the station closed the connection", flush=True)


# A SYN into the kernel's connection: the station's next segments still carry
# data to the kernel's port, and none of them is a reset.
def syn_into(ifname):
    frames = queue.Queue()
    sniffer = AsyncSniffer(iface=ifname, store=False, prn=frames.put,
                           lfilter=lambda p: TCP in p and p[TCP].sport == 51181)
    sniffer.start()

    def next_segment(until):
        try:
            p = frames.get(timeout=max(0.01, until - time.monotonic()))
        except queue.Empty:
            fail("the station sent nothing for %d s" % WAIT_S)
        if p[TCP].flags.R:
            fail("the station reset the connection: %s" % p.summary())
        return p

    first = next_segment(time.monotonic() + WAIT_S)
    vehicle, port, station = first[IPv6].dst, first[TCP].dport, first[IPv6].src
    sendp(Ether(src=get_if_hwaddr(ifname), dst=first[Ether].src) / IPv6(src=vehicle, dst=station, hlim=64) /
          TCP(sport=port, dport=51181, seq=555, flags="S", window=64240), iface=ifname)
    answers = 0
    until = time.monotonic() + WAIT_S
    while answers < 10:
        p = next_segment(until)
        if p[TCP].dport == port and len(bytes(p[TCP].payload)) > 0:
            answers += 1
    sniffer.stop()
    print("ok   a SYN with sequence number 555 into [%s]:%d: no reset, %d answers since" % (vehicle, port, answers),
          flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--if", dest="ifname", required=True)
    ap.add_argument("--station-mac")
    ap.add_argument("--syn-into", action="store_true")
    a = ap.parse_args()
    if a.syn_into:
        syn_into(a.ifname)
        return
    if not a.station_mac:
        fail("--station-mac is needed")
    v = Vehicle(a.ifname, a.station_mac)
    v.sdp()
    v.connect()
    v.round(message(40, 1), what="first message")
    v.blind_syn()
    v.round(message(300, 38), what="message after the SYN")
    v.round(message(12, 75), urgent=4, what="urgent pointer 4")
    v.round(message(12, 112), urgent=200, what="urgent pointer 200 on 20 bytes")
    v.round(message(20, 149, 0x8002), what="last message")
    v.close()
    v.sniffer.stop()


if __name__ == "__main__":
    main()

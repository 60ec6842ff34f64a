#!/usr/bin/env python3
"""The vehicle's side of SDP and the V2G connection, on the Linux kernel's
own IPv6, neighbour discovery, UDP and TCP: asks for the station by SDP on
[ff02::1%IF]:15118, connects to the address and port of the answer, sends
V2GTP messages and reads back what the station answers (MarletEcho answers
each message with its own bytes), then waits for the station's close.

  vehicle_v2g.py --if plc0 --station-mac 00:b0:52:4d:01:02 [--sizes 40,300]
                 [--closed-port 51182] [--tries 10] [--handshake]

With --handshake (a station running the V2G session) it offers DIN SPEC
70121 version 2.0 with SchemaID 1 in a supportedAppProtocolReq instead,
checks the answer (OK_SuccessfulNegotiation, SchemaID 1) and closes.

Prints one "ok ..." line per step; exits 1 with "FAIL ..." otherwise."""
import argparse
import socket
import struct
import sys


def fail(text):
    print("FAIL " + text, flush=True)
    sys.exit(1)


def link_local(mac):
    m = bytes(int(x, 16) for x in mac.split(":"))
    return bytes([0xFE, 0x80] + [0] * 6 + [m[0] ^ 2, m[1], m[2], 0xFF, 0xFE, m[3], m[4], m[5]])


def message(size, seed, payload_type=0x8001):
    body = bytes((seed + i) & 0xFF for i in range(size))
    return struct.pack(">BBHI", 1, 0xFE, payload_type, size) + body


# supportedAppProtocolReq: "urn:din:70121:2012:MsgDef" 2.0, SchemaID 1, Priority 1.
DIN_HANDSHAKE = bytes.fromhex("8000dbab9371d3234b71d1b981899189d191818991d26b9b3a232b30020000040040")
# supportedAppProtocolRes: OK_SuccessfulNegotiation, SchemaID 1.
DIN_HANDSHAKE_OK = bytes.fromhex("01fe80010000000480400040")


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--if", dest="ifname", required=True)
    ap.add_argument("--station-mac", required=True)
    ap.add_argument("--sizes", default="40,300")
    ap.add_argument("--closed-port", type=int, default=51182)
    ap.add_argument("--tries", type=int, default=10)
    ap.add_argument("--handshake", action="store_true")
    a = ap.parse_args()
    scope = socket.if_nametoindex(a.ifname)
    station = link_local(a.station_mac)
    want = (bytes([1, 0xFE, 0x90, 0x01, 0, 0, 0, 0x14]) + station + struct.pack(">H", 51181) + bytes([0x10, 0x00]))

    # SDP: a request for no TLS over TCP to all nodes; a lost datagram is asked again.
    udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    udp.bind(("::", 0, 0, scope))
    udp.settimeout(1.0)
    answer = None
    for _ in range(a.tries):
        udp.sendto(bytes([1, 0xFE, 0x90, 0x00, 0, 0, 0, 2, 0x10, 0x00]), ("ff02::1", 15118, 0, scope))
        try:
            answer, sender = udp.recvfrom(1500)
            break
        except socket.timeout:
            continue
    if answer is None:
        fail("no SDP answer")
    if answer != want:
        fail("SDP answer %s, wanted %s" % (answer.hex(), want.hex()))
    addr = socket.inet_ntop(socket.AF_INET6, answer[8:24])
    port = struct.unpack(">H", answer[24:26])[0]
    print("ok   SDP answer of %d bytes from %s: [%s]:%d" % (len(answer), sender[0], addr, port), flush=True)

    # A port nobody listens on is refused with a reset.
    s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    s.settimeout(10)
    try:
        s.connect((addr, a.closed_port, 0, scope))
        fail("port %d accepted a connection" % a.closed_port)
    except ConnectionRefusedError:
        print("ok   port %d refused" % a.closed_port, flush=True)
    finally:
        s.close()

    s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    s.settimeout(30)
    s.connect((addr, port, 0, scope))
    print("ok   connected to [%s]:%d" % (addr, port), flush=True)
    if a.handshake:
        s.sendall(struct.pack(">BBHI", 1, 0xFE, 0x8001, len(DIN_HANDSHAKE)) + DIN_HANDSHAKE)
        back = read_exactly(s, len(DIN_HANDSHAKE_OK))
        if back != DIN_HANDSHAKE_OK:
            fail("handshake answered %s, wanted %s" % (back.hex(), DIN_HANDSHAKE_OK.hex()))
        print("ok   supportedAppProtocolRes: DIN 2.0 chosen, SchemaID 1", flush=True)
        s.close()
        return
    sizes = [int(x) for x in a.sizes.split(",")]
    for i, size in enumerate(sizes):
        last = i == len(sizes) - 1
        m = message(size, i * 37 + 1, 0x8002 if last else 0x8001)
        s.sendall(m)
        back = read_exactly(s, len(m))
        if back != m:
            fail("message %d of %d bytes came back as %d bytes %s" % (i + 1, len(m), len(back), back[:16].hex()))
        print("ok   message of %d bytes answered byte for byte" % len(m), flush=True)
    rest = s.recv(100)
    if rest != b"":
        fail("the station sent %r instead of closing" % rest)
    print("ok   the station closed the connection", flush=True)
    s.close()


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""A central system's client at the byte level, for what no SOAP library
sends: a request from a file, a body far over any bound, a client that
trickles its request. Times are taken on the wire: from the connection to
the first byte of the reply and to the server's close. Prints one JSON line.
    raw_client.py PORT send FILE          the file's bytes, write side left open
    raw_client.py PORT big LENGTH         Content-Length LENGTH, then the body
    raw_client.py PORT chunked LENGTH     LENGTH bytes in 64 KiB chunks
    raw_client.py PORT slow SECONDS       a head, then a body byte every 2 s"""
import json
import socket
import sys
import threading
import time

HEAD = ("POST /ChargeBox/OCPP15 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
        "Content-Type: application/soap+xml; charset=utf-8; action=\"/DataTransfer\"\r\n")
PIECE = 64 * 1024


def main():
    port, mode, arg = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    s = socket.create_connection(("127.0.0.1", port), timeout=120)
    start = time.monotonic()
    sent = [0]

    def send(data):
        s.sendall(data)
        sent[0] += len(data)

    def body():
        try:
            if mode == "send":
                with open(arg, "rb") as f:
                    send(f.read())
            elif mode == "big":
                send((HEAD + "Content-Length: %d\r\n\r\n" % int(arg)).encode())
                left = int(arg)
                while left > 0:
                    send(b"a" * min(PIECE, left))
                    left -= PIECE
            elif mode == "chunked":
                send((HEAD + "Transfer-Encoding: chunked\r\n\r\n").encode())
                left = int(arg)
                while left > 0:
                    n = min(PIECE, left)
                    send(b"%x\r\n" % n + b"a" * n + b"\r\n")
                    left -= n
                send(b"0\r\n\r\n")
            elif mode == "slow":
                send((HEAD + "Content-Length: 100000\r\n\r\n<").encode())
                end = start + float(arg)
                while time.monotonic() < end:
                    time.sleep(2)
                    send(b" ")
        except OSError:
            pass  # the server has closed: its reply is what counts

    sender = threading.Thread(target=body, daemon=True)
    sender.start()
    reply, first = b"", None
    try:
        while True:
            data = s.recv(65536)
            if not data:
                break
            if first is None:
                first = time.monotonic()
            reply += data
    except OSError as e:
        reply += ("<%s>" % e.__class__.__name__).encode()
    closed = time.monotonic()
    text = reply.decode("utf-8", "replace")
    status = text.split(" ", 2)[1] if text.startswith("HTTP/1.1 ") else ""
    print(json.dumps({"status": status, "reply_ms": round(((first or closed) - start) * 1000),
                      "closed_ms": round((closed - start) * 1000), "sent": sent[0], "reply": text[:3000]}, separators=(",", ":")))


main()

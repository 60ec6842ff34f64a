#!/usr/bin/python3
"""The FTP server of the station's transfers (pyftpdlib): one user whose home
folder takes uploads and serves downloads. Prints the port it listens on.
    ftp-server.py --home DIR --user USER --password PW [--port P]"""
import argparse
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
parser.add_argument("--home", required=True)
parser.add_argument("--user", required=True)
parser.add_argument("--password", required=True)
parser.add_argument("--port", type=int, default=0)
a = parser.parse_args()
authorizer = DummyAuthorizer()
authorizer.add_user(a.user, a.password, a.home, perm="elrw")  # list, read and store; no delete or rename
handler = FTPHandler
handler.authorizer = authorizer
handler.passive_ports = None
server = FTPServer(("127.0.0.1", a.port), handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()

#!/usr/bin/env python3
"""The peers of the secure-connection benchmarks, with a test authority made by the
openssl command. Runs the command given with QWS_BENCH_TLS_PORT, QWS_BENCH_PLAIN_PORT
and QWS_BENCH_TLS_CA set; a command run through scripts/wine-run gets the authority's
path as a Windows path. Each peer reads one line "DRAIN n" per connection and sends n
bytes: as records on the first port, plain on the second.

Usage: tls_peer.py COMMAND [ARGS...]
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tls"))
from tls_test import CERT_DAYS, listen, make_authority, make_server, read_line, run_peer, secure  # noqa: E402

BLOCK = b"d" * (1 << 20)


def drain(stream):
    words = read_line(stream)
    if len(words) != 2 or words[0] != "DRAIN":
        return
    left = int(words[1])
    while left > 0:
        stream.sendall(BLOCK[:min(left, len(BLOCK))])
        left -= len(BLOCK)
    stream.recv(1)  # until the client closes


def plain(handle):
    def run(conn):
        try:
            with conn:
                handle(conn)
        except OSError:
            pass
    return run


def main():
    command = sys.argv[1:]
    under_wine = bool(command) and command[0].endswith("wine-run")
    with tempfile.TemporaryDirectory() as folder:
        make_authority(folder, "ca")
        context = make_server(folder, "localhost", "ca", "localhost", CERT_DAYS, 2)
        ca = os.path.join(folder, "ca.pem")
        env = dict(os.environ,
                   QWS_BENCH_TLS_PORT=str(run_peer(listen(), secure(context, drain))),
                   QWS_BENCH_PLAIN_PORT=str(run_peer(listen(), plain(drain))),
                   QWS_BENCH_TLS_CA="Z:" + ca.replace("/", "\\") if under_wine else ca)
        return subprocess.run(command, env=env).returncode


if __name__ == "__main__":
    sys.exit(main())

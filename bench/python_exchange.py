#!/usr/bin/env python3
"""The Python host's request and response: a peer that answers each request after
1 ms, and the median time from the request's send to the answer's return from
receive_bytes(timeout=...), over 200 exchanges.

Usage: python_exchange.py (QUILLMAR_WS_LIBRARY names the library; PYTHONPATH holds
hosts/python). Prints one line: "python exchange median_ms=N".
"""
import socket
import statistics
import threading
import time

from quillmar_ws import Connection

EXCHANGES = 200
ANSWER_AFTER = 0.001  # s


def answer(server):
    peer, _ = server.accept()
    with peer:
        while peer.recv(1):
            time.sleep(ANSWER_AFTER)
            peer.sendall(b"a")


def main():
    server = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=answer, args=(server,), daemon=True).start()
    times = []
    with Connection.connect("127.0.0.1", server.getsockname()[1]) as connection:
        for _ in range(EXCHANGES):
            start = time.perf_counter()
            connection.send_bytes(b"q")
            if connection.receive_bytes(timeout=5) != b"a":
                raise SystemExit("the peer did not answer")
            times.append((time.perf_counter() - start) * 1000)
    print(f"python exchange median_ms={statistics.median(times):.3f}")


if __name__ == "__main__":
    main()

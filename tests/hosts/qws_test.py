#!/usr/bin/env python3
"""qws, the command-line host, driven as a user drives it: two processes on loopback.

QWS names the qws under test, QWS_VERSION the version it must report. QWS_PEER, when set, names the qws that plays the other
side (a Linux qws against a Windows one under Wine); QWS_RUNNER, when set, is the
command that runs QWS (scripts/wine-run).
"""
import os
import signal
import re
import socket
import subprocess
import tempfile
import threading
import time
import sys
import unittest

if os.environ.get("QWS_PEER") and not os.path.exists(os.environ["QWS_PEER"]):
    print(f"skipped: no peer qws at {os.environ['QWS_PEER']} (build the native preset)")
    sys.exit(77)

QWS = os.path.abspath(os.environ["QWS"])
PEER = os.path.abspath(os.environ.get("QWS_PEER", QWS))
RUNNER = [os.environ["QWS_RUNNER"]] if os.environ.get("QWS_RUNNER") else []
PEER_RUNNER = [] if "QWS_PEER" in os.environ else RUNNER


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Process:
    """A qws process whose output is collected as it comes."""

    def __init__(self, args, runner=(), program=QWS, cwd=None):
        self.proc = subprocess.Popen([*runner, program, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd)
        self.out = b""
        self.err = b""
        self._lock = threading.Lock()
        self._collectors = [
            threading.Thread(target=self._collect, args=(stream, name), daemon=True)
            for stream, name in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))]
        for collector in self._collectors:
            collector.start()

    def _collect(self, stream, name):
        for chunk in iter(lambda: stream.read1(4096), b""):
            with self._lock:
                setattr(self, name, getattr(self, name) + chunk)

    def wait_for(self, name, text, within=60):
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            with self._lock:
                if text in getattr(self, name):
                    return True
            time.sleep(0.02)
        return False

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def end_input(self):
        self.proc.stdin.close()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()

    def finish(self, within=60):
        """The exit status, once everything the process wrote has been collected."""
        try:
            status = self.proc.wait(within)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            status = None
        for collector in self._collectors:
            collector.join(within)
        return status


def run(args, runner=RUNNER, program=QWS):
    return subprocess.run([*runner, program, *args], capture_output=True, timeout=60, stdin=subprocess.DEVNULL)


class Session(unittest.TestCase):
    def start_pair(self, listen_args=(), connect_args=(), cwd=None):
        port = free_port()
        listener = Process([*listen_args, "listen", str(port)], PEER_RUNNER, PEER, cwd=cwd)
        self.addCleanup(listener.stop)
        self.assertTrue(listener.wait_for("err", b"listening"), listener.err)
        connector = Process([*connect_args, "connect", "127.0.0.1", str(port)], RUNNER, QWS)
        self.addCleanup(connector.stop)
        self.assertTrue(listener.wait_for("err", b"peer connected"), listener.err)
        # Both connection starts discard what arrives during their first pass.
        time.sleep(1.0)
        return listener, connector

    def test_text_crosses_both_ways_and_the_session_ends_in_order(self):
        listener, connector = self.start_pair(listen_args=["--line-ending", "crlf"])
        connector.send(b"from the client\n")
        listener.send(b"from the server\n")
        self.assertTrue(listener.wait_for("out", b"from the client\n"), listener.out)
        self.assertTrue(connector.wait_for("out", b"from the server\r\n"), connector.out)
        connector.end_input()
        self.assertEqual(0, connector.finish())
        self.assertEqual(0, listener.finish(), listener.err)
        self.assertIn(b"remote disconnect", listener.err)

    def test_stop_marker_ends_a_session_and_is_cleared(self):
        with tempfile.TemporaryDirectory() as directory:
            listener, connector = self.start_pair(cwd=directory)
            marker = os.path.join(directory, "stopws.dat")
            open(marker, "w").close()
            self.assertEqual(3, listener.finish(), "a stop is no end in order")
            self.assertIn(b"stopped by the stop marker", listener.err)
            self.assertFalse(os.path.exists(marker))
            self.assertEqual(0, connector.finish())

    def test_linger_keeps_reading_after_input_ends(self):
        listener, connector = self.start_pair(connect_args=["--linger", "2"])
        started = time.monotonic()
        connector.end_input()
        listener.send(b"late news\n")
        self.assertTrue(connector.wait_for("out", b"late news\n"), connector.out)
        self.assertEqual(0, connector.finish())
        self.assertGreaterEqual(time.monotonic() - started, 1.9)

    def test_binary_passes_every_byte_value_both_ways(self):
        listener, connector = self.start_pair(["--binary"], ["--binary"])
        body = bytes(range(256)) * 64
        connector.send(body)
        listener.send(body)
        self.assertTrue(listener.wait_for("out", body), len(listener.out))
        self.assertTrue(connector.wait_for("out", body), len(connector.out))
        connector.end_input()
        self.assertEqual(0, connector.finish())
        self.assertEqual(0, listener.finish())
        self.assertEqual((body, body), (listener.out, connector.out))


class PlainServer(unittest.TestCase):
    """qws connecting to a plain socket server that greets at once, then reads slowly."""

    def serve(self, greeting):
        server = socket.socket()
        self.addCleanup(server.close)
        # A small window, so that a long send is taken in parts.
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        received = bytearray()

        def read_slowly():
            peer, _ = server.accept()
            with peer:
                peer.sendall(greeting)
                time.sleep(1.0)
                while chunk := peer.recv(16384):
                    received.extend(chunk)
                    time.sleep(0.002)

        reader = threading.Thread(target=read_slowly, daemon=True)
        reader.start()
        return server.getsockname()[1], received, reader

    def test_a_long_line_reaches_a_slow_reader_whole_after_the_greeting(self):
        # A U+FFFD that the peer really sent is text, where the code page is UTF-8.
        greeting = b"welcome\n" if RUNNER else b"welcome \xef\xbf\xbd\n"
        port, received, reader = self.serve(greeting)
        # Multi-byte characters where the code page is known to be UTF-8.
        unit = b"%07d" + (b"\xc3\xa9" if not RUNNER else b"ab")
        line = b"".join(unit % i for i in range(4 * 1024 * 1024 // 9)) + b"\n"
        client = Process(["connect", "127.0.0.1", str(port)], RUNNER, QWS)
        self.addCleanup(client.stop)
        client.send(line)
        client.end_input()
        self.assertEqual(0, client.finish(60), client.err)
        reader.join(30)
        self.assertEqual(len(line), len(received))
        self.assertTrue(line == received)
        self.assertIn(f"connected to 127.0.0.1:{port}".encode(), client.err)
        self.assertEqual(greeting, client.out)
        self.assertNotIn(b"changed", client.err)

    @unittest.skipIf(RUNNER, "every byte is text in a single-byte code page")
    def test_input_that_is_not_utf8_is_refused_at_its_offset(self):
        port, received, reader = self.serve(b"caf\xe9\n")
        client = Process(["connect", "127.0.0.1", str(port)])
        self.addCleanup(client.stop)
        client.send(b"good\ncaf\xe9\nlater\n")
        client.end_input()
        self.assertEqual(1, client.finish(), client.err)
        reader.join(15)
        self.assertEqual(b"good\n", bytes(received))
        self.assertIn(b"input byte 8 is not text in UTF-8", client.err)
        # The greeting's stray byte arrives as U+FFFD, and qws says so.
        self.assertEqual(b"caf\xef\xbf\xbd\n", client.out)
        self.assertIn(b"changed within output bytes 0 to 6", client.err)


def receive_exactly(sock, count, within=10):
    sock.settimeout(within)
    data = b""
    while len(data) < count and (chunk := sock.recv(count - len(data))):
        data += chunk
    return data


class ManyClients(unittest.TestCase):
    def test_listen_many_serves_clients_at_once_until_the_stop_marker(self):
        with tempfile.TemporaryDirectory() as directory:
            # Port 0: qws says the port it got; it listens on both families.
            server = Process(["listen", "--many", "0"], RUNNER, QWS, cwd=directory)
            self.addCleanup(server.stop)
            self.assertTrue(server.wait_for("err", b"listening on port "), server.err)
            self.assertTrue(server.wait_for("err", b"\n"), server.err)
            port = int(re.search(rb"listening on port (\d+)", server.err).group(1))
            clients = {}
            for slot, address in ((1, "127.0.0.1"), (2, "::1"), (3, "127.0.0.1")):
                clients[slot] = socket.create_connection((address, port))
                self.addCleanup(clients[slot].close)
                clients[slot].sendall(b"greeting %d\n" % slot)
                self.assertTrue(server.wait_for("err", b"client %d connected" % slot), server.err)
                seen = clients[slot].getsockname()[1]
                shown = f"[{address}]" if ":" in address else address
                self.assertTrue(server.wait_for("err", f"from {shown}:{seen}".encode()), server.err)
            for slot, client in clients.items():
                client.sendall(b"line %d\n" % slot)
            for slot in clients:
                self.assertTrue(server.wait_for("out", b"line %d\n" % slot), server.out)
                self.assertIn(b"greeting %d\n" % slot, server.out)
            server.send(b"to all\n")
            for client in clients.values():
                self.assertEqual(b"to all\n", receive_exactly(client, 7))

            clients.pop(2).close()
            self.assertTrue(server.wait_for("err", b"client 2 left"), server.err)
            server.send(b"to the rest\n")
            for client in clients.values():
                self.assertEqual(b"to the rest\n", receive_exactly(client, 12))
            clients[2] = socket.create_connection(("127.0.0.1", port))
            self.addCleanup(clients[2].close)
            deadline = time.monotonic() + 15
            while server.err.count(b"client 2 connected") < 2 and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(2, server.err.count(b"client 2 connected"), server.err)

            # Each client reads to the end that the server's close sends, then closes.
            def read_to_the_end(client):
                receive_exactly(client, 1 << 20)
                client.close()

            readers = [threading.Thread(target=read_to_the_end, args=(client,))
                       for client in clients.values()]
            for reader in readers:
                reader.start()
            open(os.path.join(directory, "stopws.dat"), "w").close()
            self.assertEqual(3, server.finish(), server.err)
            for reader in readers:
                reader.join(15)
            self.assertIn(b"stopped by the stop marker", server.err)

    def test_a_client_that_never_reads_holds_no_other_and_the_stop_takes_one_bound(self):
        with tempfile.TemporaryDirectory() as directory:
            port = free_port()
            server = Process(["--binary", "listen", "--many", str(port)], RUNNER, QWS, cwd=directory)
            self.addCleanup(server.stop)
            self.assertTrue(server.wait_for("err", b"listening"), server.err)
            clients = []
            for slot in (1, 2, 3):
                clients.append(socket.create_connection(("127.0.0.1", port)))
                self.addCleanup(clients[-1].close)
                self.assertTrue(server.wait_for("err", b"client %d connected" % slot), server.err)
            # Client 2 never reads: the others get all 24 MiB beside it, at their own
            # pace, and client 2 is dropped once it lags 16 MiB behind them.
            size = 24 << 20
            feeder = threading.Thread(target=server.send, args=(bytes(range(256)) * (size >> 8),))
            feeder.start()
            received = [0, 0]

            def read_all(index, client):
                received[index] = len(receive_exactly(client, size, within=120))

            readers = [threading.Thread(target=read_all, args=(index, client))
                       for index, client in enumerate((clients[0], clients[2]))]
            for reader in readers:
                reader.start()
            for reader in readers:
                reader.join()
            feeder.join()
            self.assertEqual([size, size], received, server.err)
            self.assertIn(b"client 2 does not read: dropped", server.err)
            # None of the three ends its side: one bound for all, not one each.
            started = time.monotonic()
            open(os.path.join(directory, "stopws.dat"), "w").close()
            self.assertEqual(3, server.finish(), server.err)
            self.assertLess(time.monotonic() - started, 8.5, "three closes of 3 s each take 9")
            self.assertNotIn(b"client 1", server.err.split(b"dropped")[-1])


class Interrupt(unittest.TestCase):
    @unittest.skipIf(RUNNER, "Ctrl-C reaches a program under Wine another way")
    def test_ctrl_c_ends_a_waiting_listener_in_order(self):
        listener = Process(["listen", str(free_port())])
        self.addCleanup(listener.stop)
        self.assertTrue(listener.wait_for("err", b"listening"), listener.err)
        listener.proc.send_signal(signal.SIGINT)
        self.assertEqual(130, listener.finish())
        self.assertIn(b"interrupted by Ctrl-C", listener.err)

    @unittest.skipIf(RUNNER, "Ctrl-C reaches a program under Wine another way")
    def test_ctrl_c_writes_out_everything_that_had_arrived(self):
        port = free_port()
        # Nobody reads qws's output until after Ctrl-C: what the peer sent waits in the
        # socket's buffers meanwhile.
        listener = subprocess.Popen([QWS, "--binary", "listen", str(port)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(listener.kill)
        self.assertIn(b"listening", listener.stderr.readline())
        data = b"0123456789abcdef" * (1 << 17)
        with socket.create_connection(("127.0.0.1", port), timeout=30) as peer:
            self.assertIn(b"peer connected", listener.stderr.readline())
            peer.sendall(data)
            peer.shutdown(socket.SHUT_WR)
            listener.send_signal(signal.SIGINT)
            out, err = listener.communicate(timeout=60)
        self.assertEqual(130, listener.returncode, err)
        self.assertEqual(len(data), len(out))
        self.assertEqual(data, out)


class Failures(unittest.TestCase):
    def test_refused_connect_names_host_and_port(self):
        port = free_port()
        result = run(["connect", "127.0.0.1", str(port)])
        self.assertEqual(1, result.returncode)
        self.assertIn(f"qws: 127.0.0.1:{port} refused the connection".encode(), result.stderr)
        self.assertEqual(b"", result.stdout)
        unknown = run(["connect", "no-such-host.invalid", str(port)])
        self.assertEqual(1, unknown.returncode)
        self.assertIn(b"qws: cannot resolve no-such-host.invalid", unknown.stderr)

    def test_listening_on_a_port_in_use_says_so(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            result = run(["listen", str(port)])
        self.assertEqual(1, result.returncode)
        self.assertIn(f"qws: port {port} is in use".encode(), result.stderr)

    def test_bad_arguments(self):
        for args, what in (([], b"say connect HOST PORT or listen PORT"),
                           (["connect", "localhost"], b"connect takes HOST and PORT"),
                           (["listen", " 80"], b'port " 80" is not a decimal number'),
                           (["listen", "70000"], b'port "70000" is not'),
                           (["--linger"], b"--linger needs a value"),
                           (["--line-ending", "cr", "listen", "5000"],
                            b'--line-ending takes none, lf or crlf, not "cr"'),
                           (["--many", "connect", "localhost", "80"], b"--many is for listen"),
                           (["--linger", "1", "listen", "--many", "5000"],
                            b"--linger is for one peer"),
                           (["--bogus"], b"unknown option --bogus"),
                           (["dance", "1"], b'unknown command "dance"')):
            result = run(args)
            self.assertEqual(2, result.returncode, args)
            first, _, rest = result.stderr.partition(b"\n")
            self.assertIn(b"qws: " + what, first, args)
            self.assertIn(b"usage", rest, args)

    def test_help_and_version(self):
        self.assertIn(b"usage", run(["--help"]).stdout)
        version = run(["--version"])
        self.assertEqual(0, version.returncode)
        self.assertEqual(f"qws {os.environ['QWS_VERSION']}", version.stdout.decode().strip())


if __name__ == "__main__":
    unittest.main(verbosity=2)

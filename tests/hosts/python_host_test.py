#!/usr/bin/env python3
"""The Python host module driving the real library against real peers on loopback.

QUILLMAR_WS_LIBRARY names the library, QWS_VERSION the project's version;
hosts/python must be on PYTHONPATH.
"""
import gc
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import quillmar_ws
from quillmar_ws import REMOTE_DISCONNECT, Connection

library = quillmar_ws.load()


def receive_bytes(sock, count, within=5.0):
    sock.settimeout(within)
    data = b""
    while len(data) < count:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


class Module(unittest.TestCase):
    def test_version_is_the_project_version(self):
        self.assertEqual(os.environ["QWS_VERSION"], quillmar_ws.__version__)


class ClientRole(unittest.TestCase):
    def test_text_both_ways_then_remote_disconnect(self):
        with socket.create_server(("127.0.0.1", 0)) as server:
            port = server.getsockname()[1]
            with Connection.connect("127.0.0.1", port) as connection:
                peer, _ = server.accept()
                with peer:
                    self.assertEqual(6, connection.send("h\u00e9llo"))
                    self.assertEqual("h\u00e9llo".encode(), receive_bytes(peer, 6))
                    peer.sendall("w\u00f6rld \u20ac".encode())
                    self.assertEqual("w\u00f6rld \u20ac", connection.receive(timeout=5))
                peer_closed = connection.receive(timeout=5)
                self.assertEqual(REMOTE_DISCONNECT, peer_closed)
            self.assertTrue(connection.closed)

    def test_bytes_state_and_greeting(self):
        every_byte = bytes(range(256))
        accepted = []

        def greet(server):
            accepted.append(server.accept()[0])
            accepted[0].sendall(b"hi")

        with socket.create_server(("127.0.0.1", 0)) as server:
            threading.Timer(0.1, greet, [server]).start()
            with Connection.connect("127.0.0.1", server.getsockname()[1]) as connection:
                # The server's greeting went to the connect's own receive pass.
                self.assertEqual("hi", connection.greeting)
                self.assertEqual(quillmar_ws.STATE_CONNECTED, connection.state)
                with accepted[0] as peer:
                    self.assertEqual(256, connection.send_bytes(every_byte))
                    self.assertEqual(every_byte, receive_bytes(peer, 256))
                    peer.sendall(every_byte)
                    self.assertEqual(every_byte, connection.receive_bytes(timeout=5))
                self.assertEqual(b"", connection.receive_bytes(timeout=5))
                self.assertEqual(quillmar_ws.STATE_CLOSED_BY_PEER, connection.state)

    def test_refused_connect_raises(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with self.assertRaisesRegex(ConnectionError, "Connection refused \\(10061\\)"):
            Connection.connect("127.0.0.1", port)
        # A failed connect keeps its start; the module gives it back, so nothing
        # in the process holds one now.
        self.assertEqual(-1, on_fresh_thread(library.CloseTCP))

    def test_receive_with_a_timeout_sleeps_between_passes(self):
        with socket.create_server(("127.0.0.1", 0)) as server:
            with Connection.connect("127.0.0.1", server.getsockname()[1]) as connection:
                peer, _ = server.accept()
                with peer:
                    started, processor = time.monotonic(), time.process_time()
                    self.assertEqual("", connection.receive(timeout=1.0))
                    elapsed = time.monotonic() - started
                    self.assertTrue(1.0 <= elapsed < 4.0, elapsed)
                    self.assertLess(time.process_time() - processor, 0.25)

                    late = threading.Timer(0.3, peer.sendall, [b"late"])
                    late.start()
                    started = time.monotonic()
                    self.assertEqual("late", connection.receive(timeout=5, poll_interval=0.05))
                    self.assertLess(time.monotonic() - started, 4.0, "not the 5 s time-out")
                    late.join()

    def test_connection_belongs_to_its_thread(self):
        with socket.create_server(("127.0.0.1", 0)) as server:
            connection = Connection.connect("127.0.0.1", server.getsockname()[1])
            errors = []
            other = threading.Thread(target=lambda: errors.append(self._try_send(connection)))
            other.start()
            other.join()
            self.assertIsInstance(errors[0], RuntimeError)
            self.assertEqual(0, connection.close())

    def test_a_dropped_connection_is_closed_at_its_threads_next_call(self):
        with socket.create_server(("127.0.0.1", 0)) as server:
            port = server.getsockname()[1]
            dropped = Connection.connect("127.0.0.1", port)
            slot = dropped.slot
            peer, _ = server.accept()
            with peer:
                peer.shutdown(socket.SHUT_WR)
                del dropped
                gc.collect()
                with Connection.connect("127.0.0.1", port) as again:
                    self.assertEqual(slot, again.slot, "the dropped one's slot is free again")
                    peer.settimeout(5)
                    self.assertEqual(b"", peer.recv(1), "and it was closed in order")
                    server.accept()[0].close()

    @staticmethod
    def _try_send(connection):
        try:
            connection.send("x")
        except RuntimeError as error:
            return error
        return None


class CountingLibrary:
    """The shared library, counting the CloseTCP calls made through it."""

    def __init__(self):
        self.closes = 0

    def __getattr__(self, name):
        return getattr(library, name)

    def CloseTCP(self):
        self.closes += 1
        return library.CloseTCP()


def on_fresh_thread(function):
    results = []
    worker = threading.Thread(target=lambda: results.append(function()))
    worker.start()
    worker.join()
    return results[0]


class ServerRole(unittest.TestCase):
    def test_failed_listen_gives_back_nothing_more(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with Connection.listen(port) as listening:
            counting = CountingLibrary()

            def listen_again():
                try:
                    Connection.listen(port, counting)
                except OSError:
                    return "refused"
                return "listening"

            self.assertEqual("refused", on_fresh_thread(listen_again))
            # The failed ListenerTCP gave its own start back; a CloseTCP after it
            # would have given back another's.
            self.assertEqual(0, counting.closes)
            with socket.create_connection(("127.0.0.1", port)):
                self.assertTrue(listening.accept(timeout=5))
                self.assertEqual(0, listening.close())

    def test_listen_accept_and_exchange(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with Connection.listen(port) as connection:
            self.assertFalse(connection.accept(timeout=0.05))
            client = socket.create_connection(("127.0.0.1", port))
            with client:
                self.assertTrue(connection.accept(timeout=5))
                self.assertEqual(f"[::]:{port}", connection.local_address)
                self.assertEqual(f"127.0.0.1:{client.getsockname()[1]}", connection.peer_address)
                client.sendall(b"ping")
                self.assertEqual("ping", connection.receive(timeout=5))
                self.assertEqual(4, connection.send("pong"))
                self.assertEqual(b"pong", receive_bytes(client, 4))


    def test_clients_served_at_once_each_in_a_connection_of_its_own(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with Connection.listen(port) as server:
            with self.assertRaises(ConnectionError):
                server.hand_off()
            clients, peers = [], []
            for greeting in (b"one \xff", b"two"):
                clients.append(socket.create_connection(("127.0.0.1", port)))
                self.addCleanup(clients[-1].close)
                clients[-1].sendall(greeting)
                self.assertTrue(server.accept(timeout=5))
                peers.append(server.hand_off())
            self.assertEqual([1, 2], [peer.slot for peer in peers])
            # Accepted with no pause and no pass: the first bytes wait for the first receive.
            self.assertEqual(("", b""), (peers[0].greeting, peers[0].greeting_bytes))
            self.assertEqual([b"one \xff", b"two"], [peer.receive_bytes(timeout=5) for peer in peers])
            self.assertEqual(quillmar_ws.STATE_LISTENING, server.state)
            for number, (client, peer) in enumerate(zip(clients, peers)):
                client.sendall(b"ping %d" % number)
                self.assertEqual(f"ping {number}", peer.receive(timeout=5))
                self.assertEqual(quillmar_ws.STATE_CONNECTED, peer.state)
            clients[0].shutdown(socket.SHUT_WR)
            self.assertEqual(0, peers[0].close())
            self.assertEqual(b"", receive_bytes(clients[0], 1))
            self.assertEqual(4, peers[1].send("pong"))
            self.assertEqual(b"pong", receive_bytes(clients[1], 4))
            with socket.create_connection(("127.0.0.1", port)) as third:
                self.assertTrue(server.accept(timeout=5))
                with server.hand_off() as peer:
                    self.assertEqual(1, peer.slot, "a closed connection's slot is free again")
                    third.shutdown(socket.SHUT_WR)
            clients[1].shutdown(socket.SHUT_WR)
            peers[1].close()


class Boundary(unittest.TestCase):
    def test_markers_in_the_current_directory(self):
        previous = os.getcwd()
        with tempfile.TemporaryDirectory() as directory:
            os.chdir(directory)
            try:
                self.assertFalse(library.stopwinsock())
                self.assertEqual(0, library.createstopwinsockfile())
                self.assertTrue(library.stopwinsock())
                self.assertEqual(0, library.clearwinsockfile())
                self.assertNotEqual(0, library.clearsetfile())
            finally:
                os.chdir(previous)

    def test_message_pump_runs_host_code_that_calls_back(self):
        calls = []
        nested = []

        def pump():
            calls.append(1)
            if len(calls) == 1:  # once; the nested call pumps too
                nested.append(library.DataArrivalTCP())

        library.SetMessagePump(pump)
        try:
            self.assertEqual("", library.DataArrivalTCP())
        finally:
            library.SetMessagePump(None)
        self.assertEqual([""], nested)
        self.assertGreaterEqual(len(calls), 2)
        count = len(calls)
        library.DataArrivalTCP()
        self.assertEqual(count, len(calls), "the pump is removed")

    def test_ports_and_dll_main(self):
        self.assertEqual(-1, library.DllMain(1))
        self.assertEqual(0, library.DllMain(0))
        with self.assertRaises(ValueError):
            library.ListenerTCP(70000)
        self.assertEqual(-1, quillmar_ws._port_bits(65535))

        def refused_then_next():
            with self.assertRaises(ValueError):
                Connection.connect("127.0.0.1", 70000)
            with self.assertRaises(ValueError):
                Connection.listen(70000)
            return Connection().slot

        self.assertEqual(0, on_fresh_thread(refused_then_next), "a refused start frees its slot")


class Secure(unittest.TestCase):
    FILE_NOT_FOUND = 0x80070002 - (1 << 32)
    NOT_TLS = 0x80090326 - (1 << 32)

    def test_trust_takes_any_file_name_and_a_plain_server_is_refused(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "çà-根-authority.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", os.path.join(directory, "key"), "-out", path,
                            "-subj", "/CN=Python host test", "-days", "1"],
                           check=True, capture_output=True)
            self.assertEqual(1, library.TrustTLS(path))
            self.assertEqual(-1, library.TrustTLS(path + ".gone"))
            self.assertEqual(self.FILE_NOT_FOUND, library.LastErrorTCP())

        with socket.create_server(("127.0.0.1", 0)) as server:
            def greet():
                conn, _ = server.accept()
                with conn:
                    conn.sendall(b"220 plain text, no TLS here\r\n" * 8)
                    conn.recv(4096)
            threading.Thread(target=greet, daemon=True).start()
            self.assertFalse(library.ConnectTLS("localhost", server.getsockname()[1]))
            self.assertEqual(self.NOT_TLS, library.LastErrorTCP())
            self.assertEqual(quillmar_ws.STATE_FAILED, library.StateTCP())
            self.assertIn("TLS", library.ErrorTextTCP(self.NOT_TLS))
            library.CloseTCP()


if __name__ == "__main__":
    unittest.main(verbosity=2)

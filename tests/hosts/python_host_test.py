#!/usr/bin/env python3
"""The Python host module driving the real library against real peers on loopback.

QUILLMAR_WS_LIBRARY names the library, QWS_VERSION the project's version;
hosts/python must be on PYTHONPATH.
"""
import os
import socket
import tempfile
import threading
import time
import unittest

import quillmar_ws
from quillmar_ws import REMOTE_DISCONNECT, Connection

library = quillmar_ws.load()


def receive_text(connection, within=5.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        text = connection.receive()
        if text:
            return text
        time.sleep(0.01)
    return ""


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
                    self.assertEqual("w\u00f6rld \u20ac", receive_text(connection))
                peer_closed = receive_text(connection)
                self.assertEqual(REMOTE_DISCONNECT, peer_closed)
            self.assertTrue(connection.closed)

    def test_refused_connect_raises(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with self.assertRaises(ConnectionError):
            Connection.connect("127.0.0.1", port)

    def test_connection_belongs_to_its_thread(self):
        with socket.create_server(("127.0.0.1", 0)) as server:
            connection = Connection.connect("127.0.0.1", server.getsockname()[1])
            errors = []
            other = threading.Thread(target=lambda: errors.append(self._try_send(connection)))
            other.start()
            other.join()
            self.assertIsInstance(errors[0], RuntimeError)
            self.assertEqual(0, connection.close())

    @staticmethod
    def _try_send(connection):
        try:
            connection.send("x")
        except RuntimeError as error:
            return error
        return None


class ServerRole(unittest.TestCase):
    def test_listen_accept_and_exchange(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with Connection.listen(port) as connection:
            self.assertFalse(connection.accept(timeout=0.05))
            client = socket.create_connection(("127.0.0.1", port))
            with client:
                self.assertTrue(connection.accept(timeout=5))
                client.sendall(b"ping")
                self.assertEqual("ping", receive_text(connection))
                self.assertEqual(4, connection.send("pong"))
                self.assertEqual(b"pong", receive_bytes(client, 4))


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


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""Every example program in docs/ runs as its readers run it, against a peer built
on this library, and so does examples/loopback_demo.c.

Each ```c and ```python block in docs/*.md is a complete program. The line before it
says which side it plays:

  <!-- example: client -->  connects to 127.0.0.1 at $QUILLMAR_WS_PORT, waits for the
                            greeting "welcome\\n" and sends "hello\\n";
  <!-- example: server -->  listens on $QUILLMAR_WS_PORT, greets with "welcome\\n" and
                            prints what arrives until the peer closes.
  <!-- example: many-server -->  the same for three clients connected at once, each
                            greeted; ends when all three have closed.

Blocks that are not programs take a fence without a language, or text or mermaid.

Usage: docs_examples_test.py SOURCE_DIR. Environment: QUILLMAR_WS_LIBRARY (the built
library), PYTHONPATH (hosts/python), QWS_C_COMPILER, QWS_LOOPBACK_DEMO (optional).
"""
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from quillmar_ws import REMOTE_DISCONNECT, Connection

SOURCE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.getcwd()
LIBRARY = os.path.abspath(os.environ["QUILLMAR_WS_LIBRARY"])
RUNS = {"c", "python"}
# VB cannot run here: its blocks are fragments of the module and the form in
# hosts/vb; the VbModule test drives the module's declarations through a host that
# marshals as the VB runtime does.
NOT_PROGRAMS = {"", "text", "mermaid", "vb"}
ROLES = {"client", "server", "many-server"}
MANY = 3  # the clients of a many-server example, connected at once
GREETING, HELLO = "welcome\n", "hello\n"

FENCE = re.compile(r"^```(\S*)\s*$")
MARKER = re.compile(r"^<!--\s*example:\s*(\S+)\s*-->\s*$")


def blocks(path):
    """(language, role or None, first line number, code) of each fenced block."""
    with open(path, encoding="utf-8") as page:
        lines = page.read().split("\n")
    found = []
    i = 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        marker = MARKER.match(lines[i - 1]) if i > 0 else None
        end = lines.index("```", i + 1)
        found.append((fence.group(1), marker and marker.group(1), i + 1,
                      "\n".join(lines[i + 1:end]) + "\n"))
        i = end + 1
    return found


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_until(connection, ending, within):
    """What arrives until it ends with `ending`, the peer closes or time is up."""
    got, deadline = "", time.monotonic() + within
    while not got.endswith(ending) and time.monotonic() < deadline:
        text = connection.receive(timeout=max(0.0, deadline - time.monotonic()))
        if text in ("", REMOTE_DISCONNECT):
            break
        got += text
    return got


def serve_one(port, ready, seen):
    """The server side for a client example: greets first, then takes its hello."""
    try:
        with Connection.listen(port) as server:
            ready.set()
            if server.accept(timeout=30):
                server.send(GREETING)
                seen.append(read_until(server, HELLO, 15))
    finally:
        ready.set()


def visit(port, seen, together=None):
    """The client side for a server example: waits for the greeting, then says hello;
    with `together`, stays connected until every other client has said hello too."""
    deadline = time.monotonic() + 20
    while True:
        try:
            connection = Connection.connect("127.0.0.1", port)
            break
        except ConnectionError:  # not listening yet
            if time.monotonic() > deadline:
                return
            time.sleep(0.2)
    with connection:
        # A server that greets at once is heard by the connection start's own pass.
        got = connection.greeting
        seen.append(got if got.endswith(GREETING) else got + read_until(connection, GREETING, 15))
        if seen[-1]:
            connection.send(HELLO)
            if together:
                try:
                    together.wait(30)
                except threading.BrokenBarrierError:
                    pass


class DocsExamples(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)

    def command(self, language, code, name):
        path = os.path.join(self.work.name, name)
        if language == "python":
            with open(path + ".py", "w", encoding="utf-8") as source:
                source.write(code)
            return [sys.executable, path + ".py"]
        with open(path + ".c", "w", encoding="utf-8") as source:
            source.write(code)
        compiler = os.environ.get("QWS_C_COMPILER", "cc")
        build = subprocess.run(
            [compiler, "-Wall", "-Wextra", "-Werror", "-I", os.path.join(SOURCE, "include"),
             "-o", path, path + ".c", LIBRARY, "-Wl,-rpath," + os.path.dirname(LIBRARY)],
            capture_output=True, text=True)
        self.assertEqual(0, build.returncode, build.stderr)
        return [path]

    def run_example(self, command, role):
        """Runs the example against a peer on a fresh port: (exit status, its
        standard output, what the peer received)."""
        port = free_port()
        seen = []
        if role == "client":
            ready = threading.Event()
            peers = [threading.Thread(target=serve_one, args=(port, ready, seen))]
            peers[0].start()
            ready.wait(10)
        else:
            together = threading.Barrier(MANY) if role == "many-server" else None
            peers = [threading.Thread(target=visit, args=(port, seen, together))
                     for _ in range(MANY if together else 1)]
        environment = dict(os.environ, QUILLMAR_WS_PORT=str(port))
        process = subprocess.Popen(command, cwd=SOURCE, env=environment, text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if role != "client":
            for peer in peers:
                peer.start()
        try:
            output, errors = process.communicate(timeout=60)
        finally:
            process.kill()
            for peer in peers:
                peer.join()
        return process.returncode, output + errors, "".join(seen)

    def test_every_example_in_the_docs_runs_and_exchanges_its_data(self):
        languages = set()
        for name in sorted(os.listdir(os.path.join(SOURCE, "docs"))):
            if not name.endswith(".md"):
                continue
            for language, role, line, code in blocks(os.path.join(SOURCE, "docs", name)):
                where = f"docs/{name}:{line}"
                if language in NOT_PROGRAMS:
                    continue
                with self.subTest(where):
                    self.assertIn(language, RUNS, f"{where}: nothing runs ```{language} blocks")
                    self.assertIn(role, ROLES, f"{where}: say <!-- example: client|server -->")
                    languages.add(language)
                    status, output, seen = self.run_example(
                        self.command(language, code, f"example{line}"), role)
                    self.assertEqual(0, status, f"{where}:\n{output}")
                    if role == "client":
                        self.assertIn("welcome", output, where)
                        self.assertEqual(HELLO, seen, f"{where}: the server's side")
                    else:
                        clients = MANY if role == "many-server" else 1
                        self.assertEqual(GREETING * clients, seen, f"{where}: the clients' side")
                        self.assertEqual(clients, output.count("hello"), where)
        self.assertEqual(RUNS, languages, "an example of each kind was found")

    @unittest.skipUnless(os.environ.get("QWS_LOOPBACK_DEMO"), "QWS_LOOPBACK_DEMO not set")
    def test_loopback_demo(self):
        demo = subprocess.run([os.environ["QWS_LOOPBACK_DEMO"], str(free_port())],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(0, demo.returncode, demo.stdout + demo.stderr)
        self.assertIn('client received "hello, client"', demo.stdout)
        self.assertIn('server received "hello, server"', demo.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)

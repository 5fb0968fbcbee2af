#!/usr/bin/env python3
"""Secure peers on 127.0.0.1 for the TLS client tests.

Makes a test authority and its certificates with the openssl command, starts one
peer per case and runs QWS_TLS_CLIENT (through QWS_RUNNER, scripts/wine-run, for
a Windows program) with their ports in its environment.
"""
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

RUNNER = [os.environ["QWS_RUNNER"]] if os.environ.get("QWS_RUNNER") else []
# The slow peer is slow by what it does: a small receive buffer, a pause before it
# reads anything, then one record at a time with a pause after each: at most
# 1.6 MB/s, whatever the machine, so a client that sends faster than twice that fills
# every buffer between them.
SLOW_READER_PAUSE = 1.0  # s before the slow peer reads anything
SLOW_READER_BUFFER = 8192  # bytes of receive buffer it allows
SLOW_READ_PIECE = 16384  # bytes at most per read: one record
SLOW_READ_GAP = 0.01  # s after each read
PEER_TIMEOUT = 30  # s: a peer that hears nothing more gives up
CERT_DAYS = 30


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_authority(folder, name):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
            "-out", f"{name}.pem", "-subj", f"/CN=Quillmar_ws {name}", "-days", str(CERT_DAYS),
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)


def make_server(folder, name, authority, dns, days, serial, alt=None, usage="serverAuth"):
    """A leaf with common name `dns`, subjectAltName `alt` (DNS:`dns` unless given)."""
    with open(os.path.join(folder, f"{name}.ext"), "w") as ext:
        ext.write(f"subjectAltName={alt or 'DNS:' + dns}\nextendedKeyUsage={usage}\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
            "-subj", f"/CN={dns}", "-out", f"{name}.csr", cwd=folder)
    # Negative days: valid until before it was made, i.e. expired.
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{authority}.pem",
            "-CAkey", f"{authority}.key", "-set_serial", str(serial), "-days", str(days),
            "-extfile", f"{name}.ext", "-out", f"{name}.pem", cwd=folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, f"{name}.pem"), os.path.join(folder, f"{name}.key"))
    return context


PATTERN = bytearray()
VERDICTS = {}  # what each SINK received, by the client's token
VERDICT_MADE = threading.Condition()
SINK_SIZE = 3000000  # bytes the client sends to a SINK: its pattern is made at the start


def pattern(count):
    # Each byte depends on its position alone: one long run serves every length.
    if len(PATTERN) < count:
        PATTERN[:] = bytes((i * 7 + i // 251) & 0xFF for i in range(count))
    return bytes(PATTERN[:count])


def read_exactly(stream, count):
    data = bytearray()
    while len(data) < count:
        chunk = stream.recv(min(65536, count - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def read_slowly(stream, count):
    data = bytearray()
    while len(data) < count:
        chunk = stream.recv(min(SLOW_READ_PIECE, count - len(data)))
        if not chunk:
            break
        data += chunk
        time.sleep(SLOW_READ_GAP)
    return bytes(data)


def read_raw_line(stream):
    """The bytes up to and with the next newline, or what came before the close."""
    line = bytearray()
    while not line.endswith(b"\n"):
        chunk = stream.recv(1)
        if not chunk:
            break
        line += chunk
    return bytes(line)


def read_line(stream):
    return read_raw_line(stream).decode().split()


def serve_commands(stream):
    """The good peer: what the client asks for, in the order it asks."""
    while True:
        words = read_line(stream)
        if not words:
            return
        if words[0] == "EXCHANGE":
            count = int(words[1])
            ok = read_exactly(stream, count) == pattern(count)
            stream.sendall(pattern(count) if ok else b"BAD")
            read_line(stream)  # MORE
            stream.sendall(b"z" * 100)
            stream.unwrap()  # close_notify
            return
        if words[0] == "SLOW":
            count = int(words[1])
            time.sleep(SLOW_READER_PAUSE)
            got = read_slowly(stream, count)
            stream.sendall(f"OK {len(got)}\n".encode() if got == pattern(count) else b"BAD\n")
        elif words[0] == "SINK":
            # A line the client never reads, then all that it sends, then its close_notify.
            count, token = int(words[1]), words[2]
            stream.sendall(b"a line the client never reads\n")
            got = read_exactly(stream, count)
            try:
                stream.unwrap()
                ended = "close_notify"
            except (OSError, ssl.SSLError):
                ended = "no-close_notify"
            with VERDICT_MADE:
                VERDICTS[token] = f"{len(got)} {'exact' if got == pattern(count) else 'changed'} {ended}"
                VERDICT_MADE.notify_all()
            return
        elif words[0] == "VERDICT":
            # The sink may still be reading when the client asks.
            with VERDICT_MADE:
                VERDICT_MADE.wait_for(lambda: words[1] in VERDICTS, PEER_TIMEOUT)
                answer = VERDICTS.get(words[1], "none")
            stream.sendall((answer + "\n").encode())
        elif words[0] == "HOLD":
            # One record, and the connection stays quiet and open.
            stream.sendall(b"h" * int(words[1]))
        elif words[0] == "CUT":
            stream.sendall(b"c" * int(words[1]))
            end_without_close_notify(stream)
            return
        elif words[0] == "RESET":
            stream.sendall(b"r" * 1000)
            read_line(stream)  # GOT
            # No linger: the close is a reset.
            stream.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            stream.close()
            return


def echo_line(stream):
    """For qws --tls: sends back one line as it came, then closes with close_notify."""
    line = read_raw_line(stream)
    if line.endswith(b"\n"):
        stream.sendall(line)
        stream.unwrap()


def end_without_close_notify(stream):
    """Ends the TCP stream with no close_notify. What the client still sends is read
    away until it closes, so that the end is never a reset (which would take the
    data before it with it)."""
    stream.shutdown(socket.SHUT_WR)  # drops the session, then a plain FIN
    while stream.recv(4096):
        pass


def cut_line(stream):
    """For qws --tls: sends back one line, then ends without close_notify."""
    stream.sendall(read_raw_line(stream))
    end_without_close_notify(stream)


def tell_sni(stream):
    """Says which name the client sent as SNI ("-": none), then waits for its close."""
    stream.sendall(f"SNI {getattr(stream, 'sni', None) or '-'}\n".encode())
    stream.recv(1)


def noting_sni(context):
    def note(stream, name, _):
        stream.sni = name
    context.sni_callback = note
    return context


def listen(buffer=None, address="127.0.0.1"):
    server = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
    if buffer:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
    server.bind((address, 0))
    server.listen(4)
    return server


def run_peer(server, handle):
    def loop():
        while True:
            try:
                conn, _ = server.accept()
            except OSError:
                return
            conn.settimeout(PEER_TIMEOUT)
            threading.Thread(target=handle, args=(conn,), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()
    return server.getsockname()[1]


def secure(context, then=None):
    def handle(conn):
        try:
            with context.wrap_socket(conn, server_side=True) as stream:
                if then:
                    try:
                        then(stream)
                    except (OSError, ssl.SSLError, ValueError) as e:
                        # Shown with a failing test's output: why the peer gave up.
                        print(f"peer {then.__name__}: {e!r}", file=sys.stderr, flush=True)
                        raise
        except (OSError, ssl.SSLError, ValueError):
            conn.close()
    return handle


def plain(greeting):
    def handle(conn):
        if greeting:
            conn.sendall(greeting)
        # Holds the connection open, saying nothing more, until the client goes.
        while conn.recv(4096):
            pass
        conn.close()
    return handle


def host_path(path):
    """The path as the client program sees it: Wine maps / to drive Z:."""
    return "Z:" + path.replace("/", "\\") if RUNNER else path


def check_qws(qws, port, cut_port, authority):
    """qws --tls as its users run it: trusting the test authority it exchanges a line
    and ends when the server closes; without it, it says why it cannot connect."""
    def qws_run(*args):
        return subprocess.run([*RUNNER, qws, *args], input=b"secure hello\n",
                              capture_output=True, timeout=120)
    # Input ends at once: --linger keeps qws reading until the server closes.
    good = qws_run("--tls", "--trust", authority, "--linger", "30", "connect", "localhost",
                   str(port))
    failures = []
    if good.returncode != 0 or good.stdout != b"secure hello\n" \
            or b"connected to localhost:%d over TLS" % port not in good.stderr:
        failures.append(f"qws --tls: {good.returncode} {good.stdout!r} {good.stderr!r}")
    untrusted = qws_run("--tls", "connect", "localhost", str(port))
    if untrusted.returncode != 1 or b"0x800B0109" not in untrusted.stderr:
        failures.append(f"qws --tls, untrusted: {untrusted.returncode} {untrusted.stderr!r}")
    cut = qws_run("--tls", "--trust", authority, "--linger", "30", "connect", "localhost",
                  str(cut_port))
    if cut.returncode != 1 or cut.stdout != b"secure hello\n" or b"0x80090318" not in cut.stderr:
        failures.append(f"qws --tls, cut short: {cut.returncode} {cut.stdout!r} {cut.stderr!r}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def main():
    # Made before any peer runs: a peer checks what it received at once.
    pattern(SINK_SIZE)
    with tempfile.TemporaryDirectory() as folder:
        make_authority(folder, "ca")
        make_authority(folder, "stranger")
        good = make_server(folder, "localhost", "ca", "localhost", CERT_DAYS, 2)
        good12 = make_server(folder, "localhost", "ca", "localhost", CERT_DAYS, 2)
        good12.maximum_version = ssl.TLSVersion.TLSv1_2
        other = make_server(folder, "other", "ca", "other.example", CERT_DAYS, 3)
        expired = make_server(folder, "expired", "ca", "localhost", -1, 4)
        unknown = make_server(folder, "unknown", "stranger", "localhost", CERT_DAYS, 5)
        client_only = make_server(folder, "client_only", "ca", "localhost", CERT_DAYS, 6,
                                  usage="clientAuth")
        address = make_server(folder, "address", "ca", "address.example", CERT_DAYS, 7,
                              alt="IP:127.0.0.1")
        # The address as text, in the common name too: no name may stand for an address.
        address_as_name = make_server(folder, "address_as_name", "ca", "127.0.0.1", CERT_DAYS, 8)
        address6 = make_server(folder, "address6", "ca", "address6.example", CERT_DAYS, 9,
                               alt="IP:::1")
        address6_as_name = make_server(folder, "address6_as_name", "ca", "::1", CERT_DAYS, 10,
                                       alt="DNS:localhost")
        not_pem = os.path.join(folder, "not.pem")
        with open(not_pem, "w") as f:
            f.write("no certificate here\n")

        ports = {
            "QWS_TLS_GOOD": run_peer(listen(), secure(good, serve_commands)),
            "QWS_TLS_GOOD12": run_peer(listen(), secure(good12, serve_commands)),
            "QWS_TLS_SLOW": run_peer(listen(SLOW_READER_BUFFER), secure(good, serve_commands)),
            "QWS_TLS_OTHER_NAME": run_peer(listen(), secure(other)),
            "QWS_TLS_EXPIRED": run_peer(listen(), secure(expired)),
            "QWS_TLS_UNKNOWN_CA": run_peer(listen(), secure(unknown)),
            "QWS_TLS_CLIENT_ONLY": run_peer(listen(), secure(client_only)),
            "QWS_TLS_ADDRESS": run_peer(listen(), secure(noting_sni(address), tell_sni)),
            "QWS_TLS_ADDRESS_AS_NAME": run_peer(listen(), secure(address_as_name)),
            "QWS_TLS_ADDRESS6": run_peer(listen(address="::1"), secure(noting_sni(address6), tell_sni)),
            "QWS_TLS_ADDRESS6_AS_NAME": run_peer(listen(address="::1"), secure(address6_as_name)),
            "QWS_TLS_PLAIN_GREETING": run_peer(listen(), plain(b"220 plain server ready\r\n")),
            "QWS_TLS_PLAIN_SILENT": run_peer(listen(), plain(b"")),
            "QWS_TLS_ECHO": run_peer(listen(), secure(good, echo_line)),
            "QWS_TLS_CUT": run_peer(listen(), secure(good, cut_line)),
        }
        env = dict(os.environ, QWS_TLS_CA=host_path(os.path.join(folder, "ca.pem")),
                   QWS_TLS_NOT_PEM=host_path(not_pem),
                   **{name: str(port) for name, port in ports.items()})
        client = os.environ["QWS_TLS_CLIENT"]
        status = subprocess.run([*RUNNER, client, *sys.argv[1:]], env=env).returncode
        if os.environ.get("QWS"):
            status = status or check_qws(os.environ["QWS"], ports["QWS_TLS_ECHO"],
                                         ports["QWS_TLS_CUT"], env["QWS_TLS_CA"])
        return status


if __name__ == "__main__":
    sys.exit(main())

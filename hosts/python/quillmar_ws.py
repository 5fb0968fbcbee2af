"""Quillmar_ws for Python hosts on Linux, through ctypes (standard library only).

Loads libQuillmar_ws.so.1 from the path given to Library(), else from the
QUILLMAR_WS_LIBRARY environment variable, else by name through the system's loader.
Every export is declared with its exact argument and result types; Python str
crosses as HostString (packed bytes for the host of ConnectTCP, wide text
elsewhere) and every string the library returns is freed here.

Each thread has its own connections, one per slot: every Connection takes a slot of
its thread and gives it back at close(). Use a Connection from the thread that made it.

    from quillmar_ws import Connection
    with Connection.connect("127.0.0.1", 7000) as peer:
        print(peer.receive(timeout=5))    # the server's greeting comes first
        peer.send("hello\\n")

Each connection start consumes up to 64 bytes that the other side sent before it,
so one side speaks first and the other waits for it (docs/hosts.md).
"""
import ctypes
import os
import threading
import time

__all__ = ["Library", "Connection", "REMOTE_DISCONNECT", "load", "wait", "SLOT_COUNT", "STATE_NONE",
           "STATE_LISTENING", "STATE_CONNECTING", "STATE_CONNECTED", "STATE_CLOSED_BY_PEER",
           "STATE_FAILED"]
__version__ = "1.0.0"  # the project's version; a test holds it to CMake's

REMOTE_DISCONNECT = "Remote Disconnect"
# The longest single WaitTCP: a wait without a time-out is made of these, and a
# Ctrl-C is seen between them.
_WAIT_STEP = 1.0  # s
SLOT_COUNT = 1024  # a thread's slots are 0 to 1023

# What StateTCP reports.
STATE_NONE, STATE_LISTENING, STATE_CONNECTING, STATE_CONNECTED, STATE_CLOSED_BY_PEER, \
    STATE_FAILED = range(6)
ENVIRONMENT_VARIABLE = "QUILLMAR_WS_LIBRARY"
DEFAULT_NAME = "libQuillmar_ws.so.1"  # the SONAME: no development symlink needed

_HostString = ctypes.c_void_p
_Bool16 = ctypes.c_int16
_PumpFunction = ctypes.CFUNCTYPE(None, ctypes.c_void_p)

# name: (result type, argument types)
_EXPORTS = {
    "DllMain": (ctypes.c_int32, [ctypes.POINTER(ctypes.c_int32)] * 3),
    "CloseTCP": (ctypes.c_int32, []),
    "DataArrivalTCP": (_HostString, []),
    "ConnectRequestTCP": (_Bool16, []),
    "ConnectTCP": (_Bool16, [_HostString, ctypes.c_int16]),
    "stopwinsock": (_Bool16, []),
    "SendTCP": (ctypes.c_int32, [_HostString]),
    "ShutdownTCP": (ctypes.c_int32, []),
    "ListenerTCP": (_Bool16, [ctypes.c_int16]),
    "clearwinsockfile": (ctypes.c_int32, []),
    "createstopwinsockfile": (ctypes.c_int32, []),
    "clearsetfile": (ctypes.c_int32, []),
    "createstopsetfile": (ctypes.c_int32, []),
    "stopsettings": (_Bool16, []),
    "DllCanUnloadNow": (ctypes.c_int32, []),
    "DllGetClassObject": (ctypes.c_int32, [ctypes.c_void_p, ctypes.c_void_p,
                                           ctypes.POINTER(ctypes.c_void_p)]),
    "DllRegisterServer": (ctypes.c_int32, []),
    "DllUnregisterServer": (ctypes.c_int32, []),
    "SendBytesTCP": (ctypes.c_int32, [_HostString]),
    "DataArrivalBytesTCP": (_HostString, []),
    "StateTCP": (ctypes.c_int32, []),
    "LastErrorTCP": (ctypes.c_int32, []),
    "ErrorTextTCP": (_HostString, [ctypes.c_int32]),
    "GreetingTCP": (_HostString, []),
    "ConnectTLS": (_Bool16, [_HostString, ctypes.c_int16]),
    "TrustTLS": (ctypes.c_int32, [_HostString]),
    "SelectTCP": (ctypes.c_int32, [ctypes.c_int16]),
    "HandOffTCP": (_Bool16, [ctypes.c_int16]),
    "GreetingBytesTCP": (_HostString, []),
    "WaitTCP": (ctypes.c_int32, [ctypes.c_int32]),
    "AcceptTCP": (_Bool16, [ctypes.c_int16]),
    "PeerAddressTCP": (_HostString, []),
    "LocalAddressTCP": (_HostString, []),
    "HostStringAlloc": (_HostString, [ctypes.c_void_p, ctypes.c_uint32]),
    "HostStringAllocBytes": (_HostString, [ctypes.c_char_p, ctypes.c_uint32]),
    "HostStringByteLen": (ctypes.c_uint32, [_HostString]),
    "HostStringFree": (None, [_HostString]),
    "SetMessagePump": (None, [_PumpFunction, ctypes.c_void_p]),
}


def _port_bits(port):
    """A port as the 16-bit pattern the library takes: 65535 and -1 are one port."""
    if not -32768 <= port <= 65535:
        raise ValueError(f"port {port} is not a 16-bit value")
    return (port + 0x8000) % 0x10000 - 0x8000


def _slot_bits(slot):
    """A slot as the 16-bit value the library takes; one out of range stays so."""
    return slot if -32768 <= slot <= 32767 else -1


class Library:
    """The loaded library, its exports under their own names."""

    def __init__(self, path=None):
        self.path = path or os.environ.get(ENVIRONMENT_VARIABLE) or DEFAULT_NAME
        self._dll = ctypes.CDLL(self.path)
        self._raw = {}
        for name, (result, arguments) in _EXPORTS.items():
            function = getattr(self._dll, name)
            function.restype = result
            function.argtypes = arguments
            self._raw[name] = function
        self._pumps = threading.local()

    # --- strings ---------------------------------------------------------------

    def _wide(self, text):
        units = (text or "").encode("utf-16-le", "surrogatepass")
        return self._raw["HostStringAlloc"](units, len(units) // 2)

    def _packed(self, text):
        data = (text or "").encode("utf-8", "surrogateescape")
        return self._raw["HostStringAllocBytes"](data, len(data))

    def _take(self, string):
        """The text of a returned HostString, which is freed."""
        if not string:
            return ""
        try:
            length = self._raw["HostStringByteLen"](string)
            return ctypes.string_at(string, length).decode("utf-16-le", "surrogatepass")
        finally:
            self._raw["HostStringFree"](string)

    def _bytes(self, data):
        data = bytes(data)
        return self._raw["HostStringAllocBytes"](data, len(data))

    def _take_bytes(self, string):
        """The bytes of a returned HostString, which is freed."""
        if not string:
            return b""
        try:
            return ctypes.string_at(string, self._raw["HostStringByteLen"](string))
        finally:
            self._raw["HostStringFree"](string)

    def _with_string(self, string, call):
        try:
            return call(string)
        finally:
            self._raw["HostStringFree"](string)

    # --- connection operations -----------------------------------------------

    def ListenerTCP(self, port):
        return self._raw["ListenerTCP"](_port_bits(port)) != 0

    def ConnectRequestTCP(self):
        return self._raw["ConnectRequestTCP"]() != 0

    def ConnectTCP(self, host, port):
        bits = _port_bits(port)
        return self._with_string(self._packed(host),
                                 lambda s: self._raw["ConnectTCP"](s, bits) != 0)

    def SendTCP(self, text):
        return self._with_string(self._wide(text), self._raw["SendTCP"])

    def DataArrivalTCP(self):
        return self._take(self._raw["DataArrivalTCP"]())

    def CloseTCP(self):
        return self._raw["CloseTCP"]()

    def ShutdownTCP(self):
        return self._raw["ShutdownTCP"]()

    def SendBytesTCP(self, data):
        return self._with_string(self._bytes(data), self._raw["SendBytesTCP"])

    def DataArrivalBytesTCP(self):
        return self._take_bytes(self._raw["DataArrivalBytesTCP"]())

    def StateTCP(self):
        return self._raw["StateTCP"]()

    def LastErrorTCP(self):
        return self._raw["LastErrorTCP"]()

    def ErrorTextTCP(self, code):
        return self._take(self._raw["ErrorTextTCP"](code))

    def GreetingTCP(self):
        return self._take(self._raw["GreetingTCP"]())

    def ConnectTLS(self, host, port):
        """As ConnectTCP, then a verified TLS session; the reason of a failure in LastErrorTCP."""
        bits = _port_bits(port)
        return self._with_string(self._packed(host),
                                 lambda s: self._raw["ConnectTLS"](s, bits) != 0)

    def TrustTLS(self, path):
        """Trusts the certificates of a PEM file in this process: how many, or -1."""
        return self._with_string(self._wide(os.fspath(path)), self._raw["TrustTLS"])

    # --- slots -----------------------------------------------------------------

    def SelectTCP(self, slot):
        """Selects the slot the other calls act on; the slot before, or -1."""
        return self._raw["SelectTCP"](_slot_bits(slot))

    def HandOffTCP(self, slot):
        return self._raw["HandOffTCP"](_slot_bits(slot)) != 0

    def GreetingBytesTCP(self):
        return self._take_bytes(self._raw["GreetingBytesTCP"]())

    def WaitTCP(self, milliseconds):
        """A slot of this thread that needs its host, waiting up to `milliseconds`; -1 for none."""
        return self._raw["WaitTCP"](milliseconds)

    def PeerAddressTCP(self):
        return self._take(self._raw["PeerAddressTCP"]())

    def LocalAddressTCP(self):
        return self._take(self._raw["LocalAddressTCP"]())

    def AcceptTCP(self, slot):
        """Accepts a waiting peer of the selected listener straight into `slot`."""
        return self._raw["AcceptTCP"](_slot_bits(slot)) != 0

    # --- stop markers ----------------------------------------------------------

    def stopwinsock(self):
        return self._raw["stopwinsock"]() != 0

    def createstopwinsockfile(self):
        return self._raw["createstopwinsockfile"]()

    def clearwinsockfile(self):
        return self._raw["clearwinsockfile"]()

    def stopsettings(self):
        return self._raw["stopsettings"]() != 0

    def createstopsetfile(self):
        return self._raw["createstopsetfile"]()

    def clearsetfile(self):
        return self._raw["clearsetfile"]()

    # --- the rest --------------------------------------------------------------

    def DllMain(self, reason):
        value = ctypes.c_int32(reason)
        return self._raw["DllMain"](None, ctypes.byref(value), None)

    def SetMessagePump(self, pump):
        """Calls pump() at every pump point of this thread's operations; None removes it."""
        if pump is None:
            self._pumps.function = None
            self._raw["SetMessagePump"](_PumpFunction(), None)
            return
        # The ctypes callback must outlive its use by the library.
        self._pumps.function = _PumpFunction(lambda _context: pump())
        self._raw["SetMessagePump"](self._pumps.function, None)


_shared = None
_shared_lock = threading.Lock()


def load(path=None):
    """The library, loaded once per process (a path given later is ignored)."""
    global _shared
    with _shared_lock:
        if _shared is None:
            _shared = Library(path)
        return _shared


_threads = threading.local()


def _slots_in_use():
    if not hasattr(_threads, "slots"):
        _threads.slots = set()
    return _threads.slots


def _dropped_here():
    """This thread's connections that were dropped unclosed: (library, slot) pairs.
    A finalizer runs on whichever thread the collector does, in the middle of any
    call, so it only notes its slot here; the thread closes it at its next call."""
    if not hasattr(_threads, "dropped"):
        _threads.dropped = []
    return _threads.dropped


def _close_dropped():
    dropped = _dropped_here()
    while dropped:
        library, slot = dropped.pop()
        try:
            library.SelectTCP(slot)
            library.CloseTCP()
        finally:
            _slots_in_use().discard(slot)


def _milliseconds(seconds):
    return max(0, min(int(seconds * 1000 + 0.999), 2**31 - 1))


def wait(connections, timeout=None, poll_interval=0.01):
    """The connections that need their host: data, a close or a failure to take, or
    a peer waiting on a listener. Waits up to `timeout` seconds for one (None: no
    limit; 0: one look) and returns them in a list, empty when the time passed.
    Nothing is taken: a connection stays in need until it is served. All must be
    this thread's; while only other connections of the thread need their host,
    the wait looks again every poll_interval seconds."""
    if poll_interval <= 0:
        raise ValueError("poll_interval must be positive")
    by_slot = {}
    for connection in connections:
        if not connection.closed:
            connection._check_thread()
            by_slot[connection.slot] = connection
    library = next(iter(by_slot.values())).library if by_slot else load()
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        left = _WAIT_STEP if deadline is None else min(_WAIT_STEP, deadline - time.monotonic())
        ready, slot, seen = [], library.WaitTCP(_milliseconds(max(left, 0))), set()
        # The library names the slots in need in turn: one round of looks finds them all.
        while slot >= 0 and slot not in seen:
            seen.add(slot)
            if slot in by_slot:
                ready.append(by_slot[slot])
            slot = library.WaitTCP(0)
        if ready:
            return ready
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            return []
        if seen:
            time.sleep(poll_interval if left is None else min(poll_interval, left))


class Connection:
    """One of this thread's connections, in a slot of its own, closed at the end of
    a with block. The first Connection of a thread is slot 0, the connection that
    hosts without slots use."""

    def __init__(self, library=None):
        self.closed = True  # until it holds a slot: nothing for a finalizer to do
        self.library = library or load()
        self._thread = threading.get_ident()
        _close_dropped()
        self._dropped = _dropped_here()
        used = _slots_in_use()
        self.slot = next((s for s in range(SLOT_COUNT) if s not in used), None)
        if self.slot is None:
            raise OSError(f"all {SLOT_COUNT} slots of this thread are in use")
        used.add(self.slot)
        self._peer = None  # a listener's accepted peer, served here until handed off
        self.closed = False

    @classmethod
    def connect(cls, host, port, library=None):
        connection = cls(library)
        try:
            connected = connection._select().ConnectTCP(host, port)
        except BaseException:
            connection.close()  # an interrupt or a bad argument: the slot is free again
            raise
        if not connected:
            reason = connection._reason()
            # A failed ConnectTCP still holds this slot's start: give it back.
            connection.close()
            raise ConnectionError(f"cannot connect to {host}:{port}: {reason}")
        return connection

    @classmethod
    def listen(cls, port, library=None):
        connection = cls(library)
        try:
            listening = connection._select().ListenerTCP(port)
        except BaseException:
            connection.close()
            raise
        if not listening:
            # A failed ListenerTCP has given its start back already; a CloseTCP
            # now would have nothing of its own to give back.
            reason = connection._reason()
            connection._release()
            raise OSError(f"cannot listen on port {port}: {reason}")
        return connection

    def accept(self, timeout=None):
        """Waits for a peer and takes it, with no pause, into a Connection of its own,
        which it returns (None when the timeout passes first; timeout=0: one look).
        Until the next accept() or hand_off() the listener's own send, receive and
        state act on that peer, and its close() closes it too."""
        if not wait([self], timeout):
            return None
        peer = Connection(self.library)
        if not self._select(own=True).AcceptTCP(peer.slot):
            peer._release()
            return None
        self._adopt(peer)
        return peer

    def hand_off(self):
        """The peer that accept() took, as a Connection of its own in a free slot;
        this listener listens on for the next one."""
        if self._peer is not None:
            peer, self._peer = self._peer, None
            return peer
        peer = Connection(self.library)
        if not self._select(own=True).HandOffTCP(peer.slot):
            peer._release()
            raise ConnectionError("no accepted peer to hand off")
        return peer

    def _adopt(self, peer):
        """The listener serves the newest peer; one before it is its holder's."""
        self._peer = peer

    def send(self, text):
        return self._select().SendTCP(text)

    def receive(self, timeout=0, poll_interval=0.01):
        """What arrived since the last call (at most 64 bytes), "" for nothing,
        REMOTE_DISCONNECT once the peer has closed.

        With the default timeout of 0 this is one receive pass, which returns at
        once. A timeout in seconds waits until text arrives or the time is up;
        None waits until text arrives. The wait is the library's: it wakes when
        something arrives (poll_interval: see wait())."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            text = self._select().DataArrivalTCP()
            if text or not self._wait_until(deadline, poll_interval):
                return text

    def send_bytes(self, data):
        """Sends bytes unchanged, with no pause; the count accepted, or -1."""
        return self._select().SendBytesTCP(data)

    def receive_bytes(self, timeout=0, poll_interval=0.01):
        """Up to 65536 bytes that arrived, b"" for nothing or a close (see state).
        The timeout waits as receive() does."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            library = self._select()
            data = library.DataArrivalBytesTCP()
            if data or library.StateTCP() in (STATE_CLOSED_BY_PEER, STATE_FAILED):
                return data
            if not self._wait_until(deadline, poll_interval):
                return b""

    def _wait_until(self, deadline, poll_interval):
        """Waits for this connection to need its host; False once the deadline passed."""
        if poll_interval <= 0:
            raise ValueError("poll_interval must be positive")
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            return False
        wait([self._peer or self], left, poll_interval)
        return True

    @property
    def state(self):
        return self._select().StateTCP()

    @property
    def last_error(self):
        return self._select().LastErrorTCP()

    @property
    def greeting(self):
        """What the connection start's own receive pass took from the peer."""
        return self._select().GreetingTCP()

    @property
    def greeting_bytes(self):
        """The bytes of the greeting, as the peer sent them."""
        return self._select().GreetingBytesTCP()

    @property
    def peer_address(self):
        """Who is on the other end: "203.0.113.7:50123" or "[2001:db8::7]:443"; "" with none."""
        return self._select().PeerAddressTCP()

    @property
    def local_address(self):
        """This end, in the same form; for a listener where it listens ("[::]:7000")."""
        return self._select(own=True).LocalAddressTCP()

    def _reason(self):
        error = self._select().LastErrorTCP()
        return f"{self.library.ErrorTextTCP(error)} ({error})"

    def close(self):
        if self.closed:
            return None
        if self._peer is not None:
            self._peer.close()
            self._peer = None
        result = self._select(own=True).CloseTCP()
        self._release()
        return result

    def _release(self):
        self.closed = True
        _slots_in_use().discard(self.slot)

    def _select(self, own=False):
        """The library, with this connection's slot selected for the next calls: a
        listener's accepted peer's, until it is handed off, unless `own`."""
        self._check_thread()
        _close_dropped()
        self.library.SelectTCP(self.slot if own or self._peer is None else self._peer.slot)
        return self.library

    def _check_thread(self):
        if threading.get_ident() != self._thread:
            raise RuntimeError("a connection belongs to the thread that made it")

    def __del__(self):
        # The list outlives its thread only where the thread's end closed every slot.
        if not self.closed:
            self._dropped.append((self.library, self.slot))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

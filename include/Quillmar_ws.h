/*
 * Quillmar_ws: one TCP connection per calling thread through flat exports.
 *
 * Every function here may be called from any thread; each thread has its own
 * connections, in slots 0 to 1023, and the functions act on the slot that the
 * thread selected last (slot 0 until it selects another). Strings cross the boundary as HostString
 * values: automation strings (BSTR) on Windows, and strings of the same layout on Linux, where
 * HostStringAlloc, HostStringAllocBytes and HostStringFree stand in for the
 * system allocator. A returned HostString belongs to the caller, who frees it;
 * an argument is only borrowed. A null HostString is the empty text.
 */
#ifndef QUILLMAR_WS_H
#define QUILLMAR_WS_H

#include <stdint.h>

#ifdef _WIN32
#include <wtypes.h>
#define QWS_CALL __stdcall
typedef BSTR HostString;
#else
#ifndef __cplusplus
#include <uchar.h>
#endif
#define QWS_CALL
/* 16-bit code units; a 32-bit byte count sits just before the pointer and
   two NUL bytes follow the data. */
typedef uint16_t* HostString;
typedef int32_t HRESULT;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* -1 for true, 0 for false; only the low 16 bits of the result are set. */
typedef int16_t Bool16;

/* Ordinal 1. Returns -1 when *reason is 1 (process attach), otherwise 0.
   The loader never calls it. It is not in the import library, and it is
   declared only where QWS_DECLARE_DLLMAIN is defined before this header: a host
   DLL has a DllMain of its own. Others find it by name or ordinal at run time. */
#ifdef QWS_DECLARE_DLLMAIN
int32_t QWS_CALL DllMain(int32_t* hinst, int32_t* reason, int32_t* reserved);
#endif

/* Connection operations. Ports are 16-bit bit patterns: -1 is port 65535. */
Bool16 QWS_CALL ListenerTCP(int16_t port);                 /* 9; binds and listens */
Bool16 QWS_CALL ConnectRequestTCP(void);                   /* 4; accepts one peer when one waits */
Bool16 QWS_CALL ConnectTCP(HostString host, int16_t port); /* 5; host holds packed ANSI bytes */
int32_t QWS_CALL SendTCP(HostString text);                 /* 7; wide text; bytes sent or -1 */
HostString QWS_CALL DataArrivalTCP(void);                  /* 3; up to 64 bytes as text, or
                                                              "Remote Disconnect" */
int32_t QWS_CALL CloseTCP(void);                           /* 2; 0, or -1 with nothing to release */
int32_t QWS_CALL ShutdownTCP(void);                        /* 8; the same function as CloseTCP */

/* Stop markers "stopws.dat" and "stopset.dat" in the current directory.
   Tests return a Bool16; create and clear return 0 or a nonzero error number. */
Bool16 QWS_CALL stopwinsock(void);            /* 6 */
int32_t QWS_CALL clearwinsockfile(void);      /* 10 */
int32_t QWS_CALL createstopwinsockfile(void); /* 11 */
int32_t QWS_CALL clearsetfile(void);          /* 12 */
int32_t QWS_CALL createstopsetfile(void);     /* 13 */
Bool16 QWS_CALL stopsettings(void);           /* 14 */

/* Beyond the fourteen (19-24). */

/* 19; packed bytes (two to a unit, the length prefix counts bytes), sent
   unchanged with no pause; bytes accepted, 0 for none, or -1. */
int32_t QWS_CALL SendBytesTCP(HostString bytes);
/* 20; one receive pass of up to 65536 bytes, packed; zero-length when nothing
   arrived or the peer has closed (StateTCP tells which). Bytes the text pass
   held back for an unfinished character come first. */
HostString QWS_CALL DataArrivalBytesTCP(void);
/* 21; the selected slot's connection: 0 none, 1 listening, 2 connecting, 3 connected,
   4 closed by the peer, 5 failed. */
int32_t QWS_CALL StateTCP(void);
/* 22; the error number of the selected slot's last failed operation, in Windows
   Sockets numbering on every platform (10061 refused, 11001 host not found...);
   0 after a success. */
int32_t QWS_CALL LastErrorTCP(void);
/* 23; a short English description of an error number, as wide text. */
HostString QWS_CALL ErrorTextTCP(int32_t code);
/* 24; the text that the last connection start's own receive pass took (up to
   64 bytes, as wide text); empty after CloseTCP or a new start. */
HostString QWS_CALL GreetingTCP(void);

/* Secure connections (25-26), client side, through the system's TLS. */

/* 25; as ConnectTCP, then the TLS handshake within 10 s; true only for a session
   whose server certificate verified for `host` (packed ANSI bytes). No receive
   pass follows: GreetingTCP is empty. SendTCP, the receive passes and CloseTCP
   (which sends close_notify) then work on the plaintext. On failure
   LastErrorTCP says why: 0x800B0109 unknown authority, 0x800B010F wrong name,
   0x800B0101 expired, 10060 no handshake in time, 0x80090326 not TLS. */
Bool16 QWS_CALL ConnectTLS(HostString host, int16_t port);
/* 26; the path as wide text; adds the certificates of a PEM file to the roots
   this process trusts. How many it read, or -1 (LastErrorTCP: 0x80070002
   unreadable, 0x80092004 no certificate in it). */
int32_t QWS_CALL TrustTLS(HostString path);

/* Many connections in one thread (27-28), and the greeting's bytes (29). */

/* 27; selects which of this thread's slots (0-1023) the functions act on; each
   slot is a connection of its own, made at its first use. Returns the slot
   selected before, or -1 for a slot out of range, which changes nothing. An
   operation works on the slot selected when it was called; host code that its
   pump points run may select another, and the selection is restored after it. */
int32_t QWS_CALL SelectTCP(int16_t slot);
/* 28; moves the peer that the selected listener accepted (ConnectRequestTCP was
   true) into `slot`, with its greeting, held-back bytes and state; there it is
   used as a connection made by ConnectTCP, and its CloseTCP ends it. The
   listener listens on with no peer. False, changing nothing, with no accepted
   peer, a slot out of range, the selected slot, or a slot whose connection is
   neither closed nor failed. */
Bool16 QWS_CALL HandOffTCP(int16_t slot);
/* 29; the bytes of GreetingTCP's text, packed, as the peer sent them. */
HostString QWS_CALL GreetingBytesTCP(void);

/* Waiting for whichever connection needs the host (30-31). */

/* 30; the number of a slot of the calling thread that needs its host, or -1 when
   `milliseconds` passed with none (0 looks once; negative is refused, with
   LastErrorTCP 10022). A slot needs its host while its next DataArrivalTCP would
   return something (data, bytes a secure session decrypted, the end, a failure),
   or its ConnectRequestTCP or AcceptTCP would take a peer. Nothing is taken and no
   slot changes: the host selects the slot and makes the usual calls, and a slot
   stays in need until they take what it holds. Ready slots come in turn. While it
   waits the thread's messages are dispatched (on Linux the SetMessagePump hook runs
   at least every 10 ms); nested in host code that a pump point runs, it looks once. */
int32_t QWS_CALL WaitTCP(int32_t milliseconds);
/* 31; on the selected listener, accepts one waiting peer straight into `slot`
   with no pause and no receive pass, as a connection made by ConnectTCP. False,
   changing nothing, when no peer waits or the slot could not take it (as for
   HandOffTCP); LastErrorTCP on the listener says 10024 when no descriptor is left. */
Bool16 QWS_CALL AcceptTCP(int16_t slot);

/* Who is on the other end (32-33). */

/* 32; the selected slot's peer as wide text: "203.0.113.7:50123", or
   "[2001:db8::7]:443" (an IPv4-mapped peer as IPv4); empty with no connection. It
   stays after the peer has ended, until CloseTCP. For a listener, its accepted peer. */
HostString QWS_CALL PeerAddressTCP(void);
/* 33; the local end in the same form; for a listener, where it listens ("[::]:PORT"
   on both families), so that a listener on port 0 tells its port. */
HostString QWS_CALL LocalAddressTCP(void);

#ifndef _WIN32
/* The COM server's entry points (15-18). Windows declares them in <objbase.h>;
   on Linux there is no COM, and they only report so: DllGetClassObject clears
   *object and returns CLASS_E_CLASSNOTAVAILABLE, the others E_NOTIMPL. */
HRESULT DllCanUnloadNow(void);
HRESULT DllGetClassObject(const void* clsid, const void* iid, void** object);
HRESULT DllRegisterServer(void);
HRESULT DllUnregisterServer(void);

/* Linux only: the string allocator and the message-pump hook. */
HostString HostStringAlloc(const char16_t* units, uint32_t count);
HostString HostStringAllocBytes(const char* bytes, uint32_t count);
uint32_t HostStringByteLen(HostString s);
void HostStringFree(HostString s);

/* Installs, for the calling thread only, the function that every message-pump
   point calls once; null removes it. The function may call back into the
   library. */
void SetMessagePump(void (*pump)(void* context), void* context);
#endif

#ifdef __cplusplus
}
#endif

#endif

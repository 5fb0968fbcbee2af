// The flat exports. Quillmar_ws.def gives each its ordinal; the banners repeat it.
#include "connection/operations.h"
#include "guard.h"
#include "host_string.h"
#include "markers/markers.h"

using qws::Guarded;
using qws::ThisThreadRecord;
using qws::ToBool16;

namespace {

constexpr int32_t kProcessAttach = 1;
constexpr int32_t kSocketError = -1;
constexpr int32_t kNoState = static_cast<int32_t>(qws::ConnectionState::kNone);

}  // namespace

extern "C" {

// @1 DllMain (exported under this name; the loader's entry point is another function)
int32_t QWS_CALL ExportedDllMain(int32_t*, int32_t* reason, int32_t*) {
  return reason != nullptr && *reason == kProcessAttach ? -1 : 0;
}

// @2 CloseTCP, and @8 ShutdownTCP: one function under two names
int32_t QWS_CALL CloseTCP() {
  return Guarded(kSocketError, [] { return qws::CloseConnection(ThisThreadRecord()); });
}

// @3 DataArrivalTCP
HostString QWS_CALL DataArrivalTCP() {
  return Guarded<HostString>(nullptr,
                             [] { return qws::ReturnText(qws::ReceivePass(ThisThreadRecord())); });
}

// @4 ConnectRequestTCP
Bool16 QWS_CALL ConnectRequestTCP() {
  return Guarded(qws::kFalse, [] { return ToBool16(qws::AcceptWaitingPeer(ThisThreadRecord())); });
}

// @5 ConnectTCP
Bool16 QWS_CALL ConnectTCP(HostString host, int16_t port) {
  return Guarded(qws::kFalse, [&] {
    const std::string name = qws::PackedArgument(host);
    return ToBool16(qws::ConnectToServer(ThisThreadRecord(), name, port));
  });
}

// @6 stopwinsock
Bool16 QWS_CALL stopwinsock() { return ToBool16(qws::MarkerRaised(qws::kSocketMarker)); }

// @7 SendTCP
int32_t QWS_CALL SendTCP(HostString text) {
  return Guarded(kSocketError, [&] {
    const std::u16string copy = qws::WideArgument(text);
    return qws::SendText(ThisThreadRecord(), copy);
  });
}

// @9 ListenerTCP
Bool16 QWS_CALL ListenerTCP(int16_t port) {
  return Guarded(qws::kFalse,
                 [&] { return ToBool16(qws::StartListening(ThisThreadRecord(), port)); });
}

// @10 clearwinsockfile
int32_t QWS_CALL clearwinsockfile() { return qws::ClearMarker(qws::kSocketMarker); }

// @11 createstopwinsockfile
int32_t QWS_CALL createstopwinsockfile() { return qws::RaiseMarker(qws::kSocketMarker); }

// @12 clearsetfile
int32_t QWS_CALL clearsetfile() { return qws::ClearMarker(qws::kSettingsMarker); }

// @13 createstopsetfile
int32_t QWS_CALL createstopsetfile() { return qws::RaiseMarker(qws::kSettingsMarker); }

// @14 stopsettings
Bool16 QWS_CALL stopsettings() { return ToBool16(qws::MarkerRaised(qws::kSettingsMarker)); }

// @19 SendBytesTCP
int32_t QWS_CALL SendBytesTCP(HostString bytes) {
  return Guarded(kSocketError, [&] {
    const std::string copy = qws::PackedArgument(bytes);
    return qws::SendBytes(ThisThreadRecord(), copy);
  });
}

// @20 DataArrivalBytesTCP
HostString QWS_CALL DataArrivalBytesTCP() {
  return Guarded<HostString>(nullptr, [] {
    qws::ConnectionRecord& record = ThisThreadRecord();
    const size_t count = qws::ReceiveBytesPass(record);
    return qws::ReturnBytes(record.byteArea.data(), count);
  });
}

// @21 StateTCP
int32_t QWS_CALL StateTCP() {
  return Guarded(kNoState,
                 [] { return static_cast<int32_t>(qws::CurrentState(ThisThreadRecord())); });
}

// @22 LastErrorTCP
int32_t QWS_CALL LastErrorTCP() {
  return Guarded(qws::kNoError, [] { return ThisThreadRecord().lastError; });
}

// @23 ErrorTextTCP
HostString QWS_CALL ErrorTextTCP(int32_t code) {
  return Guarded<HostString>(nullptr, [&] { return qws::ReturnText(qws::ErrorText(code)); });
}

// @24 GreetingTCP
HostString QWS_CALL GreetingTCP() {
  return Guarded<HostString>(nullptr, [] { return qws::ReturnText(ThisThreadRecord().greeting); });
}

// @25 ConnectTLS
Bool16 QWS_CALL ConnectTLS(HostString host, int16_t port) {
  return Guarded(qws::kFalse, [&] {
    const std::string name = qws::PackedArgument(host);
    return ToBool16(qws::ConnectSecurely(ThisThreadRecord(), name, port));
  });
}

// @26 TrustTLS
int32_t QWS_CALL TrustTLS(HostString path) {
  return Guarded(kSocketError, [&] {
    const std::u16string copy = qws::WideArgument(path);
    return qws::TrustCertificates(ThisThreadRecord(), copy);
  });
}

// @27 SelectTCP
int32_t QWS_CALL SelectTCP(int16_t slot) {
  return Guarded(int32_t{-1}, [&] { return qws::SelectSlot(slot); });
}

// @28 HandOffTCP
Bool16 QWS_CALL HandOffTCP(int16_t slot) {
  return Guarded(qws::kFalse, [&] {
    qws::ConnectionRecord& listener = ThisThreadRecord();
    // Refused without making the slot's record where the listener has nothing to give.
    if (slot < 0 || slot >= qws::kSlotCount || !qws::HoldsPeer(listener)) return qws::kFalse;
    return ToBool16(qws::HandOffPeer(listener, qws::ThisThreadSlot(slot)));
  });
}

// @29 GreetingBytesTCP
HostString QWS_CALL GreetingBytesTCP() {
  return Guarded<HostString>(nullptr, [] {
    const std::string& bytes = ThisThreadRecord().greetingBytes;
    return qws::ReturnBytes(bytes.data(), bytes.size());
  });
}

// @30 WaitTCP
int32_t QWS_CALL WaitTCP(int32_t milliseconds) {
  return Guarded(int32_t{-1}, [&] { return qws::WaitForSlot(milliseconds); });
}

// @31 AcceptTCP
Bool16 QWS_CALL AcceptTCP(int16_t slot) {
  return Guarded(qws::kFalse, [&] {
    qws::ConnectionRecord& listener = ThisThreadRecord();
    // Refused without making the slot's record where the listener has nothing to give.
    if (slot < 0 || slot >= qws::kSlotCount || !qws::ListensIdle(listener)) return qws::kFalse;
    return ToBool16(qws::AcceptInto(listener, qws::ThisThreadSlot(slot)));
  });
}

// @32 PeerAddressTCP
HostString QWS_CALL PeerAddressTCP() {
  return Guarded<HostString>(
      nullptr, [] { return qws::ReturnText(qws::AddressText(ThisThreadRecord().peer)); });
}

// @33 LocalAddressTCP
HostString QWS_CALL LocalAddressTCP() {
  return Guarded<HostString>(
      nullptr, [] { return qws::ReturnText(qws::AddressText(ThisThreadRecord().local)); });
}

}  // extern "C"

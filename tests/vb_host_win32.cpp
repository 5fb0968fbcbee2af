// A host that calls the DLL as the VB runtime does, for the VB module that we ship.
// There is no VB runtime here: this program reads the module's Declare lines for
// one dialect (VB6, or VBA7 in 32- or 64-bit Office), finds each export as VB does
// and marshals each call by the declared types:
//   ByVal String         the text narrowed to the ANSI code page into a new BSTR,
//                        freed after the call
//   ByVal Long/LongPtr   the value (the module passes StrPtr, the wide BSTR)
//   ByVal Integer        the low 16 bits (the upper bits are not VB's to define)
//   As String result     the BSTR widened from ANSI into a new string, the original freed
//   As Long/LongPtr      the raw value, cut to the declared size; the module's
//                        TakeOver makes it a VB string as it is
//   As Integer/Boolean   the low 16 bits
// It then exchanges non-ASCII text with a loopback peer in both roles, and once
// more with the naive declarations, which must corrupt it. Every string that the
// library returns or the host makes is freed through one book, exactly once.
//   qws_vb_host MODULE.bas EXPORTS.def [CODE-PAGE the system must have]
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <oleauto.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char kLibrary[] = "Quillmar_ws.dll";
constexpr char kLoopback[] = "127.0.0.1";
constexpr wchar_t kRemoteDisconnect[] = L"Remote Disconnect";
constexpr DWORD kPollPause = 10;       // ms between polls, as the module's sample
constexpr DWORD kAcceptLimit = 10000;  // ms for a peer to be accepted
constexpr DWORD kReceiveLimit = 3000;  // ms for the peer's text to arrive
constexpr DWORD kPeerTimeout = 5000;   // ms for any one socket call of the peer
constexpr int kStackSlotBytes = 4;     // one argument in a 32-bit stdcall frame
// What the bits above a 16-bit argument may hold: VB does not define them.
constexpr uintptr_t kUndefinedBits = static_cast<uintptr_t>(0x5A5A5A5A5A5A5A5AULL);
constexpr uintptr_t kLow16 = 0xFFFF;
constexpr int kServedSlot = 1;  // where the server role serves its peer; slot 0 listens

// The exports that the module declares; the .def gives their stdcall argument bytes.
const char* const kExports[] = {"DllMain",
                                "CloseTCP",
                                "DataArrivalTCP",
                                "ConnectRequestTCP",
                                "ConnectTCP",
                                "stopwinsock",
                                "SendTCP",
                                "ShutdownTCP",
                                "ListenerTCP",
                                "clearwinsockfile",
                                "createstopwinsockfile",
                                "clearsetfile",
                                "createstopsetfile",
                                "stopsettings",
                                "SendBytesTCP",
                                "DataArrivalBytesTCP",
                                "StateTCP",
                                "LastErrorTCP",
                                "ErrorTextTCP",
                                "GreetingTCP",
                                "ConnectTLS",
                                "TrustTLS",
                                "SelectTCP",
                                "HandOffTCP",
                                "GreetingBytesTCP",
                                "WaitTCP",
                                "AcceptTCP",
                                "PeerAddressTCP",
                                "LocalAddressTCP"};

// The declarations that a VB developer writes first, and that corrupt text.
constexpr char kNaiveSend[] =
    R"(Public Declare PtrSafe Function SendTCP Lib "Quillmar_ws.dll" (ByVal text As String) As Long)";
constexpr char kNaiveReceive[] =
    R"(Public Declare PtrSafe Function DataArrivalTCP Lib "Quillmar_ws.dll" () As String)";

int faults = 0;

bool Check(bool ok, const std::string& what) {
  if (!ok) {
    ++faults;
    std::printf("FAILED: %s\n", what.c_str());
  }
  return ok;
}

// --- strings, and the book that sees each one freed once ---------------------------

class StringBook {
 public:
  void Enter(BSTR s) {
    if (s != nullptr) live_.insert(s);
  }
  bool Live(BSTR s) const { return live_.count(s) != 0; }
  void Free(BSTR s) {
    if (s == nullptr) return;
    if (!Check(live_.erase(s) == 1, "a string freed twice, or one never handed over")) return;
    SysFreeString(s);
    ++freed_;
  }
  size_t live() const { return live_.size(); }
  int freed() const { return freed_; }

 private:
  std::set<BSTR> live_;
  int freed_ = 0;
};

StringBook book;

// A VB String variable: it owns its BSTR and frees it once.
class VbString {
 public:
  VbString() = default;
  explicit VbString(const std::wstring& text)
      : bstr_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    book.Enter(bstr_);
  }
  static VbString Own(BSTR entered) {
    VbString s;
    s.bstr_ = entered;
    return s;
  }
  VbString(VbString&& other) noexcept : bstr_(std::exchange(other.bstr_, nullptr)) {}
  VbString& operator=(VbString&& other) noexcept {
    std::swap(bstr_, other.bstr_);
    return *this;
  }
  ~VbString() { book.Free(bstr_); }

  BSTR ptr() const { return bstr_; }
  std::wstring text() const {
    return bstr_ == nullptr ? std::wstring() : std::wstring(bstr_, SysStringLen(bstr_));
  }

 private:
  BSTR bstr_ = nullptr;
};

std::string Narrow(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  std::string bytes(static_cast<size_t>(size) * 2, '\0');
  bytes.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_ACP, 0, text.data(), size, bytes.data(), size * 2, nullptr, nullptr)));
  return bytes;
}

std::wstring Widen(const char* bytes, int count) {
  std::wstring text(static_cast<size_t>(count), L'\0');
  text.resize(
      static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes, count, text.data(), count)));
  return text;
}

// --- the module's declarations -----------------------------------------------------

struct Dialect {
  const char* name;
  bool vba7;
  bool win64;
};

enum class VbType { kNone, kString, kLong, kLongPtr, kInteger, kBoolean, kAny };

struct Param {
  bool byRef;
  VbType type;
};

struct Declaration {
  std::string lib;
  std::string entry;
  std::vector<Param> params;
  VbType result = VbType::kNone;
  void* address = nullptr;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class Module {
 public:
  Module(const std::string& source, const Dialect& dialect) : dialect_(dialect) {
    std::istringstream lines(source);
    std::string line, statement;
    std::vector<std::pair<bool, bool>> branches;  // (this branch active, one was taken)
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      statement += line;
      if (statement.size() >= 2 && statement.compare(statement.size() - 2, 2, " _") == 0) {
        statement.resize(statement.size() - 1);
        continue;
      }
      Statement(std::exchange(statement, std::string()), branches);
    }
    Check(branches.empty(), std::string(dialect.name) + ": an #If without #End If");
  }

  // Parses one declaration, replacing an earlier one of that name.
  void Declare(const std::string& line) {
    static const std::regex kDeclare(
        R"re(\s*(?:(?:Public|Private)\s+)?Declare\s+(PtrSafe\s+)?(Function|Sub)\s+(\w+))re"
        R"re(\s+Lib\s+"([^"]+)"(?:\s+Alias\s+"([^"]+)")?\s*\(([^)]*)\)(?:\s+As\s+(\w+))?\s*)re",
        std::regex::icase);
    std::smatch m;
    if (!Check(std::regex_match(line, m, kDeclare), "cannot read: " + line)) return;
    const std::string where = std::string(dialect_.name) + ", " + m[3].str() + ": ";
    const bool ptrSafe = m[1].matched;
    Check(!(ptrSafe && !dialect_.vba7), where + "PtrSafe is no VB6");
    Check(ptrSafe || !dialect_.win64, where + "64-bit VBA needs PtrSafe");
    Declaration d;
    d.lib = m[4];
    d.entry = m[5].matched ? m[5].str() : m[3].str();
    d.result = Lower(m[2]) == "sub" ? VbType::kNone : Type(m[7], where);
    static const std::regex kParam(R"(\s*(?:(ByVal|ByRef)\s+)?\w+\s+As\s+(\w+)\s*)",
                                   std::regex::icase);
    static const std::regex kComma(",");
    const std::string list = m[6];
    std::sregex_token_iterator it(list.begin(), list.end(), kComma, -1), end;
    for (; !list.empty() && it != end; ++it) {
      const std::string text = *it;
      std::smatch p;
      if (!Check(std::regex_match(text, p, kParam), where + "cannot read parameter " + text)) {
        continue;
      }
      d.params.push_back({Lower(p[1]) != "byval", Type(p[2], where)});
    }
    HMODULE lib = LoadLibraryA(d.lib.c_str());
    if (lib != nullptr) d.address = reinterpret_cast<void*>(GetProcAddress(lib, d.entry.c_str()));
    Check(d.address != nullptr, where + "no entry point " + d.entry + " in " + d.lib);
    declarations_[Lower(m[3])] = d;
  }

  const Declaration* Find(const std::string& name) const {
    const auto it = declarations_.find(Lower(name));
    return it == declarations_.end() ? nullptr : &it->second;
  }
  const Dialect& dialect() const { return dialect_; }

 private:
  void Statement(const std::string& text, std::vector<std::pair<bool, bool>>& branches) {
    static const std::regex kIf(R"(\s*#(If|ElseIf)\s+(.*?)\s+Then\s*)", std::regex::icase);
    static const std::regex kElse(R"(\s*#Else\s*)", std::regex::icase);
    static const std::regex kEnd(R"(\s*#End\s+If\s*)", std::regex::icase);
    static const std::regex kDeclareStart(R"(\s*(?:(?:Public|Private)\s+)?Declare\s.*)",
                                          std::regex::icase);
    std::smatch m;
    const bool outerActive =
        std::all_of(branches.begin(), branches.end(), [](const auto& b) { return b.first; });
    if (std::regex_match(text, m, kIf)) {
      if (Lower(m[1]) == "if") {
        const bool on = Condition(m[2]);
        branches.push_back({on, on});
      } else if (Check(!branches.empty(), "#ElseIf without #If")) {
        const bool on = !branches.back().second && Condition(m[2]);
        branches.back() = {on, branches.back().second || on};
      }
    } else if (std::regex_match(text, kElse)) {
      if (Check(!branches.empty(), "#Else without #If")) {
        branches.back() = {!branches.back().second, true};
      }
    } else if (std::regex_match(text, kEnd)) {
      if (Check(!branches.empty(), "#End If without #If")) branches.pop_back();
    } else if (outerActive && std::regex_match(text, kDeclareStart)) {
      Declare(text);
    }
  }

  // The conditions the module needs: a constant, or Not and a constant.
  bool Condition(const std::string& text) {
    static const std::regex kCondition(R"((Not\s+)?(\w+))", std::regex::icase);
    std::smatch m;
    if (!Check(std::regex_match(text, m, kCondition), "a condition beyond this host: " + text)) {
      return false;
    }
    const std::string name = Lower(m[2]);
    bool value = false;
    if (name == "vba7") {
      value = dialect_.vba7;
    } else if (name == "win64") {
      value = dialect_.win64;
    } else {
      Check(name == "win32", "an unknown constant: " + name);
      value = true;
    }
    return m[1].matched ? !value : value;
  }

  VbType Type(const std::string& name, const std::string& where) {
    const std::string t = Lower(name);
    if (t == "string") return VbType::kString;
    if (t == "long") return VbType::kLong;
    if (t == "integer") return VbType::kInteger;
    if (t == "boolean") return VbType::kBoolean;
    if (t == "any") return VbType::kAny;
    Check(t == "longptr", where + "a type this host does not marshal: " + name);
    Check(dialect_.vba7, where + "LongPtr is no VB6");
    return VbType::kLongPtr;
  }

  Dialect dialect_;
  std::map<std::string, Declaration> declarations_;
};

// --- calls, marshalled as the VB runtime does -------------------------------------

struct VbArg {
  const VbString* text;  // for a String; otherwise the number
  int64_t number;
};

VbArg Str(const VbString& s) { return {&s, 0}; }
VbArg Num(int64_t n) { return {nullptr, n}; }

struct VbResult {
  int64_t number = 0;
  VbString text;
};

// The value of a declared numeric type; VB raises an overflow where it does not fit.
intptr_t Numeric(int64_t value, VbType type, const Dialect& dialect, const std::string& where) {
  int64_t low = INT32_MIN, high = INT32_MAX;
  if (type == VbType::kInteger || type == VbType::kBoolean) {
    low = INT16_MIN;
    high = INT16_MAX;
  } else if (type == VbType::kLongPtr && dialect.win64) {
    low = INT64_MIN;
    high = INT64_MAX;
  }
  Check(value >= low && value <= high, where + "overflow");
  if (high == INT16_MAX) {
    return static_cast<intptr_t>((kUndefinedBits & ~kLow16) |
                                 (static_cast<uintptr_t>(value) & kLow16));
  }
  return static_cast<intptr_t>(value);
}

intptr_t Invoke(void* f, const std::vector<intptr_t>& a) {
  switch (a.size()) {
    case 0:
      return reinterpret_cast<intptr_t(WINAPI*)()>(f)();
    case 1:
      return reinterpret_cast<intptr_t(WINAPI*)(intptr_t)>(f)(a[0]);
    case 2:
      return reinterpret_cast<intptr_t(WINAPI*)(intptr_t, intptr_t)>(f)(a[0], a[1]);
    default:
      Check(false, "more arguments than this host passes");
      return 0;
  }
}

VbResult Call(const Module& module, const std::string& name, const std::vector<VbArg>& args) {
  VbResult result;
  const Declaration* d = module.Find(name);
  const std::string where = std::string(module.dialect().name) + ", " + name + ": ";
  if (!Check(d != nullptr && d->address != nullptr && d->params.size() == args.size(),
             where + "not declared for this call")) {
    return result;
  }
  std::vector<intptr_t> slots;
  std::vector<BSTR> narrowed;
  for (size_t i = 0; i < args.size(); ++i) {
    const Param& p = d->params[i];
    Check(!p.byRef && p.type != VbType::kAny, where + "an argument by reference");
    if (p.type == VbType::kString) {
      const std::string bytes = args[i].text != nullptr ? Narrow(args[i].text->text()) : "";
      BSTR packed = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
      book.Enter(packed);
      narrowed.push_back(packed);
      slots.push_back(reinterpret_cast<intptr_t>(packed));
    } else {
      Check(args[i].text == nullptr, where + "type mismatch: a String for a number");
      slots.push_back(Numeric(args[i].number, p.type, module.dialect(), where));
    }
  }
  const intptr_t raw = Invoke(d->address, slots);
  for (BSTR s : narrowed) book.Free(s);

  // The library's own string, whatever the declaration makes of it.
  if (d->entry == "DataArrivalTCP") book.Enter(reinterpret_cast<BSTR>(raw));
  switch (d->result) {
    case VbType::kString: {
      BSTR ansi = reinterpret_cast<BSTR>(raw);
      const std::wstring text =
          Widen(reinterpret_cast<const char*>(ansi), static_cast<int>(SysStringByteLen(ansi)));
      book.Free(ansi);
      result.text = VbString(text);
      break;
    }
    case VbType::kInteger:
    case VbType::kBoolean:
      result.number = static_cast<int16_t>(raw);
      break;
    case VbType::kLong:
      result.number = static_cast<int32_t>(raw);
      break;
    case VbType::kLongPtr:
      result.number = raw;
      break;
    case VbType::kNone:
    case VbType::kAny:
      break;
  }
  return result;
}

// --- the module's functions, as its VB code calls the declarations ----------------

bool IsPointerSized(VbType type, const Dialect& dialect) {
  return type == VbType::kLongPtr || (type == VbType::kLong && !dialect.win64);
}

// QwsSend: the text, or StrPtr(text) where the declaration takes a number.
int64_t Send(const Module& module, const std::wstring& text) {
  VbString s(text);
  const Declaration* d = module.Find("SendTCP");
  if (d == nullptr || d->params.size() != 1) return Call(module, "SendTCP", {}).number;
  if (d->params[0].type == VbType::kString) return Call(module, "SendTCP", {Str(s)}).number;
  Check(IsPointerSized(d->params[0].type, module.dialect()), "SendTCP: StrPtr cut to 32 bits");
  return Call(module, "SendTCP", {Num(reinterpret_cast<intptr_t>(s.ptr()))}).number;
}

// QwsReceive: the String result, or the pointer taken over as TakeOver does.
std::wstring Receive(const Module& module) {
  VbResult r = Call(module, "DataArrivalTCP", {});
  const Declaration* d = module.Find("DataArrivalTCP");
  if (d == nullptr || d->result == VbType::kString) return r.text.text();
  Check(IsPointerSized(d->result, module.dialect()), "DataArrivalTCP: pointer cut to 32 bits");
  BSTR p = reinterpret_cast<BSTR>(static_cast<intptr_t>(r.number));
  if (!Check(p == nullptr || book.Live(p), "TakeOver of a pointer that is no live string")) {
    return L"";
  }
  return VbString::Own(p).text();
}

int16_t PortBits(uint16_t port) { return static_cast<int16_t>(port); }  // QwsPort

// Polls until `length` characters or the peer's close have arrived, or time is up.
std::wstring ReceiveText(const Module& module, size_t length) {
  std::wstring text;
  const ULONGLONG end = GetTickCount64() + kReceiveLimit;
  while (text.size() < length && GetTickCount64() < end) {
    const std::wstring piece = Receive(module);
    if (piece == kRemoteDisconnect) break;
    text += piece;
    Sleep(kPollPause);
  }
  return text;
}

// --- the peer, on plain Winsock --------------------------------------------------

class PeerSocket {
 public:
  PeerSocket() : s_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) { Timeouts(); }
  explicit PeerSocket(SOCKET s) : s_(s) { Timeouts(); }
  PeerSocket(PeerSocket&& other) noexcept : s_(std::exchange(other.s_, INVALID_SOCKET)) {}
  ~PeerSocket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }

  uint16_t Listen() {
    sockaddr_in a = Address(0);
    int size = sizeof a;
    bind(s_, reinterpret_cast<sockaddr*>(&a), size);
    listen(s_, 1);
    getsockname(s_, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
  }
  bool Connect(uint16_t port) {
    sockaddr_in a = Address(port);
    return connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  PeerSocket Accept() { return PeerSocket(accept(s_, nullptr, nullptr)); }
  bool Send(const std::string& bytes) {
    return send(s_, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
  }
  std::string Receive(int64_t count) {
    std::string bytes;
    char buffer[256];
    while (static_cast<int64_t>(bytes.size()) < count) {
      const int n = recv(s_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
  }
  bool SeesOrderlyClose() {
    char byte;
    return recv(s_, &byte, 1, 0) == 0;
  }

 private:
  static sockaddr_in Address(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, kLoopback, &a.sin_addr);
    return a;
  }
  void Timeouts() {
    const DWORD limit = kPeerTimeout;
    setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  }
  SOCKET s_;
};

uint16_t FreePort() { return PeerSocket().Listen(); }

// --- the exchange ----------------------------------------------------------------

struct Texts {
  std::wstring toHost;  // the peer's text, arriving through DataArrivalTCP
  std::wstring toPeer;  // the host's text, leaving through SendTCP
};

struct Outcome {
  std::wstring hostGot;
  std::string peerGot;
  int64_t sent = 0;
};

// The VB side connects; the peer greets once the host's start is over.
Outcome AsClient(const Module& vb, const Texts& texts) {
  Outcome out;
  PeerSocket listener;
  const uint16_t port = listener.Listen();
  VbString host(L"127.0.0.1");
  if (!Check(Call(vb, "ConnectTCP", {Str(host), Num(PortBits(port))}).number == -1,
             "ConnectTCP to the peer")) {
    return out;
  }
  PeerSocket peer = listener.Accept();
  peer.Send(Narrow(texts.toHost));
  out.hostGot = ReceiveText(vb, texts.toHost.size());
  out.sent = Send(vb, texts.toPeer);
  out.peerGot = peer.Receive(out.sent);
  Check(Call(vb, "CloseTCP", {}).number == 0 && peer.SeesOrderlyClose(), "CloseTCP as client");
  return out;
}

// The VB side listens, hands the peer it accepts off to a slot of its own and greets
// it from there; the peer answers the greeting.
Outcome AsServer(const Module& vb, const Texts& texts) {
  Outcome out;
  const uint16_t port = FreePort();
  if (!Check(Call(vb, "ListenerTCP", {Num(PortBits(port))}).number == -1, "ListenerTCP")) {
    Call(vb, "CloseTCP", {});
    return out;
  }
  PeerSocket peer;
  bool accepted = peer.Connect(port);
  const ULONGLONG end = GetTickCount64() + kAcceptLimit;
  while (accepted && Call(vb, "ConnectRequestTCP", {}).number != -1) {
    accepted = GetTickCount64() < end;
    Sleep(kPollPause);
  }
  if (Check(accepted, "ConnectRequestTCP accepts the peer")) {
    Check(Call(vb, "HandOffTCP", {Num(kServedSlot)}).number == -1, "HandOffTCP");
    Check(Call(vb, "SelectTCP", {Num(kServedSlot)}).number == 0, "SelectTCP from slot 0");
    out.sent = Send(vb, texts.toPeer);
    out.peerGot = peer.Receive(out.sent);
    peer.Send(Narrow(texts.toHost));
    out.hostGot = ReceiveText(vb, texts.toHost.size());
  }
  Check(Call(vb, "CloseTCP", {}).number == 0 && (!accepted || peer.SeesOrderlyClose()),
        "CloseTCP as server");
  if (accepted) {
    Check(Call(vb, "SelectTCP", {Num(0)}).number == kServedSlot, "SelectTCP back to slot 0");
    Check(Call(vb, "StateTCP", {}).number == 1, "the listener listens on");
    Call(vb, "CloseTCP", {});
  }
  return out;
}

std::string Hex(const std::wstring& text) {
  std::string out;
  char unit[8];
  for (wchar_t c : text) {
    std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
    out += unit;
  }
  return out;
}

void ExpectExact(const char* role, const Outcome& out, const Texts& texts) {
  const std::string wire = Narrow(texts.toPeer);
  Check(out.hostGot == texts.toHost, std::string(role) + ": received " + Hex(out.hostGot));
  Check(out.sent == static_cast<int64_t>(wire.size()) && out.peerGot == wire,
        std::string(role) + ": the peer received " + std::to_string(out.peerGot.size()) +
            " bytes, not " + std::to_string(wire.size()));
}

// Text that the ANSI code page holds exactly, non-ASCII wherever it can be.
Texts TextsForCodePage() {
  if (GetACP() == 932) return {L"日本語のテキスト：ｶﾀｶﾅ混じり", L"こんにちは、世界！ＡＢＣ"};
  return {L"Grüße aus Köln: 12 € — ça va?", L"Déjà vu, señor: naïve café ½"};
}

bool Representable(const std::wstring& text) {
  BOOL lossy = FALSE;
  const int size = static_cast<int>(text.size());
  std::string bytes(static_cast<size_t>(size) * 2, '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), size, bytes.data(), size * 2,
                      nullptr, &lossy);
  return !lossy;
}

std::string ReadText(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  Check(in.good(), std::string("cannot read ") + path);
  return text.str();
}

// Each export the module must declare, with its stdcall argument bytes.
std::map<std::string, int> ArgumentBytes(const std::string& def) {
  static const std::regex kExport(R"(^\s*(\w+)@(\d+))");
  std::map<std::string, int> bytes;
  std::istringstream lines(def);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, kExport)) bytes[m[1]] = std::stoi(m[2]);
  }
  return bytes;
}

void CheckDeclarations(const Module& vb, const std::map<std::string, int>& argumentBytes) {
  for (const char* name : kExports) {
    const Declaration* d = vb.Find(name);
    const auto bytes = argumentBytes.find(name);
    Check(d != nullptr && d->lib == kLibrary && d->entry == name && bytes != argumentBytes.end() &&
              static_cast<int>(d->params.size()) * kStackSlotBytes == bytes->second,
          std::string(vb.dialect().name) + ": " + name + " is not declared as exported");
  }
}

// VB6 knows no PtrSafe.
std::string ForDialect(std::string line, const Dialect& dialect) {
  const std::string ptrSafe = "PtrSafe ";
  if (!dialect.vba7) line.erase(line.find(ptrSafe), ptrSafe.size());
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::printf("usage: qws_vb_host MODULE.bas EXPORTS.def [CODE-PAGE]\n");
    return 2;
  }
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const std::string source = ReadText(argv[1]);
  const std::map<std::string, int> argumentBytes = ArgumentBytes(ReadText(argv[2]));
  if (argc == 4) Check(GetACP() == std::stoul(argv[3]), "not code page " + std::string(argv[3]));
  const Texts texts = TextsForCodePage();
  Check(Representable(texts.toHost) && Representable(texts.toPeer),
        "the texts do not fit code page " + std::to_string(GetACP()));

#ifdef _WIN64
  const Dialect dialects[] = {{"VBA7 64-bit", true, true}};
#else
  const Dialect dialects[] = {{"VB6", false, false}, {"VBA7 32-bit", true, false}};
#endif
  for (const Dialect& dialect : dialects) {
    const int before = faults;
    Module vb(source, dialect);
    CheckDeclarations(vb, argumentBytes);
    if (faults == before) {
      ExpectExact((std::string(dialect.name) + " as server").c_str(), AsServer(vb, texts), texts);
      ExpectExact((std::string(dialect.name) + " as client").c_str(), AsClient(vb, texts), texts);
    }
    std::printf("%s, code page %u: %s\n", dialect.name, GetACP(),
                faults == before ? "ok" : "FAILED");
  }

  // The naive declarations must corrupt the text both ways: the module exists for that.
  Module naive(source, dialects[0]);
  naive.Declare(ForDialect(kNaiveSend, dialects[0]));
  naive.Declare(ForDialect(kNaiveReceive, dialects[0]));
  const Outcome corrupt = AsClient(naive, texts);
  Check(corrupt.hostGot != texts.toHost, "DataArrivalTCP As String kept the text");
  Check(corrupt.peerGot != Narrow(texts.toPeer), "SendTCP with ByVal String kept the text");
  std::printf("naive declarations: received %s; the peer received %s bytes\n",
              Hex(corrupt.hostGot).c_str(), std::to_string(corrupt.peerGot.size()).c_str());

  Check(book.live() == 0, std::to_string(book.live()) + " strings never freed");
  std::printf("%d strings freed, each once\n", book.freed());
  WSACleanup();
  return faults == 0 ? 0 : 1;
}

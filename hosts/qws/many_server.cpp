#include "many_server.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "common.h"
#include "console.h"
#include "input.h"

namespace qws_cli {
namespace {

// Input that one client may hold back unread before it is dropped.
constexpr size_t kClientQueueLimit = size_t{16} << 20;
constexpr size_t kQueuePiece = 65536;  // what one send offers a client
constexpr int16_t kListenerSlot = 0;   // the clients get slots from 1 up
constexpr int16_t kSlotCount = 1024;

// A client: its slot, and the input it has not taken yet (from `sent` on). A
// dropped client takes no more input and its data is no longer written; its slot
// closes once its peer ends its side, or at the server's end, so that its close
// does not hold the others.
struct Client {
  int16_t slot;
  std::string queue;
  size_t sent = 0;
  bool dropped = false;

  size_t Waiting() const { return queue.size() - sent; }
};

std::string Name(int16_t slot) { return "client " + std::to_string(slot); }

std::string NotSentTo(const Client& client) {
  if (client.Waiting() == 0) return "";
  return "; " + std::to_string(client.Waiting()) + " bytes of input were not sent to it";
}

void Drop(Client& client) {
  client.dropped = true;
  client.queue.clear();
  client.sent = 0;
}

// A dropped client's pass: what it sends goes nowhere.
Arrival Discard() {
  if (!TakeBytes(DataArrivalBytesTCP()).empty()) return Arrival::kData;
  const int32_t state = StateTCP();
  if (state == kClosedByPeer) return Arrival::kClosed;
  return state == kConnectionFailed ? Arrival::kFailed : Arrival::kNothing;
}

// Slot 0 listens, and each client that comes is accepted straight into the lowest
// free slot. Each round serves the slots that the library says need it, each once;
// each line (or block) of input joins every client's queue, and each round sends
// every client what it takes without waiting, so a client that reads slowly holds
// nobody else. A client that leaves or fails is closed and its slot freed; one
// whose queue outgrows kClientQueueLimit is dropped. On a stop the clients stay
// open: the end of the server's thread closes them all within one bound.
class ManyServer {
 public:
  explicit ManyServer(const Options& options) : options_(options), receiver_(options.binary) {}

  int Serve() {
    if (!Listen(options_)) return kFailed;
    input_.Start();
    for (bool busy = false;;) {
      if (const char* reason = stops_.Reason()) {
        Say(reason);
        return StopServing();
      }
      busy = ServeReady(busy ? 0 : IdleWait());
      std::string data;
      uint64_t offset = 0;
      if (TakesInput() &&
          (options_.binary ? input_.TakeAll(data, offset) : input_.TakeLine(data, offset))) {
        const int status = QueueForClients(data, offset);
        if (status != kRunning) return status;
        busy = true;
      }
      busy = SendQueued() || busy;
      DropLaggards();
    }
  }

 private:
  // While a waiting client cannot be admitted, the listener stays in need: the round
  // then pauses instead of waiting, which would end at once.
  int32_t IdleWait() {
    if (!admissionBlocked_) return kIdleWait;
    std::this_thread::sleep_for(kIdlePause);
    return 0;
  }

  // Every slot in need, each once, in the library's turn; true when any had data.
  bool ServeReady(int32_t milliseconds) {
    std::vector<bool> served(kSlotCount, false);
    bool busy = false;
    for (int32_t slot = WaitTCP(milliseconds); slot >= 0 && !served[slot]; slot = WaitTCP(0)) {
      served[slot] = true;
      if (slot == kListenerSlot) {
        Admit();
        continue;
      }
      const auto client = std::find_if(clients_.begin(), clients_.end(),
                                       [slot](const Client& c) { return c.slot == slot; });
      if (client != clients_.end()) busy = ServeClient(client) || busy;
    }
    return busy;
  }

  // Every client that waits, while a slot is free.
  void Admit() {
    admissionBlocked_ = false;
    for (;;) {
      int16_t slot = kListenerSlot + 1;
      const auto uses = [&slot](const Client& client) { return client.slot == slot; };
      while (slot < kSlotCount && std::any_of(clients_.begin(), clients_.end(), uses)) ++slot;
      // The next clients wait to be accepted.
      if (slot == kSlotCount) {
        admissionBlocked_ = true;
        return;
      }
      SelectTCP(kListenerSlot);
      if (!AcceptTCP(slot)) break;
      saidNoDescriptor_ = false;
      clients_.push_back({slot, {}});
      SelectTCP(slot);
      Say(Name(slot) + " connected from " + PeerAddress());
    }
    // The client stays queued; said once until one is accepted again.
    const int32_t error = LastErrorTCP();
    if (error != kNoDescriptor && error != kNoBufferSpace) return;
    admissionBlocked_ = true;
    if (!saidNoDescriptor_) {
      Say("a client waits, but no descriptor is left for it" + Reason(error) +
          ": it is accepted once another client leaves");
      saidNoDescriptor_ = true;
    }
  }

  // One receive pass on a client; true when it had data.
  bool ServeClient(std::vector<Client>::iterator client) {
    SelectTCP(client->slot);
    const Arrival arrival = client->dropped ? Discard() : receiver_.Poll();
    if (arrival == Arrival::kClosed || arrival == Arrival::kFailed) {
      if (!client->dropped) {
        Say(Name(client->slot) +
            (arrival == Arrival::kClosed ? " left" : " failed" + Reason(LastErrorTCP())) +
            NotSentTo(*client));
      }
      Close(client);
    }
    return arrival == Arrival::kData;
  }

  // Input is taken while some client has taken nearly all of what went before, so
  // that the fastest reader sets the pace; with no client it goes to nobody.
  bool TakesInput() const {
    return std::all_of(clients_.begin(), clients_.end(),
                       [](const Client& client) { return client.dropped; }) ||
           std::any_of(clients_.begin(), clients_.end(), [](const Client& client) {
             return !client.dropped && client.Waiting() < kQueuePiece;
           });
  }

  // Input that is not text in the code page ends qws, as with one peer. Text goes
  // as the bytes SendTCP would make of it, without its pause.
  int QueueForClients(const std::string& data, uint64_t offset) {
    std::string bytes = data;
    if (!options_.binary) {
      bytes += options_.lineEnding;
      HostString text = nullptr;
      size_t bad = 0;
      const bool exact = ExactWideText(bytes, text, bad);
      FreeHostString(text);
      if (!exact) return NotText(offset + bad);
    }
    for (Client& client : clients_) {
      if (!client.dropped) client.queue += bytes;
    }
    return kRunning;
  }

  // A client that lags kClientQueueLimit behind the fastest is dropped.
  void DropLaggards() {
    size_t fastest = SIZE_MAX;
    for (const Client& client : clients_) {
      if (!client.dropped) fastest = std::min(fastest, client.Waiting());
    }
    for (Client& client : clients_) {
      if (!client.dropped && client.Waiting() - fastest > kClientQueueLimit) {
        Say(Name(client.slot) + " does not read: dropped" + NotSentTo(client));
        Drop(client);
      }
    }
  }

  // Each client takes what its socket takes now; true when any took something. A
  // client whose send fails is dropped, the others go on.
  bool SendQueued() {
    bool sent = false;
    for (Client& client : clients_) {
      if (client.Waiting() == 0) continue;
      SelectTCP(client.slot);
      HostString packed = PackedHostString(client.queue.substr(client.sent, kQueuePiece));
      const int32_t result = SendBytesTCP(packed);
      FreeHostString(packed);
      if (result < 0 && LastErrorTCP() != kWouldBlock) {
        Say(Name(client.slot) + ": send failed" + Reason(LastErrorTCP()) + NotSentTo(client));
        Drop(client);
        continue;
      }
      if (result <= 0) continue;
      sent = true;
      client.sent += static_cast<size_t>(result);
      // What went out is let go of now and then, not at every send.
      if (client.sent >= kQueuePiece && client.sent * 2 >= client.queue.size()) {
        client.queue.erase(0, client.sent);
        client.sent = 0;
      }
    }
    return sent;
  }

  // What every client sent is written out, and what was queued for it is sent while
  // it takes it, for kStopDrainLimit at most; what is left is said.
  int StopServing() {
    const Clock::time_point until = Clock::now() + kStopDrainLimit;
    const auto waiting = [](const Client& client) { return client.Waiting() > 0; };
    for (bool busy = true; Clock::now() < until;) {
      if (!busy && std::none_of(clients_.begin(), clients_.end(), waiting)) break;
      busy = ServeReady(busy ? 0 : kIdleWait);
      busy = SendQueued() || busy;
    }
    for (const Client& client : clients_) {
      if (client.Waiting() > 0) Say(Name(client.slot) + ": stopped" + NotSentTo(client));
    }
    return stops_.status();
  }

  // A client that left or failed closes at once: its peer has ended its side.
  void Close(std::vector<Client>::iterator client) {
    SelectTCP(client->slot);
    CloseTCP();
    clients_.erase(client);
  }

  const Options& options_;
  Input& input_ = ProcessInput();
  Stops stops_;
  Receiver receiver_;
  std::vector<Client> clients_;
  bool saidNoDescriptor_ = false;
  bool admissionBlocked_ = false;  // a client waits that the last admission could not take
};

}  // namespace

int ServeMany(const Options& options) {
  int status = kFailed;
  std::thread server([&] { status = ManyServer(options).Serve(); });
  server.join();
  return status;
}

}  // namespace qws_cli

// One wait for many sockets and the thread's messages. WSAPoll looks at all the
// sockets in one call but cannot wake for a message; the wait itself is on one
// event that every socket of the thread signals (WSAEventSelect), together with
// the message queue. Windows Sockets 2 from ws2_32: winsock2.h, before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <vector>

#include "platform.h"

namespace qws::platform {
namespace {

// What makes a socket signal the thread's event: data or its end, a waiting peer,
// and a connect settling (a failed one shows as readable).
constexpr long kWakingEvents = FD_READ | FD_ACCEPT | FD_CLOSE | FD_CONNECT;

// Events set once are not set again before the call that takes them (recv, accept),
// so the event only says that something may have changed: the sockets are looked at
// once more after every wake, and the event is reset before every first look.
int Look(std::vector<WSAPOLLFD>& descriptors, PollEntry* entries) {
  if (descriptors.empty()) return 0;
  const int ready = WSAPoll(descriptors.data(), static_cast<ULONG>(descriptors.size()), 0);
  if (ready == SOCKET_ERROR) return -1;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    entries[i].readable = (descriptors[i].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
  }
  return ready;
}

// A socket newly registered signals what it recorded before (a connect that
// completed long ago, data already looked at), and Wine does so a while later,
// waking a wait that then finds nothing: those records are cleared at once. What
// they told, the look after the registration sees.
bool Watch(SOCKET socket, HANDLE event) {
  if (WSAEventSelect(socket, event, kWakingEvents) != 0) return false;
  WSANETWORKEVENTS recorded;
  WSAEnumNetworkEvents(socket, nullptr, &recorded);
  return true;
}

HANDLE Event(ThreadWait& wait) {
  if (wait.event == nullptr) wait.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return wait.event;
}

}  // namespace

ThreadWait::~ThreadWait() {
  if (event != nullptr) CloseHandle(event);
}

// The wait ends for a message, so that a host's window stays alive: no slices.
int32_t PumpSlice() { return kUnslicedWait; }

int PollSockets(ThreadWait& wait, PollEntry* entries, int count, int32_t milliseconds) {
  thread_local std::vector<WSAPOLLFD> descriptors;
  descriptors.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    descriptors[static_cast<size_t>(i)] = {
        static_cast<SOCKET>(static_cast<uint32_t>(entries[i].socket)), POLLRDNORM, 0};
  }
  if (milliseconds == 0) return Look(descriptors, entries);

  HANDLE event = Event(wait);
  if (event == nullptr) return -1;
  ResetEvent(event);
  for (int i = 0; i < count; ++i) {
    if (!entries[i].watched)
      entries[i].watched = Watch(descriptors[static_cast<size_t>(i)].fd, event);
  }
  const int ready = Look(descriptors, entries);
  if (ready != 0) return ready;
  const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
  MsgWaitForMultipleObjectsEx(1, &event, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  return Look(descriptors, entries);
}

}  // namespace qws::platform

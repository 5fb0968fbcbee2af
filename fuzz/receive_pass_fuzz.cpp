// The receive pass fed an arbitrary byte stream in arbitrary pieces through the
// socket seam: the texts that come out, joined, are exactly the conversion of the
// bytes that went in, whatever the piece boundaries; only an unfinished last
// character is held back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection/connection_record.h"
#include "platform/utf8.h"

using namespace qws;

namespace {

constexpr platform::Socket kFakeSocket = 7;

struct Stream {
  const char* bytes = nullptr;
  size_t size = 0;
  size_t position = 0;
  const uint8_t* pieces = nullptr;
  size_t pieceCount = 0;
  size_t nextPiece = 0;
} stream;

// Delivers the next piece (1 to 64 bytes, as the input says); -1 once all is read.
int FakeRecv(platform::Socket, char* out, int count, int) {
  if (stream.position >= stream.size) return -1;
  size_t piece =
      stream.pieceCount == 0 ? 64 : 1 + stream.pieces[stream.nextPiece++ % stream.pieceCount] % 64;
  piece = std::min({piece, static_cast<size_t>(count), stream.size - stream.position});
  std::memcpy(out, stream.bytes + stream.position, piece);
  stream.position += piece;
  return static_cast<int>(piece);
}

platform::SocketApi FakeSockets() {
  platform::SocketApi api = platform::NativeSockets();
  api.recv = FakeRecv;
  return api;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t pieceCount = std::min<size_t>(data[0], size - 1);
  stream = {reinterpret_cast<const char*>(data + 1 + pieceCount),
            size - 1 - pieceCount,
            0,
            data + 1,
            pieceCount,
            0};
  static const platform::SocketApi fake = FakeSockets();
  platform::UseSockets(&fake);

  ConnectionRecord record;
  record.ready = kTrue;
  record.clientMode = kClientRole;
  record.mainSocket = {kFakeSocket, false};
  std::u16string joined;
  while (stream.position < stream.size) joined += ReceivePass(record);
  ReceivePass(record);     // nothing more: an empty pass
  record.mainSocket = {};  // the fake handle is not the record's to close

  const size_t tail = platform::utf8::IncompleteTail(stream.bytes, stream.size);
  if (joined != platform::utf8::Decode(stream.bytes, stream.size - tail)) std::abort();
  if (static_cast<size_t>(record.carryLength) != tail) std::abort();
  if (std::memcmp(record.carry, stream.bytes + stream.size - tail, tail) != 0) std::abort();
  platform::UseSockets(nullptr);
  return 0;
}

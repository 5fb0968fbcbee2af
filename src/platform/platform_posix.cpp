// The platform layer on Linux beside its sockets: a string allocator with the
// automation string layout, UTF-8 as the ANSI code page, a message pump that is
// whatever the host installs for its thread, pauses, marker files and per-thread values.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "utf8.h"

namespace qws::platform {
namespace {

struct Pump {
  void (*function)(void*) = nullptr;
  void* context = nullptr;
};
thread_local Pump pump;

// The hook is the thread's only queue: a wait gives it a turn this often.
constexpr int32_t kHookedPumpSlice = 10;  // ms

// What a marker's create reports for a name that is no regular file.
constexpr int kNotRegularFile = EINVAL;

constexpr size_t kLengthPrefix = sizeof(uint32_t);
constexpr size_t kTerminator = sizeof(char16_t);

}  // namespace

HostString NewStringBytes(const char* bytes, uint32_t count) {
  if (count > UINT32_MAX - kLengthPrefix - kTerminator - 1) return nullptr;
  // Rounded up to whole units so that an odd count still ends in two NUL bytes.
  const size_t data = count + (count & 1u);
  auto* block = static_cast<unsigned char*>(std::malloc(kLengthPrefix + data + kTerminator));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &count, kLengthPrefix);
  if (bytes != nullptr) std::memcpy(block + kLengthPrefix, bytes, count);
  std::memset(block + kLengthPrefix + count, 0, data - count + kTerminator);
  return reinterpret_cast<HostString>(block + kLengthPrefix);
}

HostString NewString(const char16_t* units, uint32_t count) {
  if (count > UINT32_MAX / 2) return nullptr;
  return NewStringBytes(reinterpret_cast<const char*>(units), count * 2);
}

uint32_t StringByteLen(HostString s) {
  if (s == nullptr) return 0;
  uint32_t count;
  std::memcpy(&count, reinterpret_cast<const unsigned char*>(s) - kLengthPrefix, kLengthPrefix);
  return count;
}

void FreeString(HostString s) {
  if (s != nullptr) std::free(reinterpret_cast<unsigned char*>(s) - kLengthPrefix);
}

std::u16string AnsiToWide(const char* bytes, size_t count) { return utf8::Decode(bytes, count); }
std::string WideToAnsi(const char16_t* units, size_t count) { return utf8::Encode(units, count); }
size_t IncompleteAnsiTail(const char* bytes, size_t count) {
  return utf8::IncompleteTail(bytes, count);
}
uint32_t AnsiCodePage() { return 65001; }

void SetPumpHook(void (*function)(void*), void* context) {
  pump = {function, function ? context : nullptr};
}

int32_t PumpSlice() { return pump.function != nullptr ? kHookedPumpSlice : kUnslicedWait; }

// Linux waits need no state between them.
ThreadWait::~ThreadWait() = default;

void PumpMessages() {
  const Pump current = pump;
  if (current.function != nullptr) current.function(current.context);
}

// A monotonic deadline, so that signals and clock changes neither cut the pause
// short nor stretch it.
void Delay(int32_t milliseconds) {
  if (milliseconds < 0) return;
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// A regular file counts, also through a symbolic link, as cooperating programs
// expect; directories, pipes and devices of that name do not.
bool OrdinaryFileExists(const char* name) {
  struct stat info;
  return stat(name, &info) == 0 && S_ISREG(info.st_mode);
}

// Writes only ever reach a regular file of this very name. O_NOFOLLOW: a link
// planted under the marker's name must not get its target truncated.
// O_NONBLOCK: opening a pipe without a reader must not wait for one. Nothing is
// truncated before the file is known to be regular.
int CreateEmptyFile(const char* name) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return errno != 0 ? errno : EIO;
  struct stat info;
  int result = 0;
  if (fstat(fd, &info) != 0) {
    result = errno != 0 ? errno : EIO;
  } else if (!S_ISREG(info.st_mode)) {
    result = kNotRegularFile;
  } else if (ftruncate(fd, 0) != 0) {
    result = errno != 0 ? errno : EIO;
  }
  close(fd);
  return result;
}

int RemoveFile(const char* name) {
  if (unlink(name) == 0) return 0;
  return errno != 0 ? errno : EIO;
}

namespace {

// glibc runs a thread's thread_local destructors when it ends, and keeps a library
// whose destructors are pending loaded until then.
struct ThreadValueHolder {
  void* value = nullptr;
  ThreadValueRelease release = nullptr;
  ~ThreadValueHolder() {
    if (value != nullptr) release(value, false);
  }
};
thread_local ThreadValueHolder threadValue;

}  // namespace

void* ThreadValue() { return threadValue.value; }

bool SetThreadValue(void* value, ThreadValueRelease release) {
  threadValue.value = value;
  threadValue.release = release;
  return true;
}

}  // namespace qws::platform

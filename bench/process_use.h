#pragma once

namespace qws::test {

// The process's resident memory in bytes.
double ResidentBytes();
// The processor time the calling thread has used, in seconds: what a loop costs its
// own thread, whatever the threads beside it and the machine are doing.
double ThreadProcessorSeconds();

}  // namespace qws::test

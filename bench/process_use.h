#pragma once

namespace qws::test {

// The process's resident memory in bytes.
double ResidentBytes();
// The processor time the calling thread has used, in seconds: what a loop costs its
// own thread, whatever the threads beside it and the machine are doing.
double ThreadProcessorSeconds();

// Lets the process open as many descriptors as the system allows it: a thousand
// connections with both their ends in this process need more than the usual 1024.
void RaiseDescriptorLimit();

}  // namespace qws::test

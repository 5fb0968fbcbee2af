#pragma once

namespace qws::test {

// Descriptors (Linux) or handles (Windows) the process holds open.
int OpenDescriptors();

}  // namespace qws::test

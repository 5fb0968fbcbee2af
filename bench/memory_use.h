#pragma once

namespace qws::test {

// The process's resident memory in bytes.
double ResidentBytes();

}  // namespace qws::test

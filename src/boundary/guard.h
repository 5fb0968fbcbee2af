#pragma once

namespace qws {

// Nothing thrown inside crosses an export: a failure becomes the export's own
// failure value (in practice only an allocation can throw).
template <class Result, class Body>
Result Guarded(Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace qws

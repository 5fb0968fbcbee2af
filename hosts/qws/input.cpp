#include "input.h"

namespace qws_cli {

Input& ProcessInput() {
  static Input* const input = new Input;
  return *input;
}

}  // namespace qws_cli

#pragma once

#include <windows.h>

namespace qws::com {

HRESULT Register();
HRESULT Unregister();

}  // namespace qws::com

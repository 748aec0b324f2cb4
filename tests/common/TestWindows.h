// Window helpers shared by the tests that create windows.
#pragma once

#include <windows.h>

namespace kvtest {

// The number of windows below parent, at any depth.
int ChildWindowCount(HWND parent);

} // namespace kvtest

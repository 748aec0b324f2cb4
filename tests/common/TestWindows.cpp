#include "tests/common/TestWindows.h"

namespace kvtest {

namespace {
BOOL CALLBACK CountWindow(HWND, LPARAM counter)
{
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}
} // namespace

int ChildWindowCount(HWND parent)
{
    int count = 0;
    EnumChildWindows(parent, CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

} // namespace kvtest

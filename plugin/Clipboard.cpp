#include "plugin/Clipboard.h"

#include "shell/GdiHandles.h"

#include <cstring>

namespace kv {

namespace {

class OpenedClipboard {
public:
    explicit OpenedClipboard(HWND owner) noexcept
    {
        // Another program may hold it for a moment: a few short tries, never a long wait.
        for (int attempt = 0; attempt < 5 && !open_; ++attempt) {
            open_ = OpenClipboard(owner) != FALSE;
            if (!open_)
                Sleep(10);
        }
    }
    ~OpenedClipboard()
    {
        if (open_)
            CloseClipboard();
    }
    OpenedClipboard(const OpenedClipboard&) = delete;
    OpenedClipboard& operator=(const OpenedClipboard&) = delete;
    explicit operator bool() const noexcept { return open_; }

private:
    bool open_ = false;
};

} // namespace

bool CopyTextToClipboard(HWND owner, std::wstring_view text) noexcept
{
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    UniqueGlobal memory(GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (!memory)
        return false;
    void* const data = GlobalLock(memory.get());
    if (data == nullptr)
        return false;
    std::memcpy(data, text.data(), text.size() * sizeof(wchar_t));
    static_cast<wchar_t*>(data)[text.size()] = L'\0';
    GlobalUnlock(memory.get());

    const OpenedClipboard clipboard(owner);
    if (!clipboard || !EmptyClipboard())
        return false;
    if (SetClipboardData(CF_UNICODETEXT, memory.get()) == nullptr)
        return false;
    memory.release();  // the clipboard owns it now
    return true;
}

} // namespace kv

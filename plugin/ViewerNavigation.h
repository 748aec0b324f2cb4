// Where the viewer lets its browser go. The quick view shows the archive it was given and
// nothing else: its pages and items, and the blank page the viewer shows between two pages.
// A link the user follows to a web or mail address opens in the user's own program; every
// other navigation (the local file system, scripts, other archives, unknown schemes, frames
// of the page fetching from outside) is refused.
#pragma once

#include "plugin/Browser.h"
#include "plugin/PageDiscovery.h"

#include <windows.h>

#include <string>
#include <string_view>

namespace kv {

enum class NavigationVerdict {
    Allow,           // goes ahead in the viewer
    OpenExternally,  // refused here, handed to the user's default program
    Refuse,          // refused, nothing else happens
};

// archiveId: the id of the archive shown ("0*"); empty while none is. Only a navigation of the
// page itself (topLevel) is handed on: a frame loads by itself when the page is shown, and
// showing a file must never start a program.
NavigationVerdict JudgeNavigation(std::wstring_view url, std::wstring_view archiveId,
                                  bool topLevel) noexcept;

// The viewer's answer to its browser's events: the judgement above, and the drop-down list
// following the page shown when it is one of the list.
class ViewerNavigation final : public IBrowserEvents {
public:
    // comboBox lists pages in their order; both belong to the viewer and outlive this object's
    // use by the browser.
    ViewerNavigation(HWND comboBox, const PageList& pages) noexcept
        : comboBox_(comboBox), pages_(pages)
    {
    }

    void SetArchive(std::wstring archiveId) noexcept { archiveId_.swap(archiveId); }
    const std::wstring& ArchiveId() const noexcept { return archiveId_; }

    bool BeforeNavigate(const std::wstring& url, bool topLevel) noexcept override;
    void NewWindow(const std::wstring& url) noexcept override;

private:
    void FollowInList(const std::wstring& url) noexcept;

    HWND comboBox_;
    const PageList& pages_;
    std::wstring archiveId_;
};

} // namespace kv

// A stand-in for the viewer's browser: no HTML engine, just a model of one document's text,
// its selection and its scroll position, with a record of every call the viewer makes.
//
// The model, in characters of the text:
// - The selection is (start, length); it starts empty at 0 and EmptySelection makes it empty
//   at 0 again, so a range made from an emptied selection sits at the start of the document.
// - A range made by SelectionRange covers the selection; one made by DocumentRange the whole
//   text. Collapse(true) moves its end to its
//   start, Collapse(false) its start to its end.
// - FindText with a positive count searches forwards from the range's end, within count
//   characters; with a negative count backwards from the range's start, within -count
//   characters (the nearest match that ends at or before the start); with 0 it searches
//   nothing. Flag 4 matches case (otherwise case is ignored); flag 2 accepts only matches with
//   no letter, digit or underscore right before or after them. A match becomes the range; no
//   match leaves the range as it was. Empty search text never matches.
// - Select makes the range the document's selection.
// Documents and ranges share the browser's state, so they stay usable in any order of
// destruction; a document taken before the text changes sees the new text.
//
// Events: as the real control does, Navigate asks the events' receiver (if any) before it goes,
// as a navigation of the page itself; Fire* deliver the events a page's links, frames and
// pop-ups cause. Every navigation the receiver refuses is recorded.
#pragma once

#include "plugin/Browser.h"

#include <memory>
#include <string>
#include <vector>

namespace kvtest {

struct FindTextCall {
    std::wstring text;
    long count;
    long flags;
};

struct ScrollIntoViewCall {
    long start;  // the range when it was scrolled into view
    long length;
    bool alignToTop;
};

class FakeBrowser final : public kv::IViewerBrowser {
public:
    // Creates the browser's window: a plain child STATIC window of parent.
    explicit FakeBrowser(HWND parent);
    ~FakeBrowser() override;
    FakeBrowser(const FakeBrowser&) = delete;
    FakeBrowser& operator=(const FakeBrowser&) = delete;

    // kv::IViewerBrowser
    HWND Window() const override { return window_; }
    void SetBounds(const RECT& bounds) override;
    void Navigate(const std::wstring& url) override;    // records; raises when set to fail
    void ExecCommand(OLECMDID command) override;        // records; raises when set to fail
    long ReadyState() override;
    std::unique_ptr<kv::IBrowserDocument> Document() override;  // null without a document
    bool Contains(HWND window) const override;
    void Focus() override;  // counts; gives its window the focus unless set not to
    bool TranslateAccelerator(MSG& message) noexcept override;  // records; answers as set
    void SetEvents(kv::IBrowserEvents* events) noexcept override;

    // Events, as the control raises them. FireBeforeNavigate returns whether the navigation may
    // go ahead (true without a receiver).
    bool FireBeforeNavigate(const std::wstring& url, bool topLevel = true);
    void FireNewWindow(const std::wstring& url);
    kv::IBrowserEvents* Events() const;

    // Set-up.
    void SetReadyState(long state);           // READYSTATE_UNINITIALIZED (0) at first
    void SetHasDocument(bool hasDocument);    // false at first
    void SetText(std::wstring text);          // also empties the selection
    void SetSelection(long start, long length);
    // When set, SelectionRange raises, as for a selected control (no text range).
    void SetSelectionHasNoTextRange(bool noTextRange);
    // When set, ExecCommand raises EOleSysError(E_UNEXPECTED) after recording the command.
    void SetCommandsFail(bool fail);
    // When set, Navigate raises EOleSysError(E_FAIL) after recording the URL.
    void SetNavigationFails(bool fail);
    // The document's height and the view's (0 and 0 at first): ScrollTo stays within them.
    void SetScrollExtent(long documentHeight, long viewHeight);
    void SetScrollTop(long top);
    void SetFocusTakesText(bool takesText);  // false at first
    void SetTakesFocus(bool takesFocus);     // true at first
    void SetAcceleratorsTaken(bool taken);   // false at first

    // What happened.
    const std::wstring& Text() const;
    long SelectionStart() const;
    long SelectionLength() const;
    std::wstring SelectedText() const;
    const std::vector<std::wstring>& NavigatedUrls() const;
    const std::vector<std::wstring>& RefusedUrls() const;  // navigations the receiver refused
    const std::vector<OLECMDID>& ExecutedCommands() const;
    const std::vector<FindTextCall>& FindTextCalls() const;
    const std::vector<bool>& CollapseCalls() const;  // toStart of each Collapse
    const std::vector<ScrollIntoViewCall>& ScrollIntoViewCalls() const;
    const std::vector<POINT>& ScrollByCalls() const;  // (dx, dy) of each ScrollBy
    POINT ScrollPosition() const;  // the sum of every ScrollBy, or where ScrollTo put it
    const std::vector<POINT>& ScrollToCalls() const;
    int FocusCalls() const;
    const std::vector<MSG>& AcceleratorMessages() const;
    int EmptySelectionCount() const;
    int DocumentRangeCount() const;  // calls of DocumentRange
    int DocumentRequests() const;  // calls of Document(), with or without a document
    const RECT& Bounds() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    HWND window_ = nullptr;
};

} // namespace kvtest

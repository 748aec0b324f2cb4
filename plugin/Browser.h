// The viewer's narrow view of its embedded web browser. One implementation hosts the
// platform's WebBrowser control; tests use a stand-in that models a document's text,
// selection and scroll position. The viewer's search, scrolling and commands are written
// against these interfaces only.
#pragma once

#include <windows.h>
#include <docobj.h>

#include <memory>
#include <string>

namespace kv {

// A text range of the current document (the HTML text range's operations the viewer uses).
class IBrowserTextRange {
public:
    virtual ~IBrowserTextRange() = default;
    virtual void Collapse(bool toStart) = 0;
    // findText: count is the number of characters to search (negative: backwards);
    // flags are the text-range flags (2 whole word, 4 match case). Returns whether found.
    virtual bool FindText(const std::wstring& text, long count, long flags) = 0;
    virtual void Select() = 0;
    virtual void ScrollIntoView(bool alignToTop) = 0;
};

// Where the document's view stands, in pixels: the top of the view, the height of the whole
// document and of the view.
struct ScrollMetrics {
    long left = 0;
    long top = 0;
    long height = 0;
    long viewHeight = 0;
};

// The current HTML document.
class IBrowserDocument {
public:
    virtual ~IBrowserDocument() = default;
    virtual void EmptySelection() = 0;
    // A range created from the selection; raises when the selection yields no text range.
    virtual std::unique_ptr<IBrowserTextRange> SelectionRange() = 0;
    // A range over the whole text of the document's body; raises when there is none.
    virtual std::unique_ptr<IBrowserTextRange> DocumentRange() = 0;
    // The document window's scrollBy (positive: right and down).
    virtual void ScrollBy(long dx, long dy) = 0;
    // The document window's scroll(x, y): to that position, clamped by the document.
    virtual void ScrollTo(long x, long y) = 0;
    virtual ScrollMetrics Scroll() = 0;
    // Whether the document's focus is in a place that takes typed text: a text field, a text
    // area, a list, an editable element.
    virtual bool FocusTakesText() = 0;
};

// What the viewer says about where the browser goes. Called on the browser's thread while the
// browser waits for the answer; neither method may raise.
class IBrowserEvents {
public:
    virtual ~IBrowserEvents() = default;
    // The page (topLevel) or a frame inside it is about to navigate to url: returns whether the
    // navigation may go ahead.
    virtual bool BeforeNavigate(const std::wstring& url, bool topLevel) noexcept = 0;
    // A page asked for a new window, to url when the browser says where (empty otherwise). The
    // browser never opens one: the request is always refused.
    virtual void NewWindow(const std::wstring& url) noexcept = 0;
};

class IViewerBrowser {
public:
    virtual ~IViewerBrowser() = default;
    // The control's outer window, a child of the viewer window.
    virtual HWND Window() const = 0;
    virtual void SetBounds(const RECT& bounds) = 0;
    // Starts a navigation; raises when the control refuses it.
    virtual void Navigate(const std::wstring& url) = 0;
    // Runs a command with OLECMDEXECOPT_DODEFAULT and no arguments; raises when it fails.
    virtual void ExecCommand(OLECMDID command) = 0;
    // READYSTATE_* value of the control (4 = complete).
    virtual long ReadyState() = 0;
    // The current document when it is an HTML document; null otherwise (none loaded yet).
    virtual std::unique_ptr<IBrowserDocument> Document() = 0;
    // Whether a window belongs to the browser (the control or any window inside it).
    virtual bool Contains(HWND window) const = 0;
    // Puts the keyboard focus into the page, so that its keys scroll it.
    virtual void Focus() = 0;
    // Offers a key message to the page first, as a container does for its active object:
    // true when the page used it and it must go no further.
    virtual bool TranslateAccelerator(MSG& message) noexcept = 0;
    // Where the browser's navigation events go from now on; null: nowhere, every navigation
    // goes ahead. The receiver must outlive the browser or be replaced before it goes.
    virtual void SetEvents(IBrowserEvents* events) noexcept = 0;
};

// Creates the real browser control as a child of parent. Raises on failure.
std::unique_ptr<IViewerBrowser> CreateWebBrowser(HWND parent);

} // namespace kv

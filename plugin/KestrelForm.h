// The viewer window: a drop-down list of the archive's pages above the embedded browser.
// It lives as a child of the host's lister window, from the load that creates it until its
// window is destroyed; the window owns the form object.
#pragma once

#include "plugin/Browser.h"
#include "plugin/DpiScaling.h"
#include "plugin/KeyboardHook.h"
#include "plugin/PageDiscovery.h"
#include "plugin/ViewerNavigation.h"
#include "plugin/ViewerTheme.h"
#include "protocol/ArchiveRegistry.h"

#include <windows.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace kv {

using BrowserFactory = std::function<std::unique_ptr<IViewerBrowser>(HWND parent)>;

inline constexpr wchar_t KestrelFormCaption[] = L"KestrelForm";

// How long the viewer waits between two looks at where the page stands.
inline constexpr UINT PositionCheckInterval = 200;  // ms

class TKestrelForm final : private IKeyRouter {
public:
    // Creates the (hidden) window as a child of parent with its list and its browser.
    // The returned object belongs to the window: it is freed when the window is destroyed.
    // Raises when the window, the browser or the keyboard hook cannot be made.
    static TKestrelForm* Create(HWND parent, BrowserFactory browserFactory);

    // The form of a window made by Create; null for every other window.
    static TKestrelForm* FromHandle(HWND window) noexcept;

    // Destroys the window and with it this object.
    void Destroy() noexcept;

    HWND Handle() const noexcept { return handle_; }
    HWND ComboBox1() const noexcept { return comboBox_; }
    // The line beside the list that tells when and where from the page shown was saved.
    HWND InfoLine() const noexcept { return infoLine_; }
    IViewerBrowser& WebBrowser1() const;
    const PageList& Pages() const noexcept { return pages_; }
    // The height of the strip above the browser: the list's field as it measures.
    int StripHeight() const noexcept { return stripHeight_; }

    // The host's parameter flags (lcp_*) of the last load or lc_newparams: the colours follow
    // them at once; lcp_forceshow applies to the next LoadFile.
    void SetShowFlags(int flags) noexcept;

    // Loads one ".maff" file (with lcp_forceshow, a ZIP of any name): fills the list with its
    // pages and shows the first.
    // Raises "Invalid file", "INDEX.HTML not found" or the archive reader's failure.
    void LoadFile(const std::wstring& fileName);

    // The list's change handler: shows the page picked in the list. Called from the window
    // procedure, which keeps the form alive should the viewer be closed meanwhile.
    void ComboBox1Change();

    // The lister's text search (search flags lcs_*): from the start (lcs_findfirst) or from
    // the current match on, forwards or backwards. Returns whether the text was found; a
    // search that finds nothing leaves the selection as it was. Raises when there is no HTML
    // document or no text range.
    bool SearchText(const std::wstring& text, int searchFlags);

    // Shows the next (delta 1) or previous (-1) page of the list; false at either end.
    bool SwitchPage(int delta);
    // Scrolls the page to percent (0-100) of its height; false without a document.
    bool SetPercent(int percent);
    // Tells the host where the page stands (its percentage display), when that changed since
    // the last time.
    void ReportPosition() noexcept;

    // The facts of the page shown; null while none is.
    const PageInfo* CurrentPage() const noexcept;
    // Opens the address the page shown was saved from with the user's own program; false when
    // it has none that a program of the user's opens.
    bool OpenPageAddress();
    // Copies that address to the clipboard; false when there is none or the clipboard is busy.
    bool CopyPageAddress();

    void CopySelection();
    void SelectAll();
    // Opens the print preview when the page has finished loading; returns whether it did.
    bool PrintPreview();

private:
    friend struct std::default_delete<TKestrelForm>;
    explicit TKestrelForm(BrowserFactory browserFactory);
    ~TKestrelForm();
    TKestrelForm(const TKestrelForm&) = delete;
    TKestrelForm& operator=(const TKestrelForm&) = delete;

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateHandle();
    void DestroyHandle() noexcept;
    void Layout() noexcept;
    // Font, list heights and layout for the window's current DPI.
    void ApplyDpi() noexcept;
    void FitListToFont() noexcept;
    std::optional<LRESULT> HandleThemeMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    void ScrollWithKey(WPARAM key) noexcept;
    KeyRoute RouteKey(const MSG& message) noexcept override;
    bool PageFocusTakesText() noexcept;
    void PostAction(WPARAM action) noexcept;
    void RunAction(WPARAM action) noexcept;
    void FocusPage() noexcept;
    void CheckFocusAndPosition() noexcept;
    void ShowPageMenu(POINT screen) noexcept;
    void UpdateInfoLine() noexcept;
    bool FindStep(IBrowserDocument& document, const std::wstring& text, int searchFlags);

    BrowserFactory browserFactory_;
    HWND handle_ = nullptr;
    HWND comboBox_ = nullptr;
    HWND infoLine_ = nullptr;  // when and where from the page shown was saved
    UniqueFont font_;
    UINT dpi_ = DefaultDpi;
    int stripHeight_ = 0;
    ViewerTheme theme_;
    int showFlags_ = 0;
    // The archive shown; let go after the browser (declared before it), which may still ask
    // for its items while it goes.
    TArchiveRegistration archive_;
    // Declared before the browser, which reports to it until it goes.
    std::unique_ptr<ViewerNavigation> navigation_;
    std::unique_ptr<IViewerBrowser> browser_;
    std::unique_ptr<TKeyboardHook> FKeyboardHook;
    PageList pages_;
    std::exception_ptr createError_;
    bool ownedByWindow_ = false;
    int reportedPercent_ = -1;
    int infoIndex_ = -1;  // the list entry whose facts the info line shows  // the percentage last told to the host; -1: none yet
    int messageDepth_ = 0;  // calls of the window procedure under way
};

} // namespace kv

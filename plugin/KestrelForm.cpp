#include "plugin/KestrelForm.h"

#include "archive/ArchiveCache.h"

#include "lang/ShellLang.h"
#include "plugin/Clipboard.h"
#include "plugin/ExternalLinks.h"
#include "plugin/ItemPaths.h"
#include "plugin/ListerApi.h"
#include "plugin/PageInfoText.h"
#include "protocol/ArchiveRegistry.h"
#include "shell/Exceptions.h"
#include "shell/GdiHandles.h"
#include "shell/Handles.h"
#include "shell/Strings.h"

#include <windowsx.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace kv {

namespace {

constexpr wchar_t FormClassName[] = L"TKestrelForm";
// How far the list of ComboBox1 drops down below its field, at 96 DPI.
constexpr int DropDownExtent = 300;
// Below this width (at 96 dpi) the page list takes the whole strip and the line of the page's
// facts beside it is hidden; above it the list takes 55% and at least ListMinWidth.
constexpr int InfoLineMinStripWidth = 480;
constexpr int ListMinWidth = 240;
constexpr int InfoLineGap = 8;
constexpr long ArrowStep = 16;
constexpr UINT_PTR PositionTimer = 1;

// Actions the keyboard hook asks of the viewer; run from the viewer's own message, outside the
// thread's message retrieval. A registered message, so no host's message of its own collides.
enum ViewerAction : WPARAM {
    ActionFocusPage = 1,
    ActionFocusList,
    ActionNextPage,
    ActionPreviousPage,
    ActionOpenAddress,
    ActionCopyAddress,
};

enum PageMenuCommand : UINT {
    MenuOpenAddress = 1,
    MenuCopyAddress,
};

UINT ViewerActionMessage() noexcept
{
    static const UINT message = RegisterWindowMessageW(L"Kestrelview.ViewerAction");
    return message;
}

bool KeyDown(int key) noexcept
{
    return GetKeyState(key) < 0;
}

// A key that puts a character into a field that takes text.
bool TypesText(WPARAM key) noexcept
{
    return !KeyDown(VK_CONTROL) && !KeyDown(VK_MENU) &&
           MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_CHAR) != 0;
}

std::atomic<ATOM> formClassAtom{0};

ATOM RegisterFormClass(WNDPROC windowProc)
{
    static const ATOM atom = [windowProc] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = ThisModule();
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
        windowClass.lpszClassName = FormClassName;
        ATOM registered = RegisterClassExW(&windowClass);
        if (registered == 0 && GetLastError() == ERROR_CLASS_ALREADY_EXISTS)
            registered = static_cast<ATOM>(GetClassInfoExW(ThisModule(), FormClassName, &windowClass));
        if (registered == 0)
            RaiseLastOSError();
        formClassAtom.store(registered);
        return registered;
    }();
    return atom;
}

// Fills the list in one go: item by item, it would update its scroll range and redraw for
// each of a thousand pages, and grow its storage again and again.
void FillComboBox(HWND comboBox, const std::vector<std::wstring>& labels)
{
    size_t characters = 0;
    for (const std::wstring& label : labels)
        characters += label.size() + 1;
    SendMessageW(comboBox, WM_SETREDRAW, FALSE, 0);
    SendMessageW(comboBox, CB_INITSTORAGE, labels.size(), characters * sizeof(wchar_t));
    bool added = true;
    for (const std::wstring& label : labels) {
        const LRESULT result =
            SendMessageW(comboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
        if (result == CB_ERR || result == CB_ERRSPACE) {
            added = false;
            break;
        }
    }
    SendMessageW(comboBox, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(comboBox, nullptr, TRUE);
    if (!added) {
        SendMessageW(comboBox, CB_RESETCONTENT, 0, 0);
        throw EOutOfMemory();
    }
}

// An item of the list, its selection field included: a line of the font and three pixels (at
// 96 DPI) around it.
int ListItemHeight(HWND window, HFONT font, UINT dpi) noexcept
{
    return FontLineHeight(window, font) + ScaleForDpi(3, dpi);
}

int WindowHeight(HWND window) noexcept
{
    RECT bounds{};
    GetWindowRect(window, &bounds);
    return bounds.bottom - bounds.top;
}

} // namespace

TKestrelForm::TKestrelForm(BrowserFactory browserFactory)
    : browserFactory_(std::move(browserFactory))
{
}

TKestrelForm::~TKestrelForm()
{
    // Only reached with a live window when creation failed half-way.
    DestroyHandle();
}

TKestrelForm* TKestrelForm::Create(HWND parent, BrowserFactory browserFactory)
{
    if (!browserFactory)
        throw EArgumentException(L"No browser factory");
    RegisterFormClass(&TKestrelForm::WindowProc);
    std::unique_ptr<TKestrelForm> form(new TKestrelForm(std::move(browserFactory)));
    // Per-monitor aware where the host lets a window differ from its thread's awareness.
    const ThreadDpiAwarenessScope perMonitorAware;
    const HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, FormClassName, KestrelFormCaption,
                                        WS_CHILD | WS_CLIPCHILDREN, 0, 0, 570, 328, parent,
                                        nullptr, ThisModule(), form.get());
    if (window == nullptr) {
        const DWORD error = GetLastError();
        if (form->createError_)
            std::rethrow_exception(form->createError_);
        RaiseOSError(error != 0 ? error : ERROR_CANNOT_MAKE);
    }
    form->ownedByWindow_ = true;
    return form.release();
}

TKestrelForm* TKestrelForm::FromHandle(HWND window) noexcept
{
    const ATOM atom = formClassAtom.load();
    if (window == nullptr || atom == 0 || !IsWindow(window))
        return nullptr;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != GetCurrentProcessId())
        return nullptr;
    if (static_cast<ATOM>(GetClassLongPtrW(window, GCW_ATOM)) != atom ||
        reinterpret_cast<HMODULE>(GetWindowLongPtrW(window, GWLP_HINSTANCE)) != ThisModule())
        return nullptr;
    auto* form = reinterpret_cast<TKestrelForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return form != nullptr && form->handle_ == window ? form : nullptr;
}

void TKestrelForm::Destroy() noexcept
{
    pages_.Clear();
    if (handle_ != nullptr)
        DestroyWindow(handle_);  // frees this object on its last message
}

IViewerBrowser& TKestrelForm::WebBrowser1() const
{
    if (!browser_)
        throw EUninitializedObject(L"The viewer has no browser");
    return *browser_;
}

LRESULT CALLBACK TKestrelForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    TKestrelForm* form = nullptr;
    if (message == WM_NCCREATE) {
        form = static_cast<TKestrelForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (form != nullptr) {
            form->handle_ = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
        }
    } else {
        form = reinterpret_cast<TKestrelForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (form == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    // A browser call may run a message loop in which the host closes the viewer: the form then
    // lives on until the outermost call of its window procedure has returned.
    ++form->messageDepth_;
    const LRESULT result = form->HandleMessage(message, wParam, lParam);
    if (--form->messageDepth_ == 0 && form->handle_ == nullptr && form->ownedByWindow_)
        delete form;
    return result;
}

LRESULT TKestrelForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    const HWND window = handle_;
    if (const std::optional<LRESULT> handled = HandleThemeMessage(message, wParam, lParam))
        return *handled;
    switch (message) {
    case WM_CREATE:
        try {
            CreateHandle();
            return 0;
        } catch (...) {
            createError_ = std::current_exception();
            return -1;
        }
    case WM_SIZE:
        Layout();
        return 0;
    case WM_SETFOCUS:
        // The host gives the viewer the focus when it activates it: the page takes it, so that
        // its keys scroll it at once.
        FocusPage();
        return 0;
    case WM_CONTEXTMENU: {
        // The list and the page's facts beside it offer the commands on the page's address.
        const auto source = reinterpret_cast<HWND>(wParam);
        if (source == comboBox_ || (source != nullptr && source == infoLine_)) {
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (at.x == -1 && at.y == -1) {  // from the keyboard: below the control
                RECT bounds{};
                GetWindowRect(source, &bounds);
                at = POINT{bounds.left, bounds.bottom};
            }
            ShowPageMenu(at);
            return 0;
        }
        break;
    }
    case WM_TIMER:
        if (wParam == PositionTimer) {
            CheckFocusAndPosition();
            return 0;
        }
        break;
    case WM_COMMAND:
        if (reinterpret_cast<HWND>(lParam) == comboBox_ && comboBox_ != nullptr &&
            HIWORD(wParam) == CBN_SELCHANGE) {
            try {
                ComboBox1Change();
            } catch (...) {
            }
            return 0;
        }
        break;
    case WM_KEYDOWN: {
        const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
        if (GetFocus() != window)
            return result;
        if (KeyDown(VK_CONTROL) && (wParam == VK_NEXT || wParam == VK_PRIOR)) {
            try {
                SwitchPage(wParam == VK_NEXT ? 1 : -1);
            } catch (...) {
            }
        } else if (KeyDown(VK_CONTROL) && KeyDown(VK_SHIFT) && (wParam == 'O' || wParam == 'C')) {
            RunAction(wParam == 'O' ? ActionOpenAddress : ActionCopyAddress);
        } else {
            ScrollWithKey(wParam);
        }
        return result;
    }
    case WM_DESTROY:
        KillTimer(window, PositionTimer);
        DestroyHandle();
        break;
    case WM_NCDESTROY: {
        const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        handle_ = nullptr;
        comboBox_ = nullptr;
        infoLine_ = nullptr;
        font_.reset();
        return result;  // the window procedure frees an owned form once it unwinds
    }
    }
    if (message == ViewerActionMessage() && message != 0) {
        RunAction(wParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void TKestrelForm::CreateHandle()
{
    dpi_ = WindowDpi(handle_);
    font_ = CreateViewerFont(dpi_);
    // Owner-drawn: a themed drop-down list draws its field itself and ignores the colours its
    // parent answers, so the dark colours would not reach it.
    comboBox_ = CreateWindowExW(0, L"COMBOBOX", L"",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST |
                                    CBS_OWNERDRAWFIXED | CBS_HASSTRINGS,
                                0, 0, 570, ScaleForDpi(DropDownExtent, dpi_), handle_, nullptr,
                                ThisModule(), nullptr);
    if (comboBox_ == nullptr)
        RaiseLastOSError();
    FitListToFont();

    // Created after the list, so the tab order is list, then browser.
    browser_ = browserFactory_(handle_);
    if (!browser_)
        throw EUninitializedObject(L"The browser could not be created");
    // When and where from the page shown was saved; its menu has the commands on the address.
    // Made after the browser, so the tab order stays list, then page.
    infoLine_ = CreateWindowExW(0, L"STATIC", L"",
                                WS_CHILD | SS_NOTIFY | SS_NOPREFIX | SS_ENDELLIPSIS | SS_CENTERIMAGE,
                                0, 0, 0, 0, handle_, nullptr, ThisModule(), nullptr);
    if (infoLine_ == nullptr)
        RaiseLastOSError();
    if (font_)
        SendMessageW(infoLine_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    navigation_ = std::make_unique<ViewerNavigation>(comboBox_, pages_);
    browser_->SetEvents(navigation_.get());
    FKeyboardHook = std::make_unique<TKeyboardHook>(handle_, static_cast<IKeyRouter*>(this));
    SetTimer(handle_, PositionTimer, PositionCheckInterval, nullptr);
    Layout();
}

void TKestrelForm::DestroyHandle() noexcept
{
    FKeyboardHook.reset();
    browser_.reset();
}

void TKestrelForm::Layout() noexcept
{
    if (handle_ == nullptr)
        return;
    RECT client{};
    GetClientRect(handle_, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const bool withInfoLine =
        infoLine_ != nullptr && width >= ScaleForDpi(InfoLineMinStripWidth, dpi_);
    const int listWidth =
        withInfoLine ? std::max(width * 55 / 100, ScaleForDpi(ListMinWidth, dpi_)) : width;
    if (comboBox_ != nullptr) {
        // The height given to a drop-down list is its field's and its dropped list's together.
        MoveWindow(comboBox_, 0, 0, listWidth, stripHeight_ + ScaleForDpi(DropDownExtent, dpi_),
                   TRUE);
        stripHeight_ = WindowHeight(comboBox_);
    }
    if (infoLine_ != nullptr) {
        const int gap = ScaleForDpi(InfoLineGap, dpi_);
        MoveWindow(infoLine_, listWidth + gap, 0, std::max(0, width - listWidth - 2 * gap),
                   stripHeight_, TRUE);
        ShowWindow(infoLine_, withInfoLine ? SW_SHOWNA : SW_HIDE);
    }
    if (browser_) {
        try {
            browser_->SetBounds(RECT{0, stripHeight_, width, std::max(height, stripHeight_)});
        } catch (...) {
        }
    }
}

void TKestrelForm::ApplyDpi() noexcept
{
    if (handle_ == nullptr || comboBox_ == nullptr)
        return;
    const UINT dpi = WindowDpi(handle_);
    UniqueFont font = CreateViewerFont(dpi);
    if (font) {
        dpi_ = dpi;
        font_.swap(font);
    }
    FitListToFont();  // the list takes the new font; the old one goes after it
    Layout();
    RedrawWindow(handle_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TKestrelForm::FitListToFont() noexcept
{
    if (font_) {
        SendMessageW(comboBox_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        if (infoLine_ != nullptr)
            SendMessageW(infoLine_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
    }
    // The strip is as high as the field measures with this font: the field's height follows
    // the item height, plus borders that differ between systems.
    const int itemHeight = ListItemHeight(comboBox_, font_.get(), dpi_);
    SendMessageW(comboBox_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), itemHeight);
    SendMessageW(comboBox_, CB_SETITEMHEIGHT, 0, itemHeight);
    stripHeight_ = WindowHeight(comboBox_);
}

void TKestrelForm::SetShowFlags(int flags) noexcept
{
    showFlags_ = flags;
    if (!theme_.SetFlags(flags) || handle_ == nullptr)
        return;
    theme_.ApplyNativeTheme(comboBox_);
    RedrawWindow(handle_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
    COMBOBOXINFO info{};
    info.cbSize = sizeof(info);
    if (comboBox_ != nullptr && GetComboBoxInfo(comboBox_, &info) && info.hwndList != nullptr)
        InvalidateRect(info.hwndList, nullptr, TRUE);  // a window of its own, not a child
}

std::optional<LRESULT> TKestrelForm::HandleThemeMessage(UINT message, WPARAM wParam,
                                                        LPARAM lParam) noexcept
{
    switch (message) {
    case WM_ERASEBKGND:
        if (theme_.EraseBackground(handle_, reinterpret_cast<HDC>(wParam)))
            return 1;
        break;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSTATIC:
        if (const HBRUSH brush = theme_.ControlColor(reinterpret_cast<HDC>(wParam)))
            return reinterpret_cast<LRESULT>(brush);
        break;
    case WM_MEASUREITEM: {
        // Sent while the list is being made, before its font is set: measured with the font
        // it is about to get.
        auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        if (measure == nullptr || measure->CtlType != ODT_COMBOBOX)
            break;
        measure->itemHeight = static_cast<UINT>(ListItemHeight(handle_, font_.get(), dpi_));
        return TRUE;
    }
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item == nullptr || item->CtlType != ODT_COMBOBOX || item->hwndItem != comboBox_)
            break;
        theme_.DrawListItem(*item, dpi_);
        return TRUE;
    }
    case WmDpiChanged:
    case WmDpiChangedAfterParent:
        ApplyDpi();
        return 0;
    }
    return std::nullopt;
}

void TKestrelForm::LoadFile(const std::wstring& fileName)
{
    SendMessageW(comboBox_, CB_RESETCONTENT, 0, 0);
    pages_.Clear();
    UpdateInfoLine();
    // Picked from the host's menu, a ZIP of any name is worth a try.
    if ((showFlags_ & lcp_forceshow) == 0 && !HasMaffExtension(fileName))
        throw Exception(L"Invalid file");
    // The new archive is held before the old one is let go: loading the same file again
    // never withdraws its pages from the browser in between.
    archive_ = RegisterArchive(fileName);
    const std::wstring& archiveId = archive_.Id();
    // The list and the pages are filled together once discovery is done, so that they never
    // disagree.
    PageList pages;
    VectorLabelList labels;
    {
        // The same reader then serves the pages' requests without opening the file again.
        const auto archive = OpenSharedArchive(fileName);
        const TSharedArchive::Lease lease = archive->Borrow();
        RunIndexScan(archiveId, lease.Reader(), pages, labels);
        RunFallbackScan(archiveId, lease.Reader(), pages, labels);
    }
    if (pages.Empty())
        throw Exception(L"INDEX.HTML not found");
    archive_.SetPageCharsets(StartFileCharsets(pages));
    FillComboBox(comboBox_, labels.labels);
    pages_ = std::move(pages);
    // Selecting from code sends no CBN_SELCHANGE: this is the only navigation.
    SendMessageW(comboBox_, CB_SETCURSEL, 0, 0);
    if (navigation_)
        navigation_->SetArchive(archiveId);
    reportedPercent_ = -1;
    UpdateInfoLine();
    WebBrowser1().Navigate(pages_[0]);
}

void TKestrelForm::ComboBox1Change()
{
    WebBrowser1().Navigate(L"about:blank");
    // Starting a navigation may dispatch the host's messages: the viewer may have been closed
    // (its browser is gone then) or loaded with another file by now.
    if (handle_ == nullptr || !browser_)
        return;
    const int index = static_cast<int>(SendMessageW(comboBox_, CB_GETCURSEL, 0, 0));
    reportedPercent_ = -1;
    UpdateInfoLine();
    WebBrowser1().Navigate(pages_[index]);
}

bool TKestrelForm::SwitchPage(int delta)
{
    const int count = pages_.Count();
    const int current = static_cast<int>(SendMessageW(comboBox_, CB_GETCURSEL, 0, 0));
    const int next = (current < 0 ? 0 : current) + delta;
    if (count == 0 || next < 0 || next >= count || next == current)
        return false;
    SendMessageW(comboBox_, CB_SETCURSEL, next, 0);
    ComboBox1Change();
    return true;
}

bool TKestrelForm::SetPercent(int percent)
{
    const std::unique_ptr<IBrowserDocument> document = WebBrowser1().Document();
    if (!document)
        return false;
    const ScrollMetrics metrics = document->Scroll();
    const long range = std::max(0L, metrics.height - metrics.viewHeight);
    const long clamped = std::clamp(percent, 0, 100);
    document->ScrollTo(metrics.left, static_cast<long>(static_cast<long long>(range) * clamped / 100));
    ReportPosition();
    return true;
}

void TKestrelForm::ReportPosition() noexcept
{
    try {
        if (handle_ == nullptr || !browser_)
            return;
        const std::unique_ptr<IBrowserDocument> document = browser_->Document();
        if (!document)
            return;
        const ScrollMetrics metrics = document->Scroll();
        const long range = metrics.height - metrics.viewHeight;
        // A page that does not scroll is seen whole: from its top.
        const int percent =
            range <= 0 ? 0
                       : static_cast<int>(std::clamp<long long>(
                             static_cast<long long>(metrics.top) * 100 / range, 0, 100));
        if (percent == reportedPercent_)
            return;
        reportedPercent_ = percent;
        if (const HWND parent = GetParent(handle_))
            PostMessageW(parent, WM_COMMAND, MAKEWPARAM(percent, itm_percent),
                         reinterpret_cast<LPARAM>(handle_));
    } catch (...) {
    }
}

void TKestrelForm::FocusPage() noexcept
{
    try {
        // Without a document the page has nothing to scroll yet: the viewer keeps the focus and
        // scrolls for it, and hands it on once the document is there.
        if (handle_ != nullptr && browser_ && browser_->Document())
            browser_->Focus();
    } catch (...) {
    }
}

void TKestrelForm::CheckFocusAndPosition() noexcept
{
    if (handle_ == nullptr || !IsWindowVisible(handle_))
        return;
    if (GetFocus() == handle_)
        FocusPage();
    ReportPosition();
    // A link of the page to another page of the archive moves the list's selection along.
    if (comboBox_ != nullptr &&
        static_cast<int>(SendMessageW(comboBox_, CB_GETCURSEL, 0, 0)) != infoIndex_)
        UpdateInfoLine();
}

void TKestrelForm::UpdateInfoLine() noexcept
{
    try {
        if (infoLine_ == nullptr)
            return;
        const PageInfo* page = CurrentPage();
        infoIndex_ = comboBox_ != nullptr
                         ? static_cast<int>(SendMessageW(comboBox_, CB_GETCURSEL, 0, 0))
                         : -1;
        SetWindowTextW(infoLine_, page != nullptr ? FormatSavedLine(*page).c_str() : L"");
    } catch (...) {
    }
}

bool TKestrelForm::PageFocusTakesText() noexcept
{
    try {
        const std::unique_ptr<IBrowserDocument> document = browser_ ? browser_->Document() : nullptr;
        return document && document->FocusTakesText();
    } catch (...) {
        return false;
    }
}

KeyRoute TKestrelForm::RouteKey(const MSG& message) noexcept
{
    const WPARAM key = message.wParam;
    const bool down = message.message == WM_KEYDOWN;
    const bool inList =
        comboBox_ != nullptr && (message.hwnd == comboBox_ || IsChild(comboBox_, message.hwnd));
    const bool inPage = !inList && browser_ && browser_->Contains(message.hwnd);

    // Ctrl+Page Down and Ctrl+Page Up go to the next and the previous page of the archive,
    // wherever the focus is in the viewer.
    if (KeyDown(VK_CONTROL) && !KeyDown(VK_MENU) && (key == VK_NEXT || key == VK_PRIOR)) {
        if (down)
            PostAction(key == VK_NEXT ? ActionNextPage : ActionPreviousPage);
        return KeyRoute::Swallow;
    }
    // Ctrl+Shift+O opens and Ctrl+Shift+C copies the address the page was saved from.
    if (KeyDown(VK_CONTROL) && KeyDown(VK_SHIFT) && !KeyDown(VK_MENU) &&
        (key == 'O' || key == 'C')) {
        if (down)
            PostAction(key == 'O' ? ActionOpenAddress : ActionCopyAddress);
        return KeyRoute::Swallow;
    }
    // Tab and Shift+Tab move between the list and the page; inside a form of the page they
    // move between its fields.
    if (key == VK_TAB && !KeyDown(VK_CONTROL) && !KeyDown(VK_MENU)) {
        if (inPage && PageFocusTakesText()) {
            MSG copy = message;
            return browser_->TranslateAccelerator(copy) ? KeyRoute::Swallow : KeyRoute::Keep;
        }
        if (down)
            PostAction(inList ? ActionFocusPage : ActionFocusList);
        return KeyRoute::Swallow;
    }
    // What is typed into the list's type-ahead or a field of the page is text, not the host's
    // hotkeys; only Escape and the function keys still reach the host from a field.
    if (inList)
        return TypesText(key) ? KeyRoute::Keep : KeyRoute::Forward;
    if (inPage && PageFocusTakesText())
        return key == VK_ESCAPE || (key >= VK_F1 && key <= VK_F24) ? KeyRoute::Forward
                                                                  : KeyRoute::Keep;
    return KeyRoute::Forward;
}

const PageInfo* TKestrelForm::CurrentPage() const noexcept
{
    if (comboBox_ == nullptr)
        return nullptr;
    const int index = static_cast<int>(SendMessageW(comboBox_, CB_GETCURSEL, 0, 0));
    return index >= 0 && index < pages_.Count() ? &pages_.Info(index) : nullptr;
}

bool TKestrelForm::OpenPageAddress()
{
    const PageInfo* page = CurrentPage();
    if (page == nullptr || !IsExternalAddress(page->originalUrl))
        return false;
    OpenExternally(page->originalUrl);
    return true;
}

bool TKestrelForm::CopyPageAddress()
{
    const PageInfo* page = CurrentPage();
    if (page == nullptr || page->originalUrl.empty())
        return false;
    return CopyTextToClipboard(handle_, page->originalUrl);
}

void TKestrelForm::ShowPageMenu(POINT screen) noexcept
{
    try {
        const PageInfo* page = CurrentPage();
        const UniqueMenu menu(CreatePopupMenu());
        if (!menu)
            return;
        const auto flags = [](bool enabled) { return MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED); };
        AppendMenuW(menu.get(), flags(page != nullptr && IsExternalAddress(page->originalUrl)),
                    MenuOpenAddress, LangString(OpenAddressKey).c_str());
        AppendMenuW(menu.get(), flags(page != nullptr && !page->originalUrl.empty()),
                    MenuCopyAddress, LangString(CopyAddressKey).c_str());
        const UINT chosen = static_cast<UINT>(TrackPopupMenu(
            menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, screen.x, screen.y, 0,
            handle_, nullptr));
        if (chosen == MenuOpenAddress)
            OpenPageAddress();
        else if (chosen == MenuCopyAddress)
            CopyPageAddress();
    } catch (...) {
    }
}

void TKestrelForm::PostAction(WPARAM action) noexcept
{
    if (handle_ != nullptr && ViewerActionMessage() != 0)
        PostMessageW(handle_, ViewerActionMessage(), action, 0);
}

void TKestrelForm::RunAction(WPARAM action) noexcept
{
    try {
        switch (action) {
        case ActionFocusPage:
            if (browser_)
                browser_->Focus();
            break;
        case ActionFocusList:
            if (comboBox_ != nullptr)
                SetFocus(comboBox_);
            break;
        case ActionNextPage:
            SwitchPage(1);
            break;
        case ActionPreviousPage:
            SwitchPage(-1);
            break;
        case ActionOpenAddress:
            OpenPageAddress();
            break;
        case ActionCopyAddress:
            CopyPageAddress();
            break;
        }
    } catch (...) {
    }
}

void TKestrelForm::ScrollWithKey(WPARAM key) noexcept
{
    if (!(key >= VK_SPACE && key <= VK_DOWN))
        return;
    try {
        if (!browser_)
            return;
        const std::unique_ptr<IBrowserDocument> document = browser_->Document();
        if (!document)
            return;
        RECT client{};
        GetClientRect(handle_, &client);
        const long pageStep = (client.bottom - client.top) / 3 * 2;
        long dx = 0;
        long dy = 0;
        switch (key) {
        case VK_SPACE:
            dy = GetKeyState(VK_SHIFT) < 0 ? -pageStep : pageStep;
            break;
        case VK_PRIOR:
            dy = -pageStep;
            break;
        case VK_NEXT:
            dy = pageStep;
            break;
        case VK_HOME:
        case VK_END: {
            const ScrollMetrics metrics = document->Scroll();
            document->ScrollTo(metrics.left, key == VK_HOME ? 0 : metrics.height);
            ReportPosition();
            return;
        }
        case VK_LEFT:
            dx = -ArrowStep;
            break;
        case VK_UP:
            dy = -ArrowStep;
            break;
        case VK_RIGHT:
            dx = ArrowStep;
            break;
        case VK_DOWN:
            dy = ArrowStep;
            break;
        }
        document->ScrollBy(dx, dy);
        ReportPosition();
    } catch (...) {
    }
}

bool TKestrelForm::SearchText(const std::wstring& text, int searchFlags)
{
    const std::unique_ptr<IBrowserDocument> document = WebBrowser1().Document();
    if (!document)
        throw EUninitializedObject(L"No HTML document");
    // Not found from the current match on is not found: the host says so, and its next
    // search from the start sets lcs_findfirst.
    return FindStep(*document, text, searchFlags);
}

bool TKestrelForm::FindStep(IBrowserDocument& document, const std::wstring& text, int searchFlags)
{
    const bool fromTheStart = (searchFlags & lcs_findfirst) != 0;
    const bool backwards = (searchFlags & lcs_backwards) != 0;
    // A first search runs over the whole document, from its start or, backwards, from its
    // end, without touching the selection, which stays as it was when nothing is found.
    std::unique_ptr<IBrowserTextRange> range;
    if (fromTheStart) {
        try {
            range = document.DocumentRange();
        } catch (...) {
            // No body to search as a whole (a frameset): from an emptied selection instead.
            document.EmptySelection();
        }
    }
    if (!range)
        range = document.SelectionRange();
    if (!range)
        throw EUninitializedObject(L"The selection has no text range");
    long rangeFlags = 0;
    if (searchFlags & lcs_matchcase)
        rangeFlags |= 4;
    if (searchFlags & lcs_wholewords)
        rangeFlags |= 2;
    // Forwards from the end of the current match (or, from the start, of nothing before the
    // document's start); backwards from its start (or the document's end).
    range->Collapse(fromTheStart ? !backwards : backwards);
    const long count = backwards ? LONG_MIN : LONG_MAX;
    if (!range->FindText(text, count, rangeFlags))
        return false;
    range->Select();
    range->ScrollIntoView(true);
    return true;
}

void TKestrelForm::CopySelection()
{
    WebBrowser1().ExecCommand(OLECMDID_COPY);
}

void TKestrelForm::SelectAll()
{
    WebBrowser1().ExecCommand(OLECMDID_SELECTALL);
}

bool TKestrelForm::PrintPreview()
{
    IViewerBrowser& browser = WebBrowser1();
    if (browser.ReadyState() != READYSTATE_COMPLETE)
        return false;
    browser.ExecCommand(OLECMDID_PRINTPREVIEW);
    return true;
}


} // namespace kv

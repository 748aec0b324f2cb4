#include "plugin/KestrelForm.h"

#include "archive/ArchiveCache.h"

#include "plugin/ListerApi.h"
#include "protocol/ArchiveRegistry.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Strings.h"

#include <algorithm>
#include <atomic>
#include <climits>

namespace kv {

namespace {

constexpr wchar_t FormClassName[] = L"TKestrelForm";
constexpr wchar_t MaffExtension[] = L".maff";
// How far the list of ComboBox1 drops down below its 21-pixel field.
constexpr int DropDownExtent = 300;
constexpr long ArrowStep = 16;

std::atomic<ATOM> formClassAtom{0};

// The item height that last gave the selection field its height, and the height of the font it
// was found with: every list but the first starts from it, and then one setting usually does.
std::atomic<LONG> fittedFontHeight{0};
std::atomic<LRESULT> fittedItemHeight{0};

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

// The extension is the text from the last "." after the last "\" or ":"; only ASCII letters
// fold, so no locale can make another name pass.
bool HasMaffExtension(const std::wstring& fileName)
{
    return SameTextIgnoreAsciiCase(ExtractFileExt(fileName), MaffExtension);
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

HFONT CreateFormFont()
{
    int pixelsPerInch = 96;
    if (HDC screen = GetDC(nullptr)) {
        pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    // 8 points: height -11 at 96 pixels per inch.
    return CreateFontW(-MulDiv(8, pixelsPerInch, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
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
        if (GetFocus() == window)
            ScrollWithKey(wParam);
        return result;
    }
    case WM_DESTROY:
        DestroyHandle();
        break;
    case WM_NCDESTROY: {
        const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        handle_ = nullptr;
        comboBox_ = nullptr;
        font_.reset();
        return result;  // the window procedure frees an owned form once it unwinds
    }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void TKestrelForm::CreateHandle()
{
    font_.reset(CreateFormFont());
    comboBox_ = CreateWindowExW(0, L"COMBOBOX", L"",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                                0, 0, 570, ComboBoxHeight + DropDownExtent, handle_, nullptr,
                                ThisModule(), nullptr);
    if (comboBox_ == nullptr)
        RaiseLastOSError();
    if (font_)
        SendMessageW(comboBox_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    // The selection field is 21 pixels high whatever the font's metrics make of it. The field's
    // height follows the item height set, but not always one to one (nor does the item height
    // read back always equal the one set), so adjust by what the field measures.
    LOGFONTW logFont{};
    const LONG fontHeight =
        font_ && GetObjectW(font_.get(), sizeof(logFont), &logFont) != 0 ? logFont.lfHeight : 0;
    LRESULT itemHeight = SendMessageW(comboBox_, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    if (itemHeight != CB_ERR && fontHeight != 0 && fittedFontHeight.load() == fontHeight) {
        if (const LRESULT fitted = fittedItemHeight.load(); fitted > 0 && fitted != itemHeight) {
            itemHeight = fitted;
            SendMessageW(comboBox_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), itemHeight);
        }
    }
    for (int attempt = 0; itemHeight != CB_ERR && attempt < 4; ++attempt) {
        RECT field{};
        GetWindowRect(comboBox_, &field);
        const int fieldHeight = field.bottom - field.top;
        if (fieldHeight == ComboBoxHeight) {
            if (fontHeight != 0) {
                fittedItemHeight.store(itemHeight);
                fittedFontHeight.store(fontHeight);
            }
            break;
        }
        itemHeight += ComboBoxHeight - fieldHeight;
        if (itemHeight < 1)
            break;
        SendMessageW(comboBox_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), itemHeight);
    }

    // Created after the list, so the tab order is list, then browser.
    browser_ = browserFactory_(handle_);
    if (!browser_)
        throw EUninitializedObject(L"The browser could not be created");
    navigation_ = std::make_unique<ViewerNavigation>(comboBox_, pages_);
    browser_->SetEvents(navigation_.get());
    FKeyboardHook = std::make_unique<TKeyboardHook>(handle_);
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
    if (comboBox_ != nullptr)
        MoveWindow(comboBox_, 0, 0, width, ComboBoxHeight + DropDownExtent, TRUE);
    if (browser_) {
        try {
            browser_->SetBounds(RECT{0, ComboBoxHeight, width, std::max(height, ComboBoxHeight)});
        } catch (...) {
        }
    }
}

void TKestrelForm::LoadFile(const std::wstring& fileName)
{
    SendMessageW(comboBox_, CB_RESETCONTENT, 0, 0);
    pages_.Clear();
    if (!HasMaffExtension(fileName))
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
    WebBrowser1().Navigate(pages_[index]);
}

void TKestrelForm::ScrollWithKey(WPARAM key) noexcept
{
    if (!((key >= VK_SPACE && key <= VK_NEXT) || (key >= VK_LEFT && key <= VK_DOWN)))
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
    } catch (...) {
    }
}

bool TKestrelForm::SearchText(const std::wstring& text, int searchFlags)
{
    const std::unique_ptr<IBrowserDocument> document = WebBrowser1().Document();
    if (!document)
        throw EUninitializedObject(L"No HTML document");
    if (FindStep(*document, text, searchFlags))
        return true;
    // Not found from the selection on: search once more from the start.
    return FindStep(*document, text, searchFlags | lcs_findfirst);
}

bool TKestrelForm::FindStep(IBrowserDocument& document, const std::wstring& text, int searchFlags)
{
    const bool fromTheEnd = (searchFlags & lcs_findfirst) && (searchFlags & lcs_backwards);
    if (searchFlags & lcs_findfirst)
        document.EmptySelection();
    // An emptied selection sits at the document's start, from where a backwards search finds
    // nothing: a backwards search from the top starts at the document's end instead.
    const std::unique_ptr<IBrowserTextRange> range =
        fromTheEnd ? document.DocumentRange() : document.SelectionRange();
    if (!range)
        throw EUninitializedObject(L"The selection has no text range");
    long rangeFlags = 0;
    if (searchFlags & lcs_matchcase)
        rangeFlags |= 4;
    if (searchFlags & lcs_wholewords)
        rangeFlags |= 2;
    long count;
    if (fromTheEnd) {
        range->Collapse(false);
        count = LONG_MIN;
    } else if (searchFlags & lcs_backwards) {
        range->Collapse(true);
        count = LONG_MIN;  // backwards to the beginning of the document
    } else {
        range->Collapse(false);
        count = LONG_MAX;  // forwards to the end
    }
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

void TKestrelForm::ShowFindDialog()
{
    WebBrowser1().ExecCommand(OLECMDID_FIND);
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

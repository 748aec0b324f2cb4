#include "plugin/HtmlDocument.h"

#include "shell/BStr.h"
#include "shell/Exceptions.h"
#include "shell/OleCheck.h"
#include "shell/Strings.h"

#include <algorithm>

namespace kv {

namespace {

VARIANT_BOOL ToVariantBool(bool value) noexcept
{
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// A call that succeeded but handed back no object is a failure of its own.
template <typename T>
void RequireObject(const Microsoft::WRL::ComPtr<T>& object, const wchar_t* what)
{
    if (!object)
        throw EOleSysError(what, E_NOINTERFACE);
}

} // namespace

HtmlTextRange::HtmlTextRange(Microsoft::WRL::ComPtr<IHTMLTxtRange> range) : range_(std::move(range))
{
    RequireObject(range_, L"No text range");
}

void HtmlTextRange::Collapse(bool toStart)
{
    OleCheck(range_->collapse(ToVariantBool(toStart)));
}

bool HtmlTextRange::FindText(const std::wstring& text, long count, long flags)
{
    const BStr string(text);
    VARIANT_BOOL found = VARIANT_FALSE;
    OleCheck(range_->findText(string.Get(), count, flags, &found));
    return found != VARIANT_FALSE;
}

void HtmlTextRange::Select()
{
    OleCheck(range_->select());
}

void HtmlTextRange::ScrollIntoView(bool alignToTop)
{
    OleCheck(range_->scrollIntoView(ToVariantBool(alignToTop)));
}

HtmlDocument::HtmlDocument(Microsoft::WRL::ComPtr<IHTMLDocument2> document)
    : document_(std::move(document))
{
    RequireObject(document_, L"No HTML document");
}

Microsoft::WRL::ComPtr<IHTMLSelectionObject> HtmlDocument::Selection()
{
    Microsoft::WRL::ComPtr<IHTMLSelectionObject> selection;
    OleCheck(document_->get_selection(&selection));
    RequireObject(selection, L"The document has no selection object");
    return selection;
}

void HtmlDocument::EmptySelection()
{
    OleCheck(Selection()->empty());
}

std::unique_ptr<IBrowserTextRange> HtmlDocument::SelectionRange()
{
    Microsoft::WRL::ComPtr<IDispatch> created;
    OleCheck(Selection()->createRange(&created));
    RequireObject(created, L"The selection yields no range");
    // A selected control gives a control range, which has no text to search.
    Microsoft::WRL::ComPtr<IHTMLTxtRange> range;
    OleCheck(created.As(&range));
    return std::make_unique<HtmlTextRange>(std::move(range));
}

std::unique_ptr<IBrowserTextRange> HtmlDocument::DocumentRange()
{
    Microsoft::WRL::ComPtr<IHTMLElement> body;
    OleCheck(document_->get_body(&body));
    RequireObject(body, L"The document has no body");
    // A frameset has no text of its own to search.
    Microsoft::WRL::ComPtr<IHTMLBodyElement> textBody;
    OleCheck(body.As(&textBody));
    Microsoft::WRL::ComPtr<IHTMLTxtRange> range;
    OleCheck(textBody->createTextRange(&range));
    return std::make_unique<HtmlTextRange>(std::move(range));
}

Microsoft::WRL::ComPtr<IHTMLWindow2> HtmlDocument::Window()
{
    Microsoft::WRL::ComPtr<IHTMLWindow2> window;
    OleCheck(document_->get_parentWindow(&window));
    RequireObject(window, L"The document has no window");
    return window;
}

void HtmlDocument::ScrollBy(long dx, long dy)
{
    OleCheck(Window()->scrollBy(dx, dy));
}

void HtmlDocument::ScrollTo(long x, long y)
{
    OleCheck(Window()->scroll(x, y));
}

ScrollMetrics HtmlDocument::Scroll()
{
    // A page in standards mode scrolls its root element, one in quirks mode its body: the one
    // that moved, or is taller, is the one that scrolls.
    ScrollMetrics metrics;
    const auto take = [&metrics](const Microsoft::WRL::ComPtr<IHTMLElement>& element) {
        Microsoft::WRL::ComPtr<IHTMLElement2> box;
        if (!element || FAILED(element.As(&box)) || !box)
            return;
        long left = 0, top = 0, height = 0, viewHeight = 0;
        box->get_scrollLeft(&left);
        box->get_scrollTop(&top);
        box->get_scrollHeight(&height);
        box->get_clientHeight(&viewHeight);
        metrics.left = std::max(metrics.left, left);
        metrics.top = std::max(metrics.top, top);
        metrics.height = std::max(metrics.height, height);
        if (viewHeight > 0 && (metrics.viewHeight == 0 || viewHeight < metrics.viewHeight))
            metrics.viewHeight = viewHeight;
    };
    Microsoft::WRL::ComPtr<IHTMLDocument3> document3;
    if (SUCCEEDED(document_.As(&document3)) && document3) {
        Microsoft::WRL::ComPtr<IHTMLElement> root;
        if (SUCCEEDED(document3->get_documentElement(&root)))
            take(root);
    }
    Microsoft::WRL::ComPtr<IHTMLElement> body;
    if (SUCCEEDED(document_->get_body(&body)))
        take(body);
    return metrics;
}

bool HtmlDocument::FocusTakesText()
{
    Microsoft::WRL::ComPtr<IHTMLElement> active;
    if (FAILED(document_->get_activeElement(&active)) || !active)
        return false;
    Microsoft::WRL::ComPtr<IHTMLElement3> editable;
    if (SUCCEEDED(active.As(&editable)) && editable) {
        VARIANT_BOOL isEditable = VARIANT_FALSE;
        if (SUCCEEDED(editable->get_isContentEditable(&isEditable)) && isEditable != VARIANT_FALSE)
            return true;
    }
    BStr tag;
    if (FAILED(active->get_tagName(tag.Receive())))
        return false;
    const std::wstring name(tag.View());
    if (SameTextIgnoreAsciiCase(name, L"TEXTAREA") || SameTextIgnoreAsciiCase(name, L"SELECT"))
        return true;
    if (!SameTextIgnoreAsciiCase(name, L"INPUT"))
        return false;
    Microsoft::WRL::ComPtr<IHTMLInputElement> input;
    if (FAILED(active.As(&input)) || !input)
        return true;
    BStr typeText;
    if (FAILED(input->get_type(typeText.Receive())))
        return true;
    const std::wstring type(typeText.View());
    // Buttons and boxes take no text; every other kind of field does.
    for (const wchar_t* plain : {L"button", L"submit", L"reset", L"image", L"checkbox",
                                 L"radio", L"hidden", L"file", L"color", L"range"}) {
        if (SameTextIgnoreAsciiCase(type, plain))
            return false;
    }
    return true;
}

} // namespace kv

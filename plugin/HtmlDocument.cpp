#include "plugin/HtmlDocument.h"

#include "shell/BStr.h"
#include "shell/Exceptions.h"
#include "shell/OleCheck.h"

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

void HtmlDocument::ScrollBy(long dx, long dy)
{
    Microsoft::WRL::ComPtr<IHTMLWindow2> window;
    OleCheck(document_->get_parentWindow(&window));
    RequireObject(window, L"The document has no window");
    OleCheck(window->scrollBy(dx, dy));
}

} // namespace kv

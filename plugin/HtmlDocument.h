// The viewer's document and text-range interfaces over the browser's HTML document objects.
#pragma once

#include "plugin/Browser.h"

#include <mshtml.h>
#include <wrl/client.h>

namespace kv {

class HtmlTextRange final : public IBrowserTextRange {
public:
    explicit HtmlTextRange(Microsoft::WRL::ComPtr<IHTMLTxtRange> range);

    void Collapse(bool toStart) override;
    bool FindText(const std::wstring& text, long count, long flags) override;
    void Select() override;
    void ScrollIntoView(bool alignToTop) override;

private:
    Microsoft::WRL::ComPtr<IHTMLTxtRange> range_;
};

class HtmlDocument final : public IBrowserDocument {
public:
    explicit HtmlDocument(Microsoft::WRL::ComPtr<IHTMLDocument2> document);

    void EmptySelection() override;
    std::unique_ptr<IBrowserTextRange> SelectionRange() override;
    std::unique_ptr<IBrowserTextRange> DocumentRange() override;
    void ScrollBy(long dx, long dy) override;
    void ScrollTo(long x, long y) override;
    ScrollMetrics Scroll() override;
    bool FocusTakesText() override;

private:
    Microsoft::WRL::ComPtr<IHTMLSelectionObject> Selection();
    Microsoft::WRL::ComPtr<IHTMLWindow2> Window();

    Microsoft::WRL::ComPtr<IHTMLDocument2> document_;
};

} // namespace kv

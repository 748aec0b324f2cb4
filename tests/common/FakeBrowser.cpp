#include "tests/common/FakeBrowser.h"

#include "shell/Exceptions.h"

#include <algorithm>

namespace kvtest {

struct FakeBrowser::State {
    long readyState = READYSTATE_UNINITIALIZED;
    bool hasDocument = false;
    bool noTextRange = false;
    bool commandsFail = false;
    bool navigationFails = false;
    std::wstring text;
    long selectionStart = 0;
    long selectionLength = 0;
    RECT bounds{};
    std::vector<std::wstring> urls;
    std::vector<std::wstring> refused;
    kv::IBrowserEvents* events = nullptr;
    std::vector<OLECMDID> commands;
    std::vector<FindTextCall> finds;
    std::vector<bool> collapses;
    std::vector<ScrollIntoViewCall> scrollIntoViews;
    std::vector<POINT> scrolls;
    POINT scrollPosition{};
    long documentHeight = 0;
    long viewHeight = 0;
    std::vector<POINT> scrollTos;
    bool focusTakesText = false;
    bool takesFocus = true;
    int focusCalls = 0;
    bool acceleratorsTaken = false;
    std::vector<MSG> accelerators;
    int emptySelections = 0;
    int documentRequests = 0;
    int documentRanges = 0;
};

namespace {

bool IsWordCharacter(wchar_t c)
{
    return c == L'_' || IsCharAlphaNumericW(c);
}

bool MatchesAt(const std::wstring& text, size_t at, const std::wstring& word, long flags)
{
    const bool matchCase = (flags & 4) != 0;
    const bool wholeWord = (flags & 2) != 0;
    const wchar_t* candidate = text.data() + at;
    const int size = static_cast<int>(word.size());
    if (CompareStringOrdinal(candidate, size, word.data(), size, matchCase ? FALSE : TRUE) !=
        CSTR_EQUAL)
        return false;
    if (wholeWord) {
        if (at > 0 && IsWordCharacter(text[at - 1]))
            return false;
        const size_t end = at + word.size();
        if (end < text.size() && IsWordCharacter(text[end]))
            return false;
    }
    return true;
}

class FakeTextRange final : public kv::IBrowserTextRange {
public:
    FakeTextRange(std::shared_ptr<FakeBrowser::State> state, long start, long end)
        : state_(std::move(state)), start_(start), end_(end)
    {
    }

    void Collapse(bool toStart) override
    {
        state_->collapses.push_back(toStart);
        if (toStart)
            end_ = start_;
        else
            start_ = end_;
    }

    bool FindText(const std::wstring& word, long count, long flags) override
    {
        state_->finds.push_back({word, count, flags});
        const std::wstring& text = state_->text;
        const long long size = static_cast<long long>(text.size());
        const long long length = static_cast<long long>(word.size());
        if (length == 0 || count == 0)
            return false;
        if (count > 0) {
            const long long limit = std::min(size, static_cast<long long>(end_) + count);
            for (long long at = end_; at + length <= limit; ++at)
                if (MatchesAt(text, static_cast<size_t>(at), word, flags))
                    return Found(at, length);
        } else {
            const long long lower = std::max(0LL, static_cast<long long>(start_) + count);
            for (long long at = std::min<long long>(start_, size) - length; at >= lower; --at)
                if (MatchesAt(text, static_cast<size_t>(at), word, flags))
                    return Found(at, length);
        }
        return false;
    }

    void Select() override
    {
        state_->selectionStart = start_;
        state_->selectionLength = end_ - start_;
    }

    void ScrollIntoView(bool alignToTop) override
    {
        state_->scrollIntoViews.push_back({start_, end_ - start_, alignToTop});
    }

private:
    bool Found(long long at, long long length)
    {
        start_ = static_cast<long>(at);
        end_ = static_cast<long>(at + length);
        return true;
    }

    std::shared_ptr<FakeBrowser::State> state_;
    long start_;
    long end_;
};

class FakeDocument final : public kv::IBrowserDocument {
public:
    explicit FakeDocument(std::shared_ptr<FakeBrowser::State> state) : state_(std::move(state)) {}

    void EmptySelection() override
    {
        ++state_->emptySelections;
        state_->selectionStart = 0;
        state_->selectionLength = 0;
    }

    std::unique_ptr<kv::IBrowserTextRange> SelectionRange() override
    {
        if (state_->noTextRange)
            throw kv::EOleSysError(L"The selection yields no text range", E_NOINTERFACE);
        return std::make_unique<FakeTextRange>(state_, state_->selectionStart,
                                               state_->selectionStart + state_->selectionLength);
    }

    std::unique_ptr<kv::IBrowserTextRange> DocumentRange() override
    {
        ++state_->documentRanges;
        return std::make_unique<FakeTextRange>(state_, 0, static_cast<long>(state_->text.size()));
    }

    void ScrollBy(long dx, long dy) override
    {
        state_->scrolls.push_back({dx, dy});
        state_->scrollPosition.x += dx;
        state_->scrollPosition.y += dy;
    }

    void ScrollTo(long x, long y) override
    {
        state_->scrollTos.push_back({x, y});
        const long bottom = std::max(0L, state_->documentHeight - state_->viewHeight);
        state_->scrollPosition = {std::max(0L, x), std::clamp(y, 0L, bottom)};
    }

    kv::ScrollMetrics Scroll() override
    {
        return {state_->scrollPosition.x, state_->scrollPosition.y, state_->documentHeight,
                state_->viewHeight};
    }

    bool FocusTakesText() override { return state_->focusTakesText; }

private:
    std::shared_ptr<FakeBrowser::State> state_;
};

} // namespace

FakeBrowser::FakeBrowser(HWND parent) : state_(std::make_shared<State>())
{
    RECT client{};
    GetClientRect(parent, &client);
    state_->bounds = client;
    window_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, client.left, client.top,
                              client.right - client.left, client.bottom - client.top, parent,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr)
        kv::RaiseLastOSError();
}

FakeBrowser::~FakeBrowser()
{
    // The parent may already have taken the window with it.
    if (IsWindow(window_))
        DestroyWindow(window_);
}

void FakeBrowser::SetBounds(const RECT& bounds)
{
    state_->bounds = bounds;
    MoveWindow(window_, bounds.left, bounds.top, bounds.right - bounds.left,
               bounds.bottom - bounds.top, TRUE);
}

void FakeBrowser::Navigate(const std::wstring& url)
{
    state_->urls.push_back(url);
    if (state_->navigationFails)
        throw kv::EOleSysError(E_FAIL);
    FireBeforeNavigate(url, true);
}

void FakeBrowser::SetEvents(kv::IBrowserEvents* events) noexcept
{
    state_->events = events;
}

bool FakeBrowser::FireBeforeNavigate(const std::wstring& url, bool topLevel)
{
    if (state_->events == nullptr || state_->events->BeforeNavigate(url, topLevel))
        return true;
    state_->refused.push_back(url);
    return false;
}

void FakeBrowser::FireNewWindow(const std::wstring& url)
{
    if (state_->events != nullptr)
        state_->events->NewWindow(url);
}

kv::IBrowserEvents* FakeBrowser::Events() const { return state_->events; }

void FakeBrowser::ExecCommand(OLECMDID command)
{
    state_->commands.push_back(command);
    if (state_->commandsFail)
        throw kv::EOleSysError(E_UNEXPECTED);
}

long FakeBrowser::ReadyState()
{
    return state_->readyState;
}

std::unique_ptr<kv::IBrowserDocument> FakeBrowser::Document()
{
    ++state_->documentRequests;
    if (!state_->hasDocument)
        return nullptr;
    return std::make_unique<FakeDocument>(state_);
}

bool FakeBrowser::Contains(HWND window) const
{
    return window != nullptr && (window == window_ || IsChild(window_, window));
}

void FakeBrowser::Focus()
{
    ++state_->focusCalls;
    if (state_->takesFocus)
        SetFocus(window_);
}

bool FakeBrowser::TranslateAccelerator(MSG& message) noexcept
{
    state_->accelerators.push_back(message);
    return state_->acceleratorsTaken;
}

void FakeBrowser::SetScrollExtent(long documentHeight, long viewHeight)
{
    state_->documentHeight = documentHeight;
    state_->viewHeight = viewHeight;
}

void FakeBrowser::SetScrollTop(long top) { state_->scrollPosition.y = top; }
void FakeBrowser::SetFocusTakesText(bool takesText) { state_->focusTakesText = takesText; }
void FakeBrowser::SetTakesFocus(bool takesFocus) { state_->takesFocus = takesFocus; }
void FakeBrowser::SetAcceleratorsTaken(bool taken) { state_->acceleratorsTaken = taken; }
const std::vector<POINT>& FakeBrowser::ScrollToCalls() const { return state_->scrollTos; }
int FakeBrowser::FocusCalls() const { return state_->focusCalls; }
const std::vector<MSG>& FakeBrowser::AcceleratorMessages() const { return state_->accelerators; }

void FakeBrowser::SetReadyState(long state) { state_->readyState = state; }
void FakeBrowser::SetHasDocument(bool hasDocument) { state_->hasDocument = hasDocument; }

void FakeBrowser::SetText(std::wstring text)
{
    state_->text = std::move(text);
    state_->selectionStart = 0;
    state_->selectionLength = 0;
}

void FakeBrowser::SetSelection(long start, long length)
{
    state_->selectionStart = start;
    state_->selectionLength = length;
}

void FakeBrowser::SetSelectionHasNoTextRange(bool noTextRange) { state_->noTextRange = noTextRange; }
void FakeBrowser::SetCommandsFail(bool fail) { state_->commandsFail = fail; }
void FakeBrowser::SetNavigationFails(bool fail) { state_->navigationFails = fail; }

const std::wstring& FakeBrowser::Text() const { return state_->text; }
long FakeBrowser::SelectionStart() const { return state_->selectionStart; }
long FakeBrowser::SelectionLength() const { return state_->selectionLength; }

std::wstring FakeBrowser::SelectedText() const
{
    const size_t start = std::min<size_t>(state_->selectionStart, state_->text.size());
    return state_->text.substr(start, static_cast<size_t>(state_->selectionLength));
}

const std::vector<std::wstring>& FakeBrowser::NavigatedUrls() const { return state_->urls; }
const std::vector<std::wstring>& FakeBrowser::RefusedUrls() const { return state_->refused; }
const std::vector<OLECMDID>& FakeBrowser::ExecutedCommands() const { return state_->commands; }
const std::vector<FindTextCall>& FakeBrowser::FindTextCalls() const { return state_->finds; }
const std::vector<bool>& FakeBrowser::CollapseCalls() const { return state_->collapses; }

const std::vector<ScrollIntoViewCall>& FakeBrowser::ScrollIntoViewCalls() const
{
    return state_->scrollIntoViews;
}

const std::vector<POINT>& FakeBrowser::ScrollByCalls() const { return state_->scrolls; }
POINT FakeBrowser::ScrollPosition() const { return state_->scrollPosition; }
int FakeBrowser::EmptySelectionCount() const { return state_->emptySelections; }
int FakeBrowser::DocumentRangeCount() const { return state_->documentRanges; }
int FakeBrowser::DocumentRequests() const { return state_->documentRequests; }
const RECT& FakeBrowser::Bounds() const { return state_->bounds; }

} // namespace kvtest

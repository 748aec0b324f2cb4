#include "lang/ShellCommonLang.h"

#include "shell/Exceptions.h"
#include "shell/ShellApi.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace kv {

namespace {

using GetThreadUILanguageProc = LANGID(WINAPI*)();

// GetProcAddress gives a generic function pointer; the cast goes through void* to say so.
template <typename Proc>
Proc SystemProc(const wchar_t* module, const char* name) noexcept
{
    const HMODULE handle = GetModuleHandleW(module);
    if (handle == nullptr)
        return nullptr;
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

} // namespace

LANGID TorvShellLockObject::UILanguage() noexcept
{
    if (IsVistaOrLater()) {
        static const auto getThreadUILanguage =
            SystemProc<GetThreadUILanguageProc>(L"kernel32.dll", "GetThreadUILanguage");
        if (getThreadUILanguage != nullptr)
            return getThreadUILanguage();
    }
    return GetUserDefaultLangID();
}

// TorvShellLanguage

TorvShellLanguage::TorvShellLanguage(TorvShellLanguages* languages, LANGID langID)
    : languages_(languages), langID_(langID)
{
    if (languages_ != nullptr) {
        std::unique_lock lock(languages_->Lock());
        languages_->langs_.push_back(this);
    }
}

TorvShellLanguage::TorvShellLanguage(TorvShellLanguages* languages, LANGID langID, Attached)
    : languages_(languages), langID_(langID)
{
    languages_->langs_.push_back(this);
}

TorvShellLanguage::~TorvShellLanguage()
{
    if (languages_ != nullptr) {
        std::unique_lock lock(languages_->Lock());
        auto& langs = languages_->langs_;
        langs.erase(std::remove(langs.begin(), langs.end(), this), langs.end());
    }
}

void TorvShellLanguage::UpdateIndex() const
{
    if (hashValid_)
        return;
    index_.clear();
    index_.reserve(std::max<size_t>(values_.size(), 256));
    for (size_t i = 0; i < values_.size(); ++i)
        index_.emplace(values_[i]->Tag, i);
    hashValid_ = true;
}

const TorvShellTagValue* TorvShellLanguage::FindLocked(const std::wstring& tag) const
{
    const auto found = index_.find(tag);
    return found == index_.end() ? nullptr : values_[found->second].get();
}

void TorvShellLanguage::AddValue(const std::wstring& tag, const std::wstring& text)
{
    std::unique_lock lock(Lock());
    UpdateIndex();
    if (TorvShellTagValue* const present = const_cast<TorvShellTagValue*>(FindLocked(tag))) {
        present->Value = text;
        return;
    }
    values_.push_back(std::make_unique<TorvShellTagValue>(TorvShellTagValue{tag, text}));
    hashValid_ = false;
}

void TorvShellLanguage::AddValue(int tag, const std::wstring& text)
{
    AddValue(std::to_wstring(tag), text);
}

bool TorvShellLanguage::Find(const std::wstring& tag, std::wstring* text) const
{
    {
        std::shared_lock lock(Lock());
        if (hashValid_) {
            const TorvShellTagValue* const found = FindLocked(tag);
            if (found != nullptr)
                *text = found->Value;
            return found != nullptr;
        }
    }
    // The index is stale: rebuilding it changes the language, so it needs the lock alone.
    std::unique_lock lock(Lock());
    UpdateIndex();
    const TorvShellTagValue* const found = FindLocked(tag);
    if (found != nullptr)
        *text = found->Value;
    return found != nullptr;
}

bool TorvShellLanguage::TryGetValue(const std::wstring& tag, std::wstring& text) const
{
    return Find(tag, &text);
}

std::wstring TorvShellLanguage::GetValue(const std::wstring& tag) const
{
    std::wstring text;
    if (!Find(tag, &text))
        text = tag;
    return text;
}

TorvShellTagValue TorvShellLanguage::GetTagValue(int index) const
{
    std::shared_lock lock(Lock());
    if (index < 0 || static_cast<size_t>(index) >= values_.size())
        throw EArgumentException(L"List index out of bounds (" + std::to_wstring(index) + L")");
    return *values_[static_cast<size_t>(index)];
}

int TorvShellLanguage::Count() const
{
    std::shared_lock lock(Lock());
    return static_cast<int>(values_.size());
}

// TorvShellLanguages

TorvShellLanguages::~TorvShellLanguages()
{
    // Each language takes itself out of the list as it goes.
    while (!langs_.empty())
        delete langs_.back();
}

TorvShellLanguage& TorvShellLanguages::CurrentLanguage()
{
    return Language(UILanguage());
}

TorvShellLanguage& TorvShellLanguages::Language(LANGID langID)
{
    // One lock for the lookup and the creation, so a language is created and filled only once.
    std::unique_lock lock(Lock());
    for (TorvShellLanguage* const language : langs_) {
        if (language->LangID() == langID)
            return *language;
    }
    std::unique_ptr<TorvShellLanguage> created(
        new TorvShellLanguage(this, langID, TorvShellLanguage::Attached{}));
    try {
        FillLanguage(*created);
    } catch (...) {
        // A language that could not be filled is not kept; the lock is already held here.
        langs_.pop_back();
        created->languages_ = nullptr;
        throw;
    }
    return *created.release();
}

TorvShellLanguage& TorvShellLanguages::GetLang(int index) const
{
    std::shared_lock lock(Lock());
    if (index < 0 || static_cast<size_t>(index) >= langs_.size())
        throw EArgumentException(L"List index out of bounds (" + std::to_wstring(index) + L")");
    return *langs_[static_cast<size_t>(index)];
}

int TorvShellLanguages::Count() const
{
    std::shared_lock lock(Lock());
    return static_cast<int>(langs_.size());
}

} // namespace kv

// Per-language text tables: a language is an ordered list of tag/value records with a hash
// index, a collection finds or creates the language for a language id and fills it on first use.
#pragma once

#include "shell/Handles.h"

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kv {

// Base of the objects shared between threads: lookups share the lock, changes take it alone.
class TorvShellLockObject {
public:
    TorvShellLockObject() = default;
    virtual ~TorvShellLockObject() = default;
    TorvShellLockObject(const TorvShellLockObject&) = delete;
    TorvShellLockObject& operator=(const TorvShellLockObject&) = delete;

    void BeginRead() const noexcept { lock_.lock_shared(); }
    void EndRead() const noexcept { lock_.unlock_shared(); }
    void BeginWrite() const noexcept { lock_.lock(); }
    void EndWrite() const noexcept { lock_.unlock(); }

    // The user-interface language of the calling thread (of the user before version 6).
    static LANGID UILanguage() noexcept;

protected:
    SrwLock& Lock() const noexcept { return lock_; }

private:
    mutable SrwLock lock_;
};

struct TorvShellTagValue {
    std::wstring Tag;
    std::wstring Value;
};

class TorvShellLanguages;

// The texts of one language. Tags are case-sensitive; a value looked up under a missing tag is
// the tag itself.
class TorvShellLanguage : public TorvShellLockObject {
public:
    // With an owner the language joins the owner's list, which then owns it.
    TorvShellLanguage(TorvShellLanguages* languages, LANGID langID);
    ~TorvShellLanguage() override;

    TorvShellLanguages* Languages() const noexcept { return languages_; }
    LANGID LangID() const noexcept { return langID_; }

    // Replaces the value of a present tag, appends a new record otherwise.
    void AddValue(const std::wstring& tag, const std::wstring& text);
    void AddValue(int tag, const std::wstring& text);
    bool TryGetValue(const std::wstring& tag, std::wstring& text) const;
    std::wstring GetValue(const std::wstring& tag) const;
    // A copy of the record at a position in insertion order; raises EArgumentException when the
    // position is out of range.
    TorvShellTagValue GetTagValue(int index) const;
    int Count() const;

private:
    friend class TorvShellLanguages;
    struct Attached {};
    // For a collection that already holds its own write lock.
    TorvShellLanguage(TorvShellLanguages* languages, LANGID langID, Attached);

    // Both need the write lock held.
    void UpdateIndex() const;
    const TorvShellTagValue* FindLocked(const std::wstring& tag) const;
    bool Find(const std::wstring& tag, std::wstring* text) const;

    TorvShellLanguages* languages_;
    LANGID langID_;
    std::vector<std::unique_ptr<TorvShellTagValue>> values_;
    mutable std::unordered_map<std::wstring, size_t> index_;
    mutable bool hashValid_ = true;
};

// The languages met so far, each created and filled on first use.
class TorvShellLanguages : public TorvShellLockObject {
public:
    TorvShellLanguages() = default;
    // Frees the languages from the last to the first.
    ~TorvShellLanguages() override;

    // The language of UILanguage().
    TorvShellLanguage& CurrentLanguage();
    // The language of an explicit id, created and filled when it is new.
    TorvShellLanguage& Language(LANGID langID);
    TorvShellLanguage& GetLang(int index) const;
    int Count() const;

protected:
    // Called once for each new language, under the collection's write lock.
    virtual void FillLanguage(TorvShellLanguage& language) {}

private:
    friend class TorvShellLanguage;
    // Owned: a language removes itself from here when it is destroyed.
    std::vector<TorvShellLanguage*> langs_;
};

} // namespace kv

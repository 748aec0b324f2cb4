// Language sources: where the texts of a language come from, the process-wide list of sources
// with the built-in English and Russian tables, and the set-up of the process-wide tables.
#pragma once

#include "lang/ShellCommonLang.h"

#include <memory>
#include <string>
#include <vector>

namespace kv {

// Fills a language with the texts it knows for it.
class TorvShellLangSource {
public:
    TorvShellLangSource() = default;
    virtual ~TorvShellLangSource() = default;
    TorvShellLangSource(const TorvShellLangSource&) = delete;
    TorvShellLangSource& operator=(const TorvShellLangSource&) = delete;

    virtual void FillLanguage(TorvShellLanguage& language) = 0;
};

// Languages filled by every source in list order, so a later source overrides an earlier one.
class TorvShellLangSourceList : public TorvShellLanguages {
public:
    // Takes ownership. Languages created before the source was added do not see it.
    void Add(std::unique_ptr<TorvShellLangSource> source);
    TorvShellLangSource& GetObj(int index) const;
    int ObjCount() const;

protected:
    void FillLanguage(TorvShellLanguage& language) override;

private:
    std::vector<std::unique_ptr<TorvShellLangSource>> objs_;
};

// The built-in texts: English for every language, Russian for Russian, Ukrainian and
// Belarusian.
class TorvShellBaseLangSource : public TorvShellLangSource {
public:
    void FillLanguage(TorvShellLanguage& language) override;
};

// The process-wide source list, holding one TorvShellBaseLangSource.
TorvShellLangSourceList& LangSources();

// Keys of the built-in texts a page's facts are told with: when and where from, where from
// alone, when alone.
inline constexpr int SavedAtFromKey = 12;
inline constexpr int SavedFromKey = 13;
inline constexpr int SavedAtKey = 14;
// The commands on the page's address: open it in the user's program, copy it.
inline constexpr int OpenAddressKey = 15;
inline constexpr int CopyAddressKey = 16;
// How many built-in texts there are: keys 0 to BuiltInTextCount - 1.
inline constexpr int BuiltInTextCount = 17;

// The built-in text of a key in the current language, or the key itself when there is none.
std::wstring LangString(int key);
// The same for an explicit language.
std::wstring LangString(int key, LANGID langID);

// Creates the process-wide tables (source list, module cache, string-resource collection).
// Every user creates them on first use as well, so calling this is optional.
void InitializeLanguageTables();
// Frees the tables and unloads the cached modules; only at unload, when nothing uses them.
void FinalizeLanguageTables() noexcept;

} // namespace kv

#include "lang/ShellCommonLang.h"
#include "lang/ShellLang.h"
#include "shell/Exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace kv;

namespace {

constexpr LANGID kGerman = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);

// Counts how often it is asked to fill a language, and adds one entry of its own.
class CountingSource : public TorvShellLangSource {
public:
    explicit CountingSource(std::atomic<int>& fills) : fills_(fills) {}
    void FillLanguage(TorvShellLanguage& language) override
    {
        ++fills_;
        language.AddValue(9, L"Fehler %s: %s");
        language.AddValue(L"extra", L"from the second source");
    }

private:
    std::atomic<int>& fills_;
};

} // namespace

TEST(LangString, RussianTextsForRussianUkrainianAndBelarusian)
{
    const LANGID ids[] = {MAKELANGID(LANG_RUSSIAN, SUBLANG_RUSSIAN_RUSSIA),
                          MAKELANGID(LANG_UKRAINIAN, SUBLANG_UKRAINIAN_UKRAINE),
                          MAKELANGID(LANG_BELARUSIAN, SUBLANG_BELARUSIAN_BELARUS),
                          0x0819 /* Russian, Moldova */};
    for (const LANGID id : ids) {
        SCOPED_TRACE(id);
        EXPECT_EQ(LangString(9, id), L"Ошибка %s: %s");
        EXPECT_EQ(LangString(7, id), L"Новая папка");
        EXPECT_EQ(LangString(11, id), L"Лог операции:");
    }
}

TEST(LangString, EnglishTextsForEveryOtherLanguage)
{
    const LANGID ids[] = {kGerman, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                          MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT), 0};
    for (const LANGID id : ids) {
        SCOPED_TRACE(id);
        EXPECT_EQ(LangString(9, id), L"Error %s: %s");
        EXPECT_EQ(LangString(0, id), L"Information");
        EXPECT_EQ(LangString(7, id), L"New  folder");
        EXPECT_EQ(LangString(11, id), L"Operation log:");
    }
}

TEST(LangString, MissingKeyGivesTheKey)
{
    EXPECT_EQ(LangString(BuiltInTextCount), std::to_wstring(BuiltInTextCount));
    EXPECT_EQ(LangString(-1, kGerman), L"-1");
    // The current language is one of the two tables.
    const std::wstring error = LangString(9);
    EXPECT_TRUE(error == L"Error %s: %s" || error == L"Ошибка %s: %s");
}

TEST(LangSources, ProcessListHasTheBuiltInSourceAndOneLanguagePerId)
{
    TorvShellLangSourceList& sources = LangSources();
    ASSERT_EQ(sources.ObjCount(), 1);
    EXPECT_NE(dynamic_cast<TorvShellBaseLangSource*>(&sources.GetObj(0)), nullptr);

    TorvShellLanguage& german = sources.Language(kGerman);
    EXPECT_EQ(&sources.Language(kGerman), &german);
    EXPECT_EQ(german.Languages(), &sources);
    EXPECT_EQ(german.LangID(), kGerman);
    EXPECT_EQ(german.Count(), BuiltInTextCount);
    EXPECT_EQ(german.GetTagValue(0).Tag, L"0");
    EXPECT_EQ(german.GetTagValue(11).Value, L"Operation log:");
    EXPECT_EQ(german.GetTagValue(SavedAtFromKey).Value, L"Saved %s from %s");
    EXPECT_THROW(german.GetTagValue(BuiltInTextCount), EArgumentException);
    EXPECT_EQ(sources.CurrentLanguage().LangID(), TorvShellLockObject::UILanguage());
}

TEST(LangSources, LaterSourceOverridesAndEachLanguageIsFilledOnce)
{
    std::atomic<int> fills{0};
    TorvShellLangSourceList sources;
    sources.Add(std::make_unique<TorvShellBaseLangSource>());
    sources.Add(std::make_unique<CountingSource>(fills));

    TorvShellLanguage& german = sources.Language(kGerman);
    EXPECT_EQ(german.GetValue(L"9"), L"Fehler %s: %s");
    EXPECT_EQ(german.GetValue(L"0"), L"Information");
    EXPECT_EQ(german.GetValue(L"extra"), L"from the second source");
    EXPECT_EQ(german.Count(), BuiltInTextCount + 1);  // the replaced entry keeps its place

    // Many threads asking for the same new language at once get one language, filled once.
    std::vector<std::thread> threads;
    std::vector<TorvShellLanguage*> seen(8);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = &sources.Language(LANG_FRENCH); });
    for (auto& thread : threads)
        thread.join();
    for (TorvShellLanguage* language : seen)
        EXPECT_EQ(language, seen[0]);
    EXPECT_EQ(fills, 2);
    EXPECT_EQ(sources.Count(), 2);
    EXPECT_EQ(&sources.GetLang(1), seen[0]);
    EXPECT_THROW(sources.GetLang(2), EArgumentException);
}

TEST(ShellLanguage, AddValueReplacesCaseSensitiveTagsAndKeepsOrder)
{
    TorvShellLanguage language(nullptr, kGerman);
    language.AddValue(L"Tag", L"one");
    language.AddValue(L"tag", L"two");
    language.AddValue(5, L"five");
    EXPECT_EQ(language.Count(), 3);

    language.AddValue(L"Tag", L"replaced");
    EXPECT_EQ(language.Count(), 3);
    EXPECT_EQ(language.GetValue(L"Tag"), L"replaced");
    EXPECT_EQ(language.GetValue(L"tag"), L"two");
    EXPECT_EQ(language.GetTagValue(0).Value, L"replaced");
    EXPECT_EQ(language.GetTagValue(2).Tag, L"5");

    std::wstring text = L"untouched";
    EXPECT_FALSE(language.TryGetValue(L"TAG", text));
    EXPECT_EQ(text, L"untouched");
    EXPECT_EQ(language.GetValue(L"TAG"), L"TAG");
    EXPECT_TRUE(language.TryGetValue(L"5", text));
    EXPECT_EQ(text, L"five");
}

TEST(ShellLanguage, JoinsAndLeavesItsOwner)
{
    TorvShellLanguages languages;
    {
        TorvShellLanguage own(&languages, kGerman);
        EXPECT_EQ(languages.Count(), 1);
        EXPECT_EQ(&languages.Language(kGerman), &own);
    }
    EXPECT_EQ(languages.Count(), 0);
    new TorvShellLanguage(&languages, LANG_FRENCH);  // owned by the collection from here
    EXPECT_EQ(languages.Count(), 1);
    EXPECT_EQ(languages.Language(LANG_FRENCH).Count(), 0);  // the base collection fills nothing
}

TEST(ShellLanguage, ReadersSeeAValueWholeOrNotAtAllWhileAWriterAdds)
{
    TorvShellLanguage language(nullptr, kGerman);
    constexpr int kTags = 2000;
    const auto valueOf = [](int i, int round) {
        return std::wstring(200, static_cast<wchar_t>(L'a' + round)) + std::to_wstring(i);
    };
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<long> reads{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&, r] {
            unsigned seed = 12345u + static_cast<unsigned>(r);
            while (!done.load()) {
                seed = seed * 1103515245u + 12345u;
                const int i = static_cast<int>((seed >> 8) % kTags);
                std::wstring text;
                if (language.TryGetValue(std::to_wstring(i), text) && text != valueOf(i, 0) &&
                    text != valueOf(i, 1))
                    ++badReads;
                if (language.Count() > kTags)
                    ++badReads;
                ++reads;
            }
        });
    }
    for (int i = 0; i < kTags; ++i)
        language.AddValue(i, valueOf(i, 0));
    for (int i = 0; i < kTags; i += 3)
        language.AddValue(std::to_wstring(i), valueOf(i, 1));
    done = true;
    for (auto& reader : readers)
        reader.join();

    EXPECT_EQ(badReads, 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(language.Count(), kTags);
    EXPECT_EQ(language.GetValue(L"3"), valueOf(3, 1));
    EXPECT_EQ(language.GetValue(L"4"), valueOf(4, 0));
    EXPECT_EQ(language.GetTagValue(kTags - 1).Tag, std::to_wstring(kTags - 1));
}

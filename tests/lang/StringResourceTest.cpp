#include "lang/ShellCommonLang.h"
#include "lang/ShellLang.h"
#include "lang/ShellStrings.h"
#include "shell/Exceptions.h"
#include "shell/ShellApi.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <string>

using namespace kv;

namespace {

std::wstring Repeat(const std::wstring& piece, int times)
{
    std::wstring text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

// The texts of tests/support/LangStrings.rc.
const std::wstring kLong = L"Long:" + Repeat(L"0123456789", 32);
const std::wstring kExact = Repeat(L"abcdefghijklmnop", 16);
const std::wstring kTwice = Repeat(L"ZYXWVUTSRQ", 60);

std::wstring CachedText(const std::wstring& key)
{
    std::wstring text;
    if (!StringResourceLanguages().CurrentLanguage().TryGetValue(key, text))
        text = L"<not cached>";
    return text;
}

bool UsesRussianTexts()
{
    const WORD primary = PRIMARYLANGID(TorvShellLockObject::UILanguage());
    return primary == LANG_RUSSIAN || primary == LANG_UKRAINIAN || primary == LANG_BELARUSIAN;
}

} // namespace

TEST(ShellStrings, ReadsLongStringsWholeAndCachesThem)
{
    const std::wstring path = kvtest::SupportPath(L"langstrings.dll");
    const size_t modulesBefore = CachedModuleCount();
    {
        TorvShellStrings strings(path);
        EXPECT_EQ(strings.GetString(1), kLong);
        EXPECT_EQ(strings.GetString(2), L"Short text");
        EXPECT_EQ(strings.GetString(3), kExact);  // fills the first buffer exactly
        EXPECT_EQ(strings.GetString(4), kTwice);
        EXPECT_EQ(strings.GetString(77), L"");
        EXPECT_EQ(strings.GetStringEx(77, L"default"), L"default");
        EXPECT_EQ(strings.GetStringEx(2, L"default"), L"Short text");
    }
    EXPECT_EQ(CachedModuleCount(), modulesBefore + 1);
    EXPECT_EQ(CachedText(path + L",StringID1"), kLong);
    EXPECT_EQ(CachedText(path + L",StringID77"), L"");

    // Another reader of the same module is served from the tables; the module cache matches
    // names without regard to case.
    TorvShellStrings again(path);
    EXPECT_EQ(again.GetString(1), kLong);
    TorvShellStrings otherCase(path.substr(0, path.size() - 4) + L".DLL");
    EXPECT_EQ(otherCase.GetString(2), L"Short text");
    EXPECT_EQ(CachedModuleCount(), modulesBefore + 1);
}

TEST(ShellStrings, CachedTextNeedsNoModule)
{
    const std::wstring missing = L"Z:\\no\\such\\folder\\cached-only.dll";
    StringResourceLanguages().CurrentLanguage().AddValue(missing + L",StringID5", L"cached");
    TorvShellStrings strings(missing);
    EXPECT_EQ(strings.GetString(5), L"cached");
    EXPECT_THROW(strings.GetString(6), EOSError);
}

TEST(ShellStrings, ModuleThatCannotBeLoadedRaisesOSError)
{
    const size_t modulesBefore = CachedModuleCount();
    TorvShellStrings strings(L"Z:\\no\\such\\folder\\strings.dll");
    try {
        strings.GetString(1);
        FAIL() << "no exception";
    } catch (const EOSError& e) {
        EXPECT_NE(e.ErrorCode(), 0u);
    }
    EXPECT_THROW(strings.ModuleHandle(), EOSError);
    EXPECT_EQ(CachedModuleCount(), modulesBefore);
}

TEST(ShellStrings, ExpandsEnvironmentVariablesInTheModuleName)
{
    const size_t modulesBefore = CachedModuleCount();
    TorvShellStrings strings(L"%SystemRoot%\\system32\\shell32.dll");
    EXPECT_NE(strings.ModuleHandle(), nullptr);
    EXPECT_EQ(CachedModuleCount(), modulesBefore + 1);

    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableW(L"SystemRoot", folder, MAX_PATH), 0u);
    ASSERT_TRUE(SetEnvironmentVariableW(L"KV_LANG_TEST_DIR", kvtest::SupportPath(L"").c_str()));
    TorvShellStrings support(L"%KV_LANG_TEST_DIR%langstrings.dll");
    EXPECT_EQ(support.GetString(2), L"Short text");
    // The unexpanded name is the key.
    EXPECT_EQ(CachedText(L"%KV_LANG_TEST_DIR%langstrings.dll,StringID2"), L"Short text");
    SetEnvironmentVariableW(L"KV_LANG_TEST_DIR", nullptr);
}

TEST(FormatErrorMessage, FallsBackToTheBuiltInFormatWithoutTheShellString)
{
    if (!TorvShell32Strings().GetString(16873).empty())
        GTEST_SKIP() << "the system shell has its own error format";
    const std::wstring expected = UsesRussianTexts() ? L"Ошибка 0x00000001: S_FALSE"
                                                     : L"Error 0x00000001: S_FALSE";
    EXPECT_EQ(FormatErrorMessage(S_FALSE, L"S_FALSE"), expected);
    EXPECT_EQ(FormatErrorMessage(static_cast<HRESULT>(0x8000FFFF), L"%s %n %08lX"),
              UsesRussianTexts() ? L"Ошибка 0x8000FFFF: %s %n %08lX"
                                 : L"Error 0x8000FFFF: %s %n %08lX");
}

TEST(FormatErrorMessage, UsesAWellFormedShellFormatAndRefusesOthers)
{
    if (!IsVistaOrLater())
        GTEST_SKIP() << "the shell's format is used from version 6 on";
    const std::wstring key = L"shell32.dll,StringID16873";
    TorvShellLanguage& language = StringResourceLanguages().CurrentLanguage();
    std::wstring original;
    const bool hadOriginal = language.TryGetValue(key, original);
    const std::wstring fallback = UsesRussianTexts() ? L"Ошибка 0x00000001: S_FALSE"
                                                     : L"Error 0x00000001: S_FALSE";

    language.AddValue(key, L"Fault 0x%08lX (%s)");
    EXPECT_EQ(FormatErrorMessage(S_FALSE, L"S_FALSE"), L"Fault 0x00000001 (S_FALSE)");
    language.AddValue(key, L"%08x -> %ls, 100%%");
    EXPECT_EQ(FormatErrorMessage(static_cast<HRESULT>(0x8000ffff), L"x"), L"8000FFFF -> x, 100%");

    for (const wchar_t* bad : {L"Fault %s", L"Fault %08lX", L"%s %08lX", L"%08lX %s %n",
                               L"%08lX %s %s", L"%*X %s", L"%08lX %d", L"%1!08lX!: %2",
                               L"%08lX %9999s", L"%08lX %s %"}) {
        SCOPED_TRACE(bad);
        language.AddValue(key, bad);
        EXPECT_EQ(FormatErrorMessage(S_FALSE, L"S_FALSE"), fallback);
    }
    language.AddValue(key, hadOriginal ? original : L"");
}

TEST(LanguageTables, FinalizeFreesTheTablesAndTheyComeBackOnUse)
{
    InitializeLanguageTables();
    TorvShellStrings strings(kvtest::SupportPath(L"langstrings.dll"));
    EXPECT_EQ(strings.GetString(2), L"Short text");
    EXPECT_GE(CachedModuleCount(), 1u);

    FinalizeLanguageTables();
    EXPECT_EQ(CachedModuleCount(), 0u);
    EXPECT_EQ(StringResourceLanguages().Count(), 0);
    EXPECT_EQ(LangSources().Count(), 0);
    EXPECT_EQ(LangString(9, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)), L"Error %s: %s");
    EXPECT_EQ(TorvShellStrings(kvtest::SupportPath(L"langstrings.dll")).GetString(1), kLong);
    EXPECT_EQ(CachedModuleCount(), 1u);
    FinalizeLanguageTables();
}

TEST(LanguageTables, AReaderKeptAcrossFinalizeLoadsItsModuleAgain)
{
    // Finalize frees the cached modules; a reader that outlives it must not go on using the
    // handle it was given before.
    TorvShellStrings strings(kvtest::SupportPath(L"langstrings.dll"));
    EXPECT_EQ(strings.GetString(2), L"Short text");
    FinalizeLanguageTables();
    EXPECT_EQ(strings.GetString(1), kLong);
    EXPECT_EQ(CachedModuleCount(), 1u);
    EXPECT_EQ(strings.ModuleHandle(), TorvShellStrings(kvtest::SupportPath(L"langstrings.dll")).ModuleHandle());
    FinalizeLanguageTables();
}

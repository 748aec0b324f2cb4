#include "lang/ShellLang.h"

#include "lang/ShellStrings.h"
#include "shell/Exceptions.h"
#include "shell/LazyInstance.h"

#include <iterator>
#include <mutex>
#include <shared_mutex>

namespace kv {

namespace {

struct BuiltInText {
    const wchar_t* english;
    const wchar_t* russian;
};

// Indexed by key.
constexpr BuiltInText kBuiltInTexts[] = {
    {L"Information", L"Информация"},
    {L"Confirmation", L"Подтверждение"},
    {L"Warning", L"Предупреждение"},
    {L"Calculating...", L"Оценка..."},
    {L"Uploading...", L"Отправка..."},
    {L"Next volumn is required", L"Требуется следующий том"},
    {L"You need to have the following volume to continue extraction:",
     L"Вы должны иметь следующий том для продолжения извлечения:"},
    {L"New  folder", L"Новая папка"},
    {L"Enter new folder name:", L"Введите имя новой папки:"},
    {L"Error %s: %s", L"Ошибка %s: %s"},
    {L"No error description available", L"Отсутствует описание ошибки"},
    {L"Operation log:", L"Лог операции:"},
    {L"Saved %s from %s", L"Сохранено %s с адреса %s"},
    {L"Saved from %s", L"Сохранено с адреса %s"},
    {L"Saved %s", L"Сохранено %s"},
    {L"&Open the saved address\tCtrl+Shift+O", L"&Открыть исходный адрес\tCtrl+Shift+O"},
    {L"&Copy the saved address\tCtrl+Shift+C", L"&Копировать исходный адрес\tCtrl+Shift+C"},
};

static_assert(std::size(kBuiltInTexts) == BuiltInTextCount);

bool UsesRussianTexts(LANGID langID) noexcept
{
    switch (PRIMARYLANGID(langID)) {
    case LANG_RUSSIAN:
    case LANG_UKRAINIAN:
    case LANG_BELARUSIAN:
        return true;
    default:
        return false;
    }
}

class BaseSourceList : public TorvShellLangSourceList {
public:
    BaseSourceList() { Add(std::make_unique<TorvShellBaseLangSource>()); }
};

LazyInstance<BaseSourceList>& SourceListInstance()
{
    static LazyInstance<BaseSourceList> instance;
    return instance;
}

} // namespace

// TorvShellLangSourceList

void TorvShellLangSourceList::Add(std::unique_ptr<TorvShellLangSource> source)
{
    if (!source)
        throw EArgumentException(L"Language source is nil");
    std::unique_lock lock(Lock());
    objs_.push_back(std::move(source));
}

TorvShellLangSource& TorvShellLangSourceList::GetObj(int index) const
{
    std::shared_lock lock(Lock());
    if (index < 0 || static_cast<size_t>(index) >= objs_.size())
        throw EArgumentException(L"List index out of bounds (" + std::to_wstring(index) + L")");
    return *objs_[static_cast<size_t>(index)];
}

int TorvShellLangSourceList::ObjCount() const
{
    std::shared_lock lock(Lock());
    return static_cast<int>(objs_.size());
}

void TorvShellLangSourceList::FillLanguage(TorvShellLanguage& language)
{
    // The collection's write lock is held by the caller, so the list cannot change meanwhile.
    for (const auto& source : objs_)
        source->FillLanguage(language);
}

// TorvShellBaseLangSource

void TorvShellBaseLangSource::FillLanguage(TorvShellLanguage& language)
{
    const bool russian = UsesRussianTexts(language.LangID());
    int key = 0;
    for (const BuiltInText& text : kBuiltInTexts)
        language.AddValue(key++, russian ? text.russian : text.english);
}

TorvShellLangSourceList& LangSources()
{
    return SourceListInstance().Get();
}

std::wstring LangString(int key)
{
    return LangSources().CurrentLanguage().GetValue(std::to_wstring(key));
}

std::wstring LangString(int key, LANGID langID)
{
    return LangSources().Language(langID).GetValue(std::to_wstring(key));
}

void InitializeLanguageTables()
{
    InitializeStringTables();
    SourceListInstance().Get();
}

void FinalizeLanguageTables() noexcept
{
    SourceListInstance().Reset();
    FinalizeStringTables();
}

} // namespace kv

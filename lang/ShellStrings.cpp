#include "lang/ShellStrings.h"

#include "lang/ShellLang.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/LazyInstance.h"
#include "shell/ShellApi.h"
#include "shell/Strings.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace kv {

namespace {

// Modules loaded for their resources, by the name they were asked for (ignoring case); they stay
// loaded until the tables are freed.
class ModuleCache {
public:
    HMODULE Load(const std::wstring& name)
    {
        std::lock_guard guard(lock_);
        for (const auto& [cachedName, module] : modules_) {
            if (SameTextIgnoreCase(cachedName, name))
                return module.get();
        }
        UniqueModule module(LoadLibraryExW(ExpandEnvironment(name).c_str(), nullptr,
                                           LOAD_LIBRARY_AS_DATAFILE));
        if (!module)
            RaiseLastOSError();
        const HMODULE handle = module.get();
        modules_.emplace_back(name, std::move(module));
        return handle;
    }

    size_t Count()
    {
        std::lock_guard guard(lock_);
        return modules_.size();
    }

private:
    static std::wstring ExpandEnvironment(const std::wstring& name)
    {
        std::wstring expanded(name.size() + 64, L'\0');
        for (;;) {
            const DWORD length = ExpandEnvironmentStringsW(name.c_str(), expanded.data(),
                                                           static_cast<DWORD>(expanded.size()));
            if (length == 0)
                RaiseLastOSError();
            // The length counts the terminating null.
            if (length <= expanded.size()) {
                expanded.resize(length - 1);
                return expanded;
            }
            expanded.resize(length);
        }
    }

    CriticalSection lock_;
    std::vector<std::pair<std::wstring, UniqueModule>> modules_;
};

struct StringTables {
    // Declared first, so the modules are freed last.
    ModuleCache modules;
    TorvShellLanguages strings;
};

LazyInstance<StringTables>& StringTablesInstance()
{
    static LazyInstance<StringTables> instance;
    return instance;
}

constexpr UINT kShellErrorFormatID = 16873;
constexpr int kErrorFormatKey = 9;

// printf-style formatting of texts taken from resources and language tables. The format is
// checked against the arguments before anything is formatted: each conversion must take the
// argument of its position, of the expected kind, and there must be exactly as many conversions
// as arguments. Hexadecimal conversions (x, X) take the integer, s takes the text; flags, width,
// precision and the h/l size prefixes are honoured, '*' and every other conversion refuse the
// format.
using FormatArg = std::variant<unsigned, std::wstring_view>;

std::optional<std::wstring> FormatChecked(const std::wstring& format,
                                          const std::vector<FormatArg>& args)
{
    constexpr unsigned kMaxField = 1024;
    std::wstring out;
    size_t next = 0;
    size_t i = 0;
    while (i < format.size()) {
        const wchar_t c = format[i++];
        if (c != L'%') {
            out.push_back(c);
            continue;
        }
        if (i < format.size() && format[i] == L'%') {
            out.push_back(L'%');
            ++i;
            continue;
        }
        bool leftAlign = false;
        std::string flags;
        constexpr std::wstring_view kFlags = L"-+ #0";
        while (i < format.size() && kFlags.find(format[i]) != std::wstring_view::npos) {
            if (format[i] == L'-')
                leftAlign = true;
            flags.push_back(static_cast<char>(format[i++]));
        }
        // Digits of a width or precision; false when the number is beyond any sensible field.
        auto number = [&](unsigned& value) {
            value = 0;
            while (i < format.size() && format[i] >= L'0' && format[i] <= L'9')
                value = std::min(value * 10 + static_cast<unsigned>(format[i++] - L'0'),
                                 kMaxField + 1);
            return value <= kMaxField;
        };
        unsigned width = 0;
        if (!number(width))
            return std::nullopt;
        unsigned precision = 0;
        bool hasPrecision = false;
        if (i < format.size() && format[i] == L'.') {
            ++i;
            hasPrecision = true;
            if (!number(precision))
                return std::nullopt;
        }
        if (i < format.size() && (format[i] == L'l' || format[i] == L'h'))
            ++i;
        if (i >= format.size() || next >= args.size())
            return std::nullopt;
        const wchar_t conversion = format[i++];
        const FormatArg& arg = args[next++];
        if (conversion == L'x' || conversion == L'X') {
            const unsigned* const value = std::get_if<unsigned>(&arg);
            if (value == nullptr)
                return std::nullopt;
            // Rebuilt from the parts checked above, so nothing but one unsigned is consumed.
            std::string directive(1, '%');
            directive += flags;
            if (width > 0)
                directive += std::to_string(width);
            if (hasPrecision) {
                directive.push_back('.');
                directive += std::to_string(precision);
            }
            directive.push_back(static_cast<char>(conversion));
            char buffer[2 * kMaxField + 32];
            const int length = std::snprintf(buffer, sizeof(buffer), directive.c_str(), *value);
            if (length < 0 || static_cast<size_t>(length) >= sizeof(buffer))
                return std::nullopt;
            out.append(buffer, buffer + length);
        } else if (conversion == L's') {
            const std::wstring_view* const value = std::get_if<std::wstring_view>(&arg);
            if (value == nullptr)
                return std::nullopt;
            std::wstring_view text = *value;
            if (hasPrecision && text.size() > precision)
                text = text.substr(0, precision);
            const size_t padding = width > text.size() ? width - text.size() : 0;
            if (!leftAlign)
                out.append(padding, L' ');
            out.append(text);
            if (leftAlign)
                out.append(padding, L' ');
        } else {
            return std::nullopt;
        }
    }
    if (next != args.size())
        return std::nullopt;
    return out;
}

void ReplaceFirst(std::wstring& text, std::wstring_view what, std::wstring_view with)
{
    const size_t at = text.find(what);
    if (at != std::wstring::npos)
        text.replace(at, what.size(), with);
}

// The shell's own format ("...%08lX...%s..."), or nothing when it is missing or not of that form.
std::optional<std::wstring> FormatWithShellText(HRESULT code, const std::wstring& text)
{
    std::wstring format;
    try {
        format = TorvShell32Strings().GetString(kShellErrorFormatID);
    } catch (const Exception&) {
        return std::nullopt;
    }
    if (format.empty())
        return std::nullopt;
    ReplaceFirst(format, L"%08lX", L"%.8X");
    ReplaceFirst(format, L"%08x", L"%.8X");
    return FormatChecked(format, {static_cast<unsigned>(code), std::wstring_view(text)});
}

} // namespace

// TorvShellStrings

TorvShellStrings::TorvShellStrings(std::wstring moduleName) : moduleName_(std::move(moduleName)) {}

HMODULE TorvShellStrings::ModuleHandle()
{
    // Asked of the cache every time rather than kept here: finalising the tables frees the
    // modules, and a reader that outlives that must load its module again, not reuse a handle
    // that is gone. Only strings missing from the tables come this way.
    return StringTablesInstance().Get().modules.Load(moduleName_);
}

std::wstring TorvShellStrings::GetString(UINT id)
{
    const std::wstring key = moduleName_ + L",StringID" + std::to_wstring(id);
    TorvShellLanguage& language = StringTablesInstance().Get().strings.CurrentLanguage();
    std::wstring text;
    if (language.TryGetValue(key, text))
        return text;

    const HMODULE module = ModuleHandle();
    // LoadStringW truncates silently: a result that fills the buffer may have been cut short.
    std::vector<wchar_t> buffer;
    int length = 0;
    for (int size = 256;; size *= 2) {
        buffer.assign(static_cast<size_t>(size) + 1, L'\0');
        length = LoadStringW(module, id, buffer.data(), size + 1);
        if (length != size)
            break;
    }
    text.assign(buffer.data(), static_cast<size_t>(length > 0 ? length : 0));
    language.AddValue(key, text);
    return text;
}

std::wstring TorvShellStrings::GetStringEx(UINT id, const std::wstring& defaultText)
{
    std::wstring text = GetString(id);
    return text.empty() ? defaultText : text;
}

TorvShell32Strings::TorvShell32Strings() : TorvShellStrings(L"shell32.dll") {}

TorvShellLanguages& StringResourceLanguages()
{
    return StringTablesInstance().Get().strings;
}

size_t CachedModuleCount()
{
    return StringTablesInstance().Get().modules.Count();
}

void InitializeStringTables()
{
    StringTablesInstance().Get();
}

void FinalizeStringTables() noexcept
{
    StringTablesInstance().Reset();
}

std::wstring FormatErrorMessage(HRESULT code, const std::wstring& text)
{
    if (IsVistaOrLater()) {
        if (auto message = FormatWithShellText(code, text))
            return std::move(*message);
    }
    const std::wstring hexCode = FormatString(L"0x%.8X", static_cast<unsigned>(code));
    if (auto message = FormatChecked(LangString(kErrorFormatKey), {std::wstring_view(hexCode),
                                                                   std::wstring_view(text)}))
        return std::move(*message);
    // A source replaced the entry with something that is not a two-text format.
    return L"Error " + hexCode + L": " + text;
}

} // namespace kv

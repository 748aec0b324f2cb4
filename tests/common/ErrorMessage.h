// The message of the plug-in's exception that an action raises, for tests that compare it.
#pragma once

#include "shell/Exceptions.h"

#include <string>

namespace kvtest {

inline constexpr wchar_t NoError[] = L"(no error)";

template <typename Action>
std::wstring ErrorMessageOf(Action&& action)
{
    try {
        action();
    } catch (const kv::Exception& e) {
        return e.Message();
    }
    return NoError;
}

} // namespace kvtest

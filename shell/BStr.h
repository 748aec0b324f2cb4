// Owner of an automation string (BSTR).
#pragma once

#include "shell/Exceptions.h"

#include <oleauto.h>

#include <string_view>

namespace kv {

class BStr {
public:
    BStr() noexcept = default;
    explicit BStr(std::wstring_view text)
        : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
        if (value_ == nullptr)
            throw EOutOfMemory();
    }
    ~BStr() { SysFreeString(value_); }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;
    BStr(BStr&& other) noexcept : value_(other.value_) { other.value_ = nullptr; }
    BStr& operator=(BStr&& other) noexcept
    {
        if (this != &other) {
            SysFreeString(value_);
            value_ = other.value_;
            other.value_ = nullptr;
        }
        return *this;
    }

    BSTR Get() const noexcept { return value_; }
    // For out arguments: frees the current string and hands out the slot.
    BSTR* Receive() noexcept
    {
        SysFreeString(value_);
        value_ = nullptr;
        return &value_;
    }
    std::wstring_view View() const noexcept { return {value_, SysStringLen(value_)}; }

private:
    BSTR value_ = nullptr;
};

} // namespace kv

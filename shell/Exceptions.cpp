#include "shell/Exceptions.h"

#include "shell/Strings.h"

#include <new>

namespace kv {

Exception::Exception(std::wstring message)
{
    SetMessage(std::move(message));
}

void Exception::SetMessage(std::wstring message)
{
    message_ = std::move(message);
    utf8_ = WideToUtf8(message_);
}

EOutOfMemory::EOutOfMemory() : Exception(SystemErrorText(ERROR_OUTOFMEMORY)) {}

EAbort::EAbort() : Exception(std::wstring()) {}

EOSError::EOSError(DWORD code, const std::wstring& extra)
    : Exception(FormatString(L"System Error.  Code: %d.\r\n%ls%ls", static_cast<int>(code),
                             SystemErrorText(code).c_str(), extra.c_str())),
      code_(code)
{
}

namespace {
std::wstring OleErrorText(HRESULT code)
{
    std::wstring text = SystemErrorText(static_cast<DWORD>(code));
    if (text.empty())
        text = FormatString(L"OLE error %.8x", static_cast<unsigned>(code));
    return text;
}
} // namespace

EOleSysError::EOleSysError(HRESULT code, int helpContext)
    : Exception(OleErrorText(code)), code_(code), helpContext_(helpContext)
{
}

EOleSysError::EOleSysError(std::wstring message, HRESULT code, int helpContext)
    : Exception(message.empty() ? OleErrorText(code) : std::move(message)), code_(code),
      helpContext_(helpContext)
{
}

EAccessDenied::EAccessDenied() : EOleSysError(E_ACCESSDENIED) {}

EAccessDenied::EAccessDenied(std::wstring message)
    : EOleSysError(std::move(message), E_ACCESSDENIED)
{
}

EOleSysErrorEx::EOleSysErrorEx(std::wstring message, HRESULT code, int helpContext,
                               Microsoft::WRL::ComPtr<IUnknown> extra)
    : EOleSysError(std::move(message), code, helpContext), extra_(std::move(extra))
{
}

std::wstring SystemErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr)
        text.assign(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

void RaiseOSError(DWORD code)
{
    throw EOSError(code);
}

void RaiseLastOSError()
{
    RaiseOSError(GetLastError());
}

HRESULT ExceptionToHResult(const std::exception_ptr& error) noexcept
{
    // Rethrowing an empty pointer is undefined (it crashes here): there is nothing to map.
    if (!error)
        return E_UNEXPECTED;
    // Order matters: the first matching kind wins.
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return HResultFromOSError(ERROR_CANCELLED);
    } catch (const EOleSysError& e) {
        return e.ErrorCode();
    } catch (const EOutOfMemory&) {
        return E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const EOSError& e) {
        return HResultFromOSError(e.ErrorCode());
    } catch (const EArgumentException&) {
        return E_INVALIDARG;
    } catch (const EInvalidPointer&) {
        return E_POINTER;
    } catch (const EUninitializedObject&) {
        return OLE_E_BLANK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT ExceptionToHResult() noexcept
{
    return ExceptionToHResult(std::current_exception());
}

HRESULT ExceptionToComResult() noexcept
{
    return AsFailure(ExceptionToHResult());
}

std::wstring ExceptionMessage(const std::exception_ptr& error)
{
    if (!error)
        return L"Unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return Utf8ToWide(e.what());
    } catch (...) {
        return L"Unknown error";
    }
}

} // namespace kv

// Exception kinds of the plug-in and the one mapping from an exception to an HRESULT.
// Every failure inside the plug-in is one of these; COM methods and exports turn them into
// results at the boundary and never let them escape.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <exception>
#include <string>

namespace kv {

// General exception: carries a message in UTF-16; what() gives it as UTF-8.
class Exception : public std::exception {
public:
    explicit Exception(std::wstring message);
    const std::wstring& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

protected:
    void SetMessage(std::wstring message);

private:
    std::wstring message_;
    std::string utf8_;
};

class EArgumentException : public Exception {
public:
    using Exception::Exception;
};

class EInvalidPointer : public Exception {
public:
    using Exception::Exception;
};

class EOutOfMemory : public Exception {
public:
    EOutOfMemory();
};

// Ends an operation quietly; carries no message.
class EAbort : public Exception {
public:
    EAbort();
};

// Operating-system error: "System Error.  Code: %d.\r\n%s%s".
class EOSError : public Exception {
public:
    explicit EOSError(DWORD code, const std::wstring& extra = {});
    DWORD ErrorCode() const noexcept { return code_; }

private:
    DWORD code_;
};

// OLE error: the system's text for the HRESULT, or "OLE error %.8x".
class EOleSysError : public Exception {
public:
    explicit EOleSysError(HRESULT code, int helpContext = 0);
    EOleSysError(std::wstring message, HRESULT code, int helpContext = 0);
    HRESULT ErrorCode() const noexcept { return code_; }
    int HelpContext() const noexcept { return helpContext_; }

private:
    HRESULT code_;
    int helpContext_;
};

// An object used before it has what it needs ("Stream is nil").
class EUninitializedObject : public Exception {
public:
    using Exception::Exception;
};

class EAccessDenied : public EOleSysError {
public:
    EAccessDenied();
    explicit EAccessDenied(std::wstring message);
};

// OLE error that keeps one extra object alive for as long as the exception lives.
class EOleSysErrorEx : public EOleSysError {
public:
    EOleSysErrorEx(std::wstring message, HRESULT code, int helpContext = 0,
                   Microsoft::WRL::ComPtr<IUnknown> extra = nullptr);
    IUnknown* Extra() const noexcept { return extra_.Get(); }

private:
    Microsoft::WRL::ComPtr<IUnknown> extra_;
};

// The system's text for an OS error code or HRESULT, without a trailing line break;
// empty when the system has none.
std::wstring SystemErrorText(DWORD code);

// HRESULT_FROM_WIN32 as the plug-in uses it: 0 stays 0, otherwise 0x8007xxxx.
constexpr HRESULT HResultFromOSError(DWORD code) noexcept
{
    return code == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
}

[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseOSError(DWORD code);

// E_UNEXPECTED for an empty pointer.
HRESULT ExceptionToHResult(const std::exception_ptr& error) noexcept;
// The mapping for the exception being handled; meant for catch blocks (E_UNEXPECTED outside).
HRESULT ExceptionToHResult() noexcept;

// The result a COM method returns for the exception being handled: ExceptionToHResult, except
// that a code which is not a failure (an OS error 0, S_FALSE from EFalseError) becomes E_FAIL.
// A caller reads S_OK or S_FALSE as success (a protocol Read's S_FALSE means "end of data"),
// so a failure must never come out as one.
HRESULT ExceptionToComResult() noexcept;
constexpr HRESULT AsFailure(HRESULT code) noexcept
{
    return code >= 0 ? E_FAIL : code;
}

// Runs a COM method's body and answers whatever it raises with ExceptionToComResult, so that no
// exception crosses the COM boundary.
template <typename Body>
HRESULT ComMethod(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return ExceptionToComResult();
    }
}

// The message of any exception, for error pages and tests; "Unknown error" for an empty pointer.
std::wstring ExceptionMessage(const std::exception_ptr& error);

} // namespace kv

// A destination stream with scripted behaviour, for the copy and write helpers.
#pragma once

#include "shell/InterfacedObject.h"
#include "archive/orv7z.h"

#include <algorithm>
#include <string>

namespace kvtest {

// Accepts at most `perCall` bytes per Write (0: accepts nothing), or fails with `failure`;
// `overclaim` reports one byte more than it was given.
class ScriptedSink final
    : public kv::TorvImplements<ScriptedSink, kv::TorvInterfacedObject, kv::ISequentialOutStream> {
public:
    explicit ScriptedSink(UINT32 perCall, HRESULT failure = S_OK, bool overclaim = false)
        : perCall_(perCall), failure_(failure), overclaim_(overclaim)
    {
    }
    static const kv::TorvInterfaceTable& ClassInterfaces() noexcept
    {
        static constexpr kv::TorvInterfaceEntry entries[] = {
            kv::InterfaceEntry<ScriptedSink, kv::ISequentialOutStream>(kv::IID_ISequentialOutStream),
        };
        static constexpr kv::TorvInterfaceTable table =
            kv::MakeInterfaceTable<kv::TorvInterfacedObject>(entries);
        return table;
    }

    HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processed) override
    {
        ++calls;
        if (failure_ != S_OK && !received.empty())
            return failure_;
        const UINT32 taken = std::min(size, perCall_);
        received.append(static_cast<const char*>(data), taken);
        if (processed != nullptr)
            *processed = overclaim_ ? size + 1 : taken;
        return S_OK;
    }

    std::string received;
    int calls = 0;

private:
    UINT32 perCall_;
    HRESULT failure_;  // returned once something has been received
    bool overclaim_;
};

} // namespace kvtest

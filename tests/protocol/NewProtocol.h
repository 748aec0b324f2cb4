// A protocol object of class T made through its class factory, as the URL-moniker layer makes
// one (the factory shows no message boxes in tests).
#pragma once

#include "shell/ComFactory.h"

#include <gtest/gtest.h>
#include <urlmon.h>
#include <wrl/client.h>

template <class T>
Microsoft::WRL::ComPtr<IInternetProtocol> NewProtocol()
{
    static kv::TorvShellExtensionFactory& factory = []() -> kv::TorvShellExtensionFactory& {
        auto& f = kv::CreateExtensionFactory(kv::ExtensionClassOf<T>(), false);
        f.ShowErrors = false;
        return f;
    }();
    Microsoft::WRL::ComPtr<IInternetProtocol> protocol;
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_PPV_ARGS(&protocol)), S_OK);
    return protocol;
}

// A viewer window inside a host window of the test, with the stand-in browser in place of the
// real control.
#pragma once

#include "plugin/KestrelForm.h"
#include "tests/common/FakeBrowser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvtest {

class KestrelFormFixture : public ::testing::Test {
protected:
    void SetUp() override;
    // Destroying the host window destroys the viewer with it (and frees the form).
    void TearDown() override;

    // Gives the viewer this client size.
    void Resize(int width, int height);
    std::vector<std::wstring> Labels() const;
    int SelectedIndex() const;
    // Picks an item as a user does: the list reports the change to its parent.
    void Pick(int index);
    static void Pump();
    static std::wstring MessageOf(const std::exception_ptr& error);

    HWND host_ = nullptr;
    kv::TKestrelForm* form_ = nullptr;
    FakeBrowser* browser_ = nullptr;  // owned by the form
};

// A plain top-level window class for hosts.
const wchar_t* HostWindowClass();

} // namespace kvtest

// Records the addresses the viewer hands to the user's programs instead of launching them,
// for as long as it lives.
#pragma once

#include "plugin/ExternalLinks.h"

#include <string>
#include <vector>

namespace kvtest {

class RecordedLaunches {
public:
    RecordedLaunches()
        : previous_(kv::SetExternalOpener([this](const std::wstring& url) { urls.push_back(url); }))
    {
    }
    ~RecordedLaunches() { kv::SetExternalOpener(std::move(previous_)); }
    RecordedLaunches(const RecordedLaunches&) = delete;
    RecordedLaunches& operator=(const RecordedLaunches&) = delete;

    std::vector<std::wstring> urls;

private:
    kv::ExternalOpener previous_;
};

} // namespace kvtest

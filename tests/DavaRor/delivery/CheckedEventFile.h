// Event-file contents for tests that store texts directly: they must keep the
// limits of stored events, as whatever the store writes does.
#pragma once

#include "DavaRor/delivery/DavaRorEventFileContents.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

inline DavaRorEventFileContents eventFile(std::string text) {
    std::string violation;
    auto checked = DavaRorEventFileContents::check(std::move(text), violation);
    EXPECT_TRUE(checked) << violation;
    return std::move(checked).value();
}

// Turns the client's log on and collects its lines while it lives.
#pragma once

#include "DavaRor/Utils/DavaRorLog.h"
#include "platform/core/LogSink.h"

namespace testsupport {

class DavaRorLogCapture : public platform::log::ScopedCapture {
public:
    DavaRorLogCapture() { davaRorLogEnabled = true; }
    ~DavaRorLogCapture() { davaRorLogEnabled = false; }
};

} // namespace testsupport

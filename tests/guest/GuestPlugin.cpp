// A plug-in of the application that brings the client: set up with crash capture on, closed,
// released.
#include "support/CrashCaptureClient.h"

namespace {
std::shared_ptr<DavaRorSDK> client;
} // namespace

extern "C" void guest_plugin_set_up() {
    client = testsupport::setUpCrashCaptureClient("com.example.davaror-plugin");
    client->capture("plugged in");
}

extern "C" void guest_plugin_close() {
    client->close();
    client.reset();
}

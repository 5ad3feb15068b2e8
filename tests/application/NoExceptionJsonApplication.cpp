// An application that builds the JSON library without exceptions (JSON_NOEXCEPTION: a throw
// aborts) and uses the client: the client's own JSON code, which throws and catches while it
// drops a property that is not UTF-8, runs the library's instantiation, never the
// application's.
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <optional>

int main() {
    testsupport::TemporaryDirectory home;
    testsupport::useHome(home.path());
    const nlohmann::json own = {{"screen", "settings"}, {"count", 3}};
    std::printf("the application's own JSON: %s\n", own.dump().c_str());

    auto client = DavaRorSDK::create();
    std::optional<nlohmann::json> captured;
    const auto token = client->onEventCaptured.subscribe(
        [&](const DavaRorEvent& event) { captured = event.properties; });
    client->setup(testsupport::quietConfig("no-exception-key"));
    client->capture("settings_opened", {{"screen", "settings"}, {"title", "\xff\xfe"}});
    client->close();

    if (!captured || !captured->contains("screen") || captured->contains("title")) {
        std::fprintf(stderr, "FAILED: the event keeps its text property and drops the other\n");
        return 1;
    }
    return 0;
}

#include "DavaRor/DavaRorContext.h"

#include "DavaRor/Utils/DavaRorSdkInfo.h"
#include "DavaRor/delivery/Reachability.h"

#include <sys/utsname.h>

using davaror::Reachability;

namespace {
nlohmann::json makeStaticContext() {
    nlohmann::json context = {
        {"$lib", davaRorSdkName},
        {"$lib_version", davaRorVersion},
        {"$device_type", "Desktop"},
    };
    utsname system{};
    if (uname(&system) == 0) {
        context["$os"] = system.sysname;
        context["$os_version"] = system.release;
        context["$device_model"] = system.machine;
    }
    return context;
}
} // namespace

DavaRorContext::DavaRorContext(std::weak_ptr<Reachability> reachability)
    : reachability_(std::move(reachability)), staticContext_(makeStaticContext()) {}

nlohmann::json DavaRorContext::dynamicContext() const {
    nlohmann::json context = nlohmann::json::object();
    if (auto monitor = reachability_.lock()) {
        const auto connection = monitor->connection();
        context["$network_wifi"] = connection == Reachability::Connection::wifi;
        context["$network_cellular"] = connection == Reachability::Connection::cellular;
    }
    return context;
}

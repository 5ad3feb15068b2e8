#include "DavaRor/delivery/DavaRorEventFileContents.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

std::optional<DavaRorEventFileContents> DavaRorEventFileContents::check(std::string text,
                                                                        std::string& violation) {
    if (auto broken = untrustedJsonLimitViolation(text)) {
        violation = std::move(*broken);
        return std::nullopt;
    }
    return DavaRorEventFileContents(std::move(text));
}

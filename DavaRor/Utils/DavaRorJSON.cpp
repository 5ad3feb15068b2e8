#include "DavaRor/Utils/DavaRorJSON.h"

#include "DavaRor/Utils/DavaRorLog.h"

std::optional<std::string> toJSONData(const nlohmann::json& dictionary,
                                      DavaRorJSONWriting options) {
    try {
        return dictionary.dump(options == DavaRorJSONWriting::prettyPrinted ? 2 : -1);
    } catch (const nlohmann::json::exception& error) {
        davaRorLog(std::string("Failed to serialize dictionary to JSON: ") + error.what());
        return std::nullopt;
    }
}

#include "DavaRor/ErrorTracking/DavaRorStackFrame.h"

#include "DavaRor/ErrorTracking/DavaRorAddresses.h"

nlohmann::json DavaRorStackFrame::toDictionary() const {
    nlohmann::json frame = {{"instruction_addr", addressText(instructionAddress)},
                            {"platform", "apple"},
                            {"in_app", inApp}};
    if (module) {
        frame["module"] = *module;
    }
    if (package) {
        frame["package"] = *package;
    }
    if (imageAddress) {
        frame["image_addr"] = addressText(*imageAddress);
    }
    if (function) {
        frame["function"] = *function;
    }
    if (symbolAddress) {
        frame["symbol_addr"] = addressText(*symbolAddress);
    }
    return frame;
}

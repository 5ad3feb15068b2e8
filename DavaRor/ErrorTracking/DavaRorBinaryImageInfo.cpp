#include "DavaRor/ErrorTracking/DavaRorBinaryImageInfo.h"

#include "DavaRor/ErrorTracking/DavaRorAddresses.h"

nlohmann::json DavaRorBinaryImageInfo::toDictionary() const {
    nlohmann::json image = {{"type", "macho"},
                            {"code_file", name},
                            {"image_addr", addressText(address)},
                            {"image_size", size}};
    if (uuid) {
        image["debug_id"] = *uuid;
    }
    if (vmAddress && *vmAddress != 0) {
        image["image_vmaddr"] = addressText(*vmAddress);
    }
    if (arch) {
        image["arch"] = *arch;
    }
    return image;
}

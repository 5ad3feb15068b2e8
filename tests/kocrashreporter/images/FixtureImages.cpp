#include "FixtureImages.h"

#include "platform/mach/MachPorts.h"

#include <stdexcept>

using platform::mach::mach_task_self;

MappedFixture::MappedFixture(const std::string& name)
    : path_(oracle::fixturePath(name)), mapping_(platform::dyld::MachOImageMapping::map(path_)) {
    if (mapping_ == nullptr) {
        throw std::runtime_error("cannot map fixture " + path_);
    }
    error_ =
        kocrash_nasync_macho_init(&image_, mach_task_self(), path_.c_str(), mapping_->address());
}

MappedFixture::~MappedFixture() {
    if (error_ == KOCRASH_ESUCCESS) {
        kocrash_nasync_macho_free(&image_);
    }
}

const std::vector<std::string>& symbolFixtures() {
    static const std::vector<std::string> names{
        "functions_arm64.dylib", "functions_x86_64.dylib", "functions_armv7.dylib",
        "entry_arm64",           "entry_x86_64",           "entry_armv7",
        "many_arm64.dylib",      "many_x86_64.dylib",      "prologues_arm64.dylib",
        "metadata_arm64.dylib",  "metadata_x86_64.dylib"};
    return names;
}

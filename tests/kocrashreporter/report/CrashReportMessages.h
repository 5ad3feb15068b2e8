// Builds kocrash.CrashReport messages for tests: every allocation belongs to one
// CrashReportMessages object, so a fixture can be changed freely before it is packed.
#pragma once

#include "KOCrashReport.h"
#include "kocrash.pb-c.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

class CrashReportMessages {
public:
    template <typename Message> Message* make(void (*init)(Message*)) {
        auto message = std::make_shared<Message>();
        init(message.get());
        owned_.push_back(message);
        return message.get();
    }

    char* text(const std::string& value);
    ProtobufCBinaryData bytes(const std::vector<std::uint8_t>& value);
    std::uint64_t* numbers(const std::vector<std::uint64_t>& values);

    template <typename Message> Message** list(const std::vector<Message*>& items) {
        auto storage = std::make_shared<std::vector<Message*>>(items);
        owned_.push_back(storage);
        return storage->data();
    }

    Kocrash__CrashReport__Processor* processor(std::uint64_t type, std::uint64_t subtype);
    Kocrash__CrashReport__Thread__StackFrame* frame(std::uint64_t pc);
    Kocrash__CrashReport__Thread__StackFrame* frame(std::uint64_t pc, const std::string& symbol,
                                                    std::uint64_t start);
    Kocrash__CrashReport__BinaryImage* image(std::uint64_t base, std::uint64_t size,
                                             const std::string& path);

private:
    std::vector<std::shared_ptr<void>> owned_;
};

// Stores any number in an enumeration field, as protobuf-c does for numbers it reads; a
// plain cast to the enumeration would be undefined for numbers outside its range.
template <typename Enum> void setStoredEnum(Enum& field, std::int32_t value) {
    static_assert(sizeof(Enum) == sizeof(value));
    std::memcpy(&field, &value, sizeof(value));
}

// "kocrash", version 1, then the message as protobuf-c packs it.
std::vector<std::uint8_t> packWithProtobufC(const Kocrash__CrashReport* report);

// The report decoded from its protobuf-c packing; a decoding error fails the test.
KOCrashReport decodeValid(const Kocrash__CrashReport* message);

// Fixtures. Each is a complete, valid report owned by `messages`.
// Every optional section and field set; 64-bit ARM (arm64e) host.
Kocrash__CrashReport* fullARM64Report(CrashReportMessages& messages);
// Only what the schema requires, plus the one thread and one image a report needs.
Kocrash__CrashReport* minimalReport(CrashReportMessages& messages);
// A 32-bit ARM device report.
Kocrash__CrashReport* arm32Report(CrashReportMessages& messages);
// No thread marked crashed, no machine, process or report information.
Kocrash__CrashReport* noCrashedThreadReport(CrashReportMessages& messages);
// An uncaught exception without a backtrace, on an operating system without symbol rules.
Kocrash__CrashReport* exceptionReport(CrashReportMessages& messages);

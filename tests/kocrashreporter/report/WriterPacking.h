// Packs any protobuf-c message with the crash-time field encoder instead of protobuf-c,
// walking its descriptor the way the crash log writer walks its sections: measure each
// nested message without a file, pack its head, then write its body.
#pragma once

#include "log/KOCrashLogFieldEncoder.h"

#include <protobuf-c/protobuf-c.h>

#include <cstdint>
#include <vector>

// Size of the message's fields; written to `file` unless it is null.
std::size_t packMessageWithWriter(kocrash_async_file* file, const ProtobufCMessage* message);

// A whole crash log file: the head, then the report's fields, all through the encoder.
std::vector<std::uint8_t> packReportWithWriter(const ProtobufCMessage* report);

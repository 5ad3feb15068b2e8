#include "CrashReportMessages.h"

#include "log/KOCrashLogFileFormat.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr std::uint64_t cpuTypeARM = 12;
constexpr std::uint64_t cpuTypeARM64 = 0x100000C;

std::vector<std::uint8_t> sequence(std::uint8_t first, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

Kocrash__CrashReport__SystemInfo* systemInfo(CrashReportMessages& messages,
                                             Kocrash__CrashReport__SystemInfo__OperatingSystem os,
                                             const char* version,
                                             Kocrash__Architecture architecture,
                                             std::int64_t timestamp, const char* build) {
    auto* info = messages.make(kocrash__crash_report__system_info__init);
    info->has_operating_system = 1;
    info->operating_system = os;
    info->os_version = messages.text(version);
    info->architecture = architecture;
    info->timestamp = timestamp;
    info->os_build = build ? messages.text(build) : nullptr;
    return info;
}

Kocrash__CrashReport__ApplicationInfo* applicationInfo(CrashReportMessages& messages,
                                                       const char* identifier, const char* version,
                                                       const char* marketingVersion) {
    auto* info = messages.make(kocrash__crash_report__application_info__init);
    info->identifier = messages.text(identifier);
    info->version = messages.text(version);
    info->marketing_version = marketingVersion ? messages.text(marketingVersion) : nullptr;
    return info;
}

Kocrash__CrashReport__MachineInfo* machineInfo(CrashReportMessages& messages, const char* model,
                                               std::uint64_t type, std::uint64_t subtype,
                                               std::uint32_t processors) {
    auto* info = messages.make(kocrash__crash_report__machine_info__init);
    info->model = model ? messages.text(model) : nullptr;
    info->processor = messages.processor(type, subtype);
    info->processor_count = processors;
    info->logical_processor_count = processors * 2;
    return info;
}

Kocrash__CrashReport__ProcessInfo* processInfo(CrashReportMessages& messages, const char* name,
                                               std::uint32_t pid, const char* path,
                                               const char* parentName) {
    auto* info = messages.make(kocrash__crash_report__process_info__init);
    info->process_name = name ? messages.text(name) : nullptr;
    info->process_id = pid;
    info->process_path = path ? messages.text(path) : nullptr;
    info->parent_process_name = parentName ? messages.text(parentName) : nullptr;
    info->parent_process_id = 1;
    info->native = 1;
    return info;
}

Kocrash__CrashReport__ReportInfo* reportInfo(CrashReportMessages& messages, std::uint8_t first) {
    auto* info = messages.make(kocrash__crash_report__report_info__init);
    info->user_requested = 0;
    info->has_uuid = 1;
    info->uuid = messages.bytes(sequence(first, 16));
    return info;
}

Kocrash__CrashReport__Signal* signal(CrashReportMessages& messages, const char* name,
                                     const char* code, std::uint64_t address) {
    auto* info = messages.make(kocrash__crash_report__signal__init);
    info->name = messages.text(name);
    info->code = messages.text(code);
    info->address = address;
    return info;
}

Kocrash__CrashReport__Thread*
thread(CrashReportMessages& messages, std::uint32_t number, bool crashed,
       const std::vector<Kocrash__CrashReport__Thread__StackFrame*>& frames,
       const std::vector<std::string>& registerNames = {},
       std::uint64_t registerHighStep = 0x1000000000) {
    auto* info = messages.make(kocrash__crash_report__thread__init);
    info->thread_number = number;
    info->crashed = crashed;
    info->n_frames = frames.size();
    info->frames = messages.list(frames);
    std::vector<Kocrash__CrashReport__Thread__RegisterValue*> registers;
    for (std::size_t i = 0; i < registerNames.size(); ++i) {
        auto* value = messages.make(kocrash__crash_report__thread__register_value__init);
        value->name = messages.text(registerNames[i]);
        value->value = registerHighStep * (i % 3) + 0x1111 * (i + 1);
        registers.push_back(value);
    }
    info->n_registers = registers.size();
    info->registers = messages.list(registers);
    return info;
}

void setThreads(CrashReportMessages& messages, Kocrash__CrashReport* report,
                const std::vector<Kocrash__CrashReport__Thread*>& threads) {
    report->n_threads = threads.size();
    report->threads = messages.list(threads);
}

void setImages(CrashReportMessages& messages, Kocrash__CrashReport* report,
               const std::vector<Kocrash__CrashReport__BinaryImage*>& images) {
    report->n_binary_images = images.size();
    report->binary_images = messages.list(images);
}

Kocrash__CrashReport__BinaryImage* withCode(CrashReportMessages& messages,
                                            Kocrash__CrashReport__BinaryImage* image,
                                            std::uint64_t type, std::uint64_t subtype,
                                            std::uint8_t uuidFirst) {
    image->code_type = messages.processor(type, subtype);
    image->has_uuid = 1;
    image->uuid = messages.bytes(sequence(uuidFirst, 16));
    return image;
}

std::vector<std::string> arm64RegisterNames() {
    std::vector<std::string> names;
    for (int i = 0; i <= 28; ++i) {
        names.push_back("x" + std::to_string(i));
    }
    for (const char* name : {"fp", "lr", "sp", "pc", "cpsr"}) {
        names.emplace_back(name);
    }
    return names;
}

} // namespace

char* CrashReportMessages::text(const std::string& value) {
    auto storage = std::make_shared<std::string>(value);
    owned_.push_back(storage);
    return storage->data();
}

ProtobufCBinaryData CrashReportMessages::bytes(const std::vector<std::uint8_t>& value) {
    auto storage = std::make_shared<std::vector<std::uint8_t>>(value);
    owned_.push_back(storage);
    return {storage->size(), storage->data()};
}

std::uint64_t* CrashReportMessages::numbers(const std::vector<std::uint64_t>& values) {
    auto storage = std::make_shared<std::vector<std::uint64_t>>(values);
    owned_.push_back(storage);
    return storage->data();
}

Kocrash__CrashReport__Processor* CrashReportMessages::processor(std::uint64_t type,
                                                                std::uint64_t subtype) {
    auto* processor = make(kocrash__crash_report__processor__init);
    processor->has_encoding = 1;
    processor->encoding = KOCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    processor->type = type;
    processor->subtype = subtype;
    return processor;
}

Kocrash__CrashReport__Thread__StackFrame* CrashReportMessages::frame(std::uint64_t pc) {
    auto* frame = make(kocrash__crash_report__thread__stack_frame__init);
    frame->pc = pc;
    return frame;
}

Kocrash__CrashReport__Thread__StackFrame*
CrashReportMessages::frame(std::uint64_t pc, const std::string& symbol, std::uint64_t start) {
    auto* stackFrame = frame(pc);
    stackFrame->symbol = make(kocrash__crash_report__symbol__init);
    stackFrame->symbol->name = text(symbol);
    stackFrame->symbol->start_address = start;
    return stackFrame;
}

Kocrash__CrashReport__BinaryImage*
CrashReportMessages::image(std::uint64_t base, std::uint64_t size, const std::string& path) {
    auto* image = make(kocrash__crash_report__binary_image__init);
    image->base_address = base;
    image->size = size;
    image->name = text(path);
    return image;
}

std::vector<std::uint8_t> packWithProtobufC(const Kocrash__CrashReport* report) {
    std::vector<std::uint8_t> file(KOCrashLogFileMagic.begin(), KOCrashLogFileMagic.end());
    file.push_back(KOCrashLogFileVersion);
    file.resize(KOCrashLogFileHeaderSize + kocrash__crash_report__get_packed_size(report));
    kocrash__crash_report__pack(report, file.data() + KOCrashLogFileHeaderSize);
    return file;
}

KOCrashReport decodeValid(const Kocrash__CrashReport* message) {
    std::optional<KOError> error;
    auto report = KOCrashReport::initWithData(packWithProtobufC(message), &error);
    EXPECT_FALSE(error.has_value()) << error->localizedDescription();
    return std::move(report).value();
}

Kocrash__CrashReport* fullARM64Report(CrashReportMessages& messages) {
    auto* report = messages.make(kocrash__crash_report__init);
    report->report_info = reportInfo(messages, 0x30);
    report->system_info =
        systemInfo(messages, KOCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X,
                   "14.2.1", KOCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN, 1700000000, "23C71");
    report->machine_info = machineInfo(messages, "Mac14,2", cpuTypeARM64, 2, 8);
    report->application_info = applicationInfo(messages, "com.example.notes", "412", "2.3");
    report->process_info = processInfo(messages, "Notes", 4242,
                                       "/Applications/Notes.app/Contents/MacOS/Notes", "launchd");
    report->process_info->has_start_time = 1;
    report->process_info->start_time = 1699999000;

    auto* symbolWithEnd = messages.frame(0x100003F24, "-[NoteView drawRect:]", 0x100003F00);
    symbolWithEnd->symbol->has_end_address = 1;
    symbolWithEnd->symbol->end_address = 0x100003F80;
    setThreads(
        messages, report,
        {thread(messages, 0, true,
                {symbolWithEnd, messages.frame(0x8000000100003E9C, "_main", 0x100003E80),
                 messages.frame(0x18A1B2C40, "start", 0x18A1B2C30), messages.frame(0xDEADBEEF0)},
                arm64RegisterNames()),
         thread(messages, 1, false,
                {messages.frame(0x18A1B0104), messages.frame(0x100003F80), messages.frame(0)}),
         thread(messages, 2, false, {})});

    auto* emptyUUID =
        withCode(messages, messages.image(0x1001F0000, 0x4000, "/usr/lib/libempty.dylib"),
                 cpuTypeARM64, 0, 0);
    emptyUUID->uuid = messages.bytes({});
    setImages(
        messages, report,
        {withCode(messages,
                  messages.image(0x18A1B0000, 0x20000, "/usr/lib/system/libsystem_kernel.dylib"),
                  cpuTypeARM64, 2, 0x00),
         withCode(
             messages,
             messages.image(0x100000000, 0x8000, "/Applications/Notes.app/Contents/MacOS/Notes"),
             cpuTypeARM64, 2, 0xA0),
         messages.image(0x18A1B0000, 0x1000, "/usr/lib/system/libsystem_shadow.dylib"),
         messages.image(0x100100000, 1, "/usr/lib/dyld"), emptyUUID});

    report->exception = messages.make(kocrash__crash_report__exception__init);
    report->exception->name = messages.text("NSInvalidArgumentException");
    report->exception->reason = messages.text("-[NSNull length]: unrecognized selector");
    const std::vector<Kocrash__CrashReport__Thread__StackFrame*> exceptionFrames = {
        messages.frame(0x8000000100003F10, "_main", 0x100003E80),
        messages.frame(0x18A1B2C40, "start", 0x18A1B2C30)};
    report->exception->n_frames = exceptionFrames.size();
    report->exception->frames = messages.list(exceptionFrames);

    report->signal = signal(messages, "SIGSEGV", "SEGV_ACCERR", 0x10);
    report->signal->mach_exception =
        messages.make(kocrash__crash_report__signal__mach_exception__init);
    report->signal->mach_exception->type = 1;
    report->signal->mach_exception->n_codes = 2;
    report->signal->mach_exception->codes = messages.numbers({2, 0x10});

    report->has_custom_data = 1;
    report->custom_data = messages.bytes({'{', '"', 'a', '"', ':', '1', '}', 0x00, 0xFF});
    return report;
}

Kocrash__CrashReport* minimalReport(CrashReportMessages& messages) {
    auto* report = messages.make(kocrash__crash_report__init);
    report->system_info = messages.make(kocrash__crash_report__system_info__init);
    report->system_info->os_version = messages.text("13.0");
    report->system_info->architecture = KOCRASH__ARCHITECTURE__ARMV7;
    report->application_info = applicationInfo(messages, "com.example.min", "1", nullptr);
    setThreads(messages, report, {thread(messages, 0, false, {})});
    setImages(messages, report, {messages.image(0x1000, 0x1000, "/bin/min")});
    report->signal = signal(messages, "SIGTRAP", "#0", 0);
    return report;
}

Kocrash__CrashReport* arm32Report(CrashReportMessages& messages) {
    auto* report = messages.make(kocrash__crash_report__init);
    report->report_info = reportInfo(messages, 0xC0);
    report->system_info =
        systemInfo(messages, KOCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS,
                   "9.3.5", KOCRASH__ARCHITECTURE__ARMV7, 1467331200, "13G36");
    report->machine_info = machineInfo(messages, "iPhone5,2", cpuTypeARM, 9, 2);
    report->application_info = applicationInfo(messages, "com.example.pad", "77", nullptr);
    report->process_info = processInfo(messages, "Pad", 311,
                                       "/var/containers/Bundle/Application/Pad.app/Pad", "launchd");

    std::vector<std::string> registers;
    for (int i = 0; i <= 12; ++i) {
        registers.push_back("r" + std::to_string(i));
    }
    for (const char* name : {"sp", "lr", "pc", "cpsr"}) {
        registers.emplace_back(name);
    }
    setThreads(messages, report,
               {thread(messages, 0, false, {messages.frame(0x3800120), messages.frame(0x0)}),
                thread(messages, 1, true,
                       {messages.frame(0x1F2C0, "_crashHere", 0x1F2A0),
                        messages.frame(0x1F400, "__mh_execute_header", 0x4000)},
                       registers, 0x10000000)});
    setImages(
        messages, report,
        {withCode(messages,
                  messages.image(0x4000, 0x40000, "/var/containers/Bundle/Application/Pad.app/Pad"),
                  cpuTypeARM, 9, 0x10),
         withCode(messages, messages.image(0x3800000, 0x80000, "/usr/lib/system/libsystem_c.dylib"),
                  cpuTypeARM, 11, 0x20),
         withCode(messages, messages.image(0x3900000, 0x1000, "/usr/lib/libold.dylib"), cpuTypeARM,
                  6, 0x30),
         withCode(messages, messages.image(0x3A00000, 0x1000, "/usr/lib/libnew.dylib"), cpuTypeARM,
                  0x80000013, 0x40)});
    report->signal = signal(messages, "SIGBUS", "BUS_ADRALN", 0x2B5A1);
    return report;
}

Kocrash__CrashReport* noCrashedThreadReport(CrashReportMessages& messages) {
    auto* report = messages.make(kocrash__crash_report__init);
    report->system_info =
        systemInfo(messages, KOCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_SIMULATOR,
                   "17.0", KOCRASH__ARCHITECTURE__X86_64, 0, nullptr);
    report->application_info = applicationInfo(messages, "com.example.sim", "5", "1.0");
    setThreads(messages, report,
               {thread(messages, 0, false, {messages.frame(0x10A000010, "_start", 0x10A000000)}),
                thread(messages, 1, false, {messages.frame(0)})});
    setImages(messages, report, {messages.image(0x10A000000, 0x1000, "/tmp/Sim.app/Sim")});
    report->signal = signal(messages, "SIGTRAP", "TRAP_BRKPT", 0);
    return report;
}

Kocrash__CrashReport* exceptionReport(CrashReportMessages& messages) {
    auto* report = messages.make(kocrash__crash_report__init);
    report->report_info = reportInfo(messages, 0xE0);
    report->system_info =
        systemInfo(messages, KOCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN,
                   "1.0", KOCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN, 86400, nullptr);
    report->machine_info = machineInfo(messages, nullptr, cpuTypeARM64, 0, 1);
    report->application_info = applicationInfo(messages, "com.example.exc", "3", nullptr);
    report->process_info = processInfo(messages, "Exc", 7, nullptr, nullptr);
    setThreads(messages, report,
               {thread(messages, 0, true, {messages.frame(0x100000F10, "_handler", 0x100000F00)},
                       {"x0", "x1", "x2", "r12", "sp"})});
    setImages(messages, report,
              {withCode(messages, messages.image(0x100000000, 0x2000, "/opt/exc/Exc"), cpuTypeARM64,
                        1, 0x50)});
    report->exception = messages.make(kocrash__crash_report__exception__init);
    report->exception->name = messages.text("MyError");
    report->exception->reason = messages.text("");
    report->signal = signal(messages, "SIGABRT", "#0", 0);
    return report;
}

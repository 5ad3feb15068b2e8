// Which zone name the flags request carries, from $TZ and the /etc/localtime
// link, over a zone database made in a temporary folder.
#include "DavaRor/delivery/DavaRorTimeZone.h"

#include "support/Files.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using testsupport::writeFile;

TEST(DavaRorTimeZone, NamesAZoneNeverAPathOrARule) {
    testsupport::TemporaryDirectory root;
    const fs::path zoneinfo = root.path() / "share" / "zoneinfo";
    for (const char* zone : {"Europe/Berlin", "posix/Asia/Tokyo", "EST5EDT"}) {
        fs::create_directories((zoneinfo / zone).parent_path());
        writeFile(zoneinfo / zone, std::string("TZif2") + std::string(40, '\0'));
    }
    writeFile(zoneinfo / "zone.tab", "DE\t+5230+01322\tEurope/Berlin\n");
    const fs::path linked = root.path() / "localtime-link";
    fs::create_symlink("../share/zoneinfo/posix/Asia/Tokyo", linked);
    const fs::path copied = root.path() / "localtime-copy";
    fs::copy_file(zoneinfo / "Europe/Berlin", copied);

    struct Case {
        std::optional<std::string> tz;
        fs::path localtime;
        std::string expected;
    };
    const Case cases[] = {
        {"Europe/Berlin", linked, "Europe/Berlin"},
        {":Europe/Berlin", linked, "Europe/Berlin"},
        {"EST5EDT", linked, "EST5EDT"},
        {":/usr/share/zoneinfo/America/New_York", linked, "America/New_York"},
        {"/etc/localtime", linked, "Asia/Tokyo"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", linked, "Asia/Tokyo"},
        {"CET-1", linked, "Asia/Tokyo"},
        {"<+03>-3", linked, "Asia/Tokyo"},
        {"Europe/../../../etc/passwd", linked, "Asia/Tokyo"},
        {"zone.tab", linked, "Asia/Tokyo"},
        {"Mars/Olympus", linked, "Asia/Tokyo"},
        {"", linked, "Asia/Tokyo"},
        {std::nullopt, linked, "Asia/Tokyo"},
        {std::nullopt, copied, "UTC"},
        {std::nullopt, root.path() / "missing", "UTC"},
        {"CET-1", copied, "UTC"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(timeZoneIdentifier({c.tz, c.localtime, zoneinfo}), c.expected)
            << c.tz.value_or("(unset)") << " with " << c.localtime.filename();
    }
}

} // namespace

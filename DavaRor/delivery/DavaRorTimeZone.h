// The system's time zone as an IANA name, e.g. "Europe/Berlin".
#pragma once

#include <string>

// From $TZ, else the zoneinfo file /etc/localtime links to, else
// /etc/timezone; "UTC" when none of them names a zone.
std::string currentTimeZoneIdentifier();

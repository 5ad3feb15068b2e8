// Reads one HTTP/1.1 request from the bytes received so far, with its body
// framed by Content-Length or by chunked transfer coding.
#pragma once

#include "support/RecordedRequest.h"

#include <optional>
#include <string_view>

namespace testsupport {

// None while the bytes do not yet hold a whole request.
std::optional<RecordedRequest> parseHttpRequest(std::string_view received);

} // namespace testsupport

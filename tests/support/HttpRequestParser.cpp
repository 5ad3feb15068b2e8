#include "support/HttpRequestParser.h"

#include <strings.h>

#include <charconv>
#include <cstddef>

namespace testsupport {

namespace {

constexpr std::string_view lineEnd = "\r\n";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Returns where the chunked body ends, or none while it is incomplete.
std::optional<size_t> readChunkedBody(std::string_view received, size_t position,
                                      std::string& body) {
    for (;;) {
        const size_t sizeEnd = received.find(lineEnd, position);
        if (sizeEnd == std::string_view::npos) {
            return std::nullopt;
        }
        size_t chunkSize = 0;
        std::from_chars(received.data() + position, received.data() + sizeEnd, chunkSize, 16);
        position = sizeEnd + lineEnd.size();
        if (chunkSize == 0) {
            break;
        }
        if (received.size() < position + chunkSize + lineEnd.size()) {
            return std::nullopt;
        }
        body.append(received.substr(position, chunkSize));
        position += chunkSize + lineEnd.size();
    }
    // Trailer fields, up to the empty line that closes the message.
    for (;;) {
        const size_t trailerEnd = received.find(lineEnd, position);
        if (trailerEnd == std::string_view::npos) {
            return std::nullopt;
        }
        const bool isLastLine = trailerEnd == position;
        position = trailerEnd + lineEnd.size();
        if (isLastLine) {
            return position;
        }
    }
}

} // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::string RecordedRequest::path() const {
    return target.substr(0, target.find('?'));
}

std::optional<std::string> RecordedRequest::query() const {
    const auto mark = target.find('?');
    if (mark == std::string::npos) {
        return std::nullopt;
    }
    return target.substr(mark + 1);
}

std::optional<RecordedRequest> parseHttpRequest(std::string_view received) {
    const size_t headerEnd = received.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) {
        return std::nullopt;
    }
    RecordedRequest request;
    const std::string_view head = received.substr(0, headerEnd);
    const size_t requestLineEnd = std::min(head.find(lineEnd), head.size());
    const std::string_view requestLine = head.substr(0, requestLineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    size_t lineStart = requestLineEnd + lineEnd.size();
    while (lineStart < head.size()) {
        const size_t end = std::min(head.find(lineEnd, lineStart), head.size());
        const std::string_view line = head.substr(lineStart, end - lineStart);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            request.headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                         std::string(trimmed(line.substr(colon + 1))));
        }
        lineStart = end + lineEnd.size();
    }

    const size_t bodyStart = headerEnd + 4;
    size_t messageEnd = bodyStart;
    const auto transferEncoding = request.header("Transfer-Encoding");
    if (transferEncoding && equalsIgnoringCase(*transferEncoding, "chunked")) {
        const auto end = readChunkedBody(received, bodyStart, request.body);
        if (!end) {
            return std::nullopt;
        }
        messageEnd = *end;
    } else if (const auto length = request.header("Content-Length")) {
        size_t contentLength = 0;
        std::from_chars(length->data(), length->data() + length->size(), contentLength);
        if (received.size() < bodyStart + contentLength) {
            return std::nullopt;
        }
        request.body = received.substr(bodyStart, contentLength);
        messageEnd = bodyStart + contentLength;
    }
    request.raw = received.substr(0, messageEnd);
    return request;
}

} // namespace testsupport

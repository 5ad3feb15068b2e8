#include "WorstReplies.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

#include <functional>

namespace replybench {

namespace {

// Room for the few values and bytes around the filling.
constexpr std::size_t valueBudget = maxUntrustedJsonValues - 16;
constexpr std::size_t byteBudget = maxUntrustedJsonBytes - 256;

// An array or object of as many elements as the budgets allow, element `i`
// being `element(i)`, which counts as `valuesEach` values.
std::string filled(char open, char close, std::size_t valuesEach,
                   const std::function<std::string(std::size_t)>& element) {
    std::string text(1, open);
    for (std::size_t i = 0; i < valueBudget / valuesEach; ++i) {
        const std::string next = element(i);
        if (text.size() + next.size() + 2 > byteBudget) {
            break;
        }
        text += next;
        text += ',';
    }
    text.back() = close;
    return text;
}

std::string emptyArrays() {
    return filled('[', ']', 1, [](std::size_t) { return "[]"; });
}

std::string emptyTexts() {
    return filled('[', ']', 1, [](std::size_t) { return "\"\""; });
}

// Each member costs a map node and its name.
std::string members() {
    return filled('{', '}', 2, [](std::size_t i) { return "\"" + std::to_string(i) + "\":0"; });
}

} // namespace

std::vector<WorstReply> worstReplies() {
    const std::string flags = "/flags";
    const std::string config = "/array/key/config";
    std::vector<WorstReply> replies;
    using Filling = std::string (*)();
    const std::pair<std::string, Filling> shapes[] = {
        {"empty arrays", emptyArrays}, {"empty texts", emptyTexts}, {"members", members}};
    for (const auto& [name, fill] : shapes) {
        replies.push_back({"flag value of " + name, flags, [fill] {
                               return R"({"featureFlags":{"big":)" + fill() +
                                      R"(},"featureFlagPayloads":{}})";
                           }});
        replies.push_back({"flag payload in details of " + name, flags, [fill] {
                               return R"({"flags":{"big":{"enabled":true,"metadata":{"payload":)" +
                                      fill() + "}}}}";
                           }});
        replies.push_back(
            {"config document of " + name, config, [fill] { return R"({"big":)" + fill() + "}"; }});
    }
    replies.push_back({"flag values as members", flags, [] {
                           return R"({"featureFlags":)" + members() +
                                  R"(,"featureFlagPayloads":{}})";
                       }});
    return replies;
}

} // namespace replybench

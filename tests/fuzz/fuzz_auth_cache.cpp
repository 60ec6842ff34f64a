// Authorization cache contents: any bytes as the cache file, the first line
// of the input as the idTag. Checking and updating must never crash or read
// past the content; an update leaves only complete lines, one for the card,
// at the end, and stays within the file's bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "auth_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = in.find('\n');
    const std::string_view tag = cut == std::string_view::npos ? std::string_view() : in.substr(0, std::min<std::size_t>(cut, 20));
    std::string content(cut == std::string_view::npos ? in : in.substr(cut + 1));
    if (content.size() > ocppj::kCacheMaxBytes) content.resize(ocppj::kCacheMaxBytes);

    std::string parent;
    const int answer = ocppj::CheckCacheText(content, tag, 1709288430, &parent);
    if (answer != ocppj::kCacheAccepted && answer != ocppj::kCacheRefused && answer != ocppj::kCacheUnknown) std::abort();
    if (parent.size() > ocppj::kCacheFieldMax) std::abort();

    if (!ocppj::UpdateCacheText(content, tag, "2024-03-02T10:20:30Z", "PARENT1", 0)) return 0;
    if (content.size() < 2 || content.compare(content.size() - 2, 2, "\r\n") != 0) std::abort();
    if (content.size() > ocppj::kCacheMaxBytes) std::abort();
    if (ocppj::CheckCacheText(content, tag, 1709288430, &parent) != ocppj::kCacheAccepted) std::abort();
    return 0;
}

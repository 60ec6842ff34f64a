// Local list contents: any bytes as the list file, the first line of the
// input as the idTag. The lookup must never crash or read past the content;
// an update keeps only whole entry lines, within the list's bounds, and the
// entry it wrote is found again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "local_list.h"
#include "messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = in.find('\n');
    const std::string tag(cut == std::string_view::npos ? std::string_view() : in.substr(0, std::min<std::size_t>(cut, 20)));
    std::string content(cut == std::string_view::npos ? in : in.substr(cut + 1));
    if (content.size() > ocppj::kLocalListMaxBytes) content.resize(ocppj::kLocalListMaxBytes);

    std::string parent, log;
    const int answer = ocppj::CheckLocalListText(content, tag, 1709288430, &parent, &log);
    if (answer != ocppj::kListAccepted && answer != ocppj::kListRefused && answer != ocppj::kListNotListed) std::abort();
    if (parent.size() > 20 || log.empty()) std::abort();

    ocppj::LocalListEntry e{};
    if (!ocppj::PutText(e.idTag, tag) || !ocppj::PutText(e.status, "Accepted") || !ocppj::PutText(e.parentIdTag, "P"))
        return 0;
    if (!ocppj::UpdateLocalListText(content, e)) return 0;
    if (content.size() < 2 || content.compare(content.size() - 2, 2, "\r\n") != 0) std::abort();
    if (content.size() > ocppj::kLocalListMaxBytes) std::abort();
    if (ocppj::CheckLocalListText(content, tag, 1709288430, &parent, &log) != ocppj::kListAccepted || parent != "P")
        std::abort();
    return 0;
}

#include "local_list.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <string_view>
#include <unordered_map>

#include "command_area.h"
#include "files.h"
#include "paths.h"

namespace ocpps {

std::string EditLocalList(std::string text, const std::vector<ListEntry>& entries) {
    // A tail without its CR LF is not a line of the list.
    const std::size_t last = text.rfind("\r\n");
    text.resize(last == std::string::npos ? 0 : last + 2);
    // A line is found through an index of idTags (the text before a line's
    // first ':'), so n entries cost one pass over the file and n look-ups.
    struct Line {
        const char* data;
        std::size_t size;
        bool kept;
    };
    std::vector<Line> lines;
    std::deque<std::string> added;
    std::unordered_map<std::string_view, std::size_t> lineOf;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = text.find("\r\n", begin) + 2;
        const std::string_view line(text.data() + begin, end - begin);
        const std::size_t colon = line.find(':');
        if (colon < line.size() - 2) lineOf.emplace(line.substr(0, colon), lines.size());
        lines.push_back({line.data(), line.size(), true});
        begin = end;
    }
    for (const ListEntry& e : entries) {
        if (const auto it = lineOf.find(e.idTag); it != lineOf.end()) {
            lines[it->second].kept = false;
            lineOf.erase(it);
        }
        if (!e.hasInfo) continue;
        const std::string& line = added.emplace_back(e.idTag + ":" + std::to_string(e.expiry) + ":" + e.parentIdTag +
                                                     ":" + static_cast<char>('0' + (e.status & 0x0F)) + "\r\n");
        lineOf.emplace(std::string_view(line.data(), e.idTag.size()), lines.size());
        lines.push_back({line.data(), line.size(), true});
    }
    std::size_t size = 0;
    for (const Line& l : lines) size += l.kept ? l.size : 0;
    std::string out;
    out.reserve(size);
    for (const Line& l : lines) {
        if (l.kept) out.append(l.data, l.size);
    }
    return out;
}

std::uint8_t ApplyLocalList(regmap::RegisterMap map, bool full, std::int32_t listVersion,
                            const std::vector<ListEntry>& entries) {
    if (!full && listVersion <= map.get(cmd::LOCAL_LIST_VERSION)) return kUpdateVersionMismatch;
    const std::string path = platform::SystemPath(kLocalListFile);
    std::string text;
    if (!full) {
        text = platform::ReadTextFile(path, kLocalListMaxBytes + 1);
        if (text.size() > kLocalListMaxBytes) return kUpdateFailed;
    }
    text = EditLocalList(std::move(text), entries);
    if (text.size() >= kLocalListMaxBytes) return kUpdateFailed;
    if (full && text.empty()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return kUpdateFailed;
    } else if (!platform::ReplaceFile(path, text, 0644)) {
        return kUpdateFailed;
    }
    map.set(cmd::LOCAL_LIST_VERSION, listVersion);
    return kUpdateAccepted;
}

}  // namespace ocpps

#include "local_list.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "command_area.h"
#include "files.h"
#include "paths.h"

namespace ocpps {

namespace {

// The idTag of a line: the text before its first ':'.
bool LineIs(const std::string& text, std::size_t begin, std::size_t end, const std::string& idTag) {
    return end - begin > idTag.size() && text.compare(begin, idTag.size(), idTag) == 0 && text[begin + idTag.size()] == ':';
}

}  // namespace

std::string EditLocalList(std::string text, const std::vector<ListEntry>& entries) {
    // A tail without its CR LF is not a line of the list.
    const std::size_t last = text.rfind("\r\n");
    text.resize(last == std::string::npos ? 0 : last + 2);
    for (const ListEntry& e : entries) {
        for (std::size_t begin = 0; begin < text.size();) {
            const std::size_t end = text.find("\r\n", begin) + 2;
            if (LineIs(text, begin, end, e.idTag)) {
                text.erase(begin, end - begin);
                break;
            }
            begin = end;
        }
        if (!e.hasInfo) continue;
        text += e.idTag + ":" + std::to_string(e.expiry) + ":" + e.parentIdTag + ":" +
                static_cast<char>('0' + (e.status & 0x0F)) + "\r\n";
    }
    return text;
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

#include "local_list.h"

#include <cstdlib>
#include <filesystem>
#include <vector>
#include <utility>

#include "auth_cache.h"
#include "files.h"
#include "messages.h"
#include "ocpp_time.h"
#include "paths.h"
#include "tarnet.h"

namespace ocppj {

namespace {

constexpr std::string_view kListEol = "\r\n";
constexpr std::string_view kSep = ":~";
constexpr std::string_view kEmptyList = "0\n";

// The idTag of a line (before its first ":~"); false when it has none.
bool ListLineTag(std::string_view line, std::string_view* tag) {
    const std::size_t sep = line.find(kSep);
    if (sep == std::string_view::npos) return false;
    *tag = line.substr(0, sep);
    return true;
}

// Calls f(line start, line end including CR LF or the content's end) per line.
template <typename F>
void EachLine(std::string_view content, F f) {
    for (std::size_t pos = 0; pos < content.size();) {
        const std::size_t eol = content.find(kListEol, pos);
        const std::size_t end = eol == std::string_view::npos ? content.size() : eol + kListEol.size();
        if (!f(pos, end)) return;
        pos = end;
    }
}

bool Writable(std::string_view field) {
    return field.find(kSep) == std::string_view::npos && field.find_first_of("\r\n") == std::string_view::npos;
}

std::size_t CountEntries(std::string_view content) {
    std::size_t n = 0;
    EachLine(content, [&](std::size_t a, std::size_t b) {
        std::string_view tag;
        if (ListLineTag(content.substr(a, b - a), &tag)) ++n;
        return true;
    });
    return n;
}

}  // namespace

// Empty is no entry line anywhere: a long first line (kept from an older
// file) must not hide the entries after it.
bool LocalListTextEmpty(std::string_view content) { return CountEntries(content) == 0; }

int CheckLocalListText(std::string_view content, std::string_view idTag, std::int64_t now, std::string* parent,
                       std::string* logText) {
    auto result = [&](int r, const char* text) {
        if (logText) *logText = text;
        return r;
    };
    if (LocalListTextEmpty(content)) return result(kListNotListed, "[Info] No Local List Info\n");
    std::string_view line;
    bool found = false;
    if (!idTag.empty()) {
        EachLine(content, [&](std::size_t a, std::size_t b) {
            std::string_view tag;
            if (ListLineTag(content.substr(a, b - a), &tag) && SameIdTag(tag, idTag)) {
                line = content.substr(a, b - a);
                found = true;
            }
            return !found;
        });
    }
    if (!found) return result(kListNotListed, "[Info] Can't Find Charger User ID\n");

    std::size_t pos = line.find(kSep) + kSep.size();
    const std::size_t colon = line.find(':', pos);
    if (colon == std::string_view::npos) return result(kListRefused, "[Info] Local List Form Failed: Expired Date\n");
    const std::string_view expiry = line.substr(pos, colon - pos);
    pos = colon + 1;
    const std::size_t sep = line.find(kSep, pos);
    if (sep == std::string_view::npos) return result(kListRefused, "[Info] Local List Form Failed: Parent ID\n");
    const std::string_view parentText = line.substr(pos, sep - pos);
    pos = sep + kSep.size();
    const std::size_t eol = line.find(kListEol, pos);
    if (eol == std::string_view::npos) return result(kListRefused, "[Info] Local List Form Failed: Status\n");
    const std::string_view status = line.substr(pos, eol - pos);

    if (!expiry.empty()) {
        // Anything but a plain number in the expiry is no date the list wrote.
        if (expiry.size() > 18 || expiry.find_first_not_of("0123456789") != std::string_view::npos)
            return result(kListRefused, "[Info] Local List Form Failed: Expired Date\n");
        if (now >= std::atoll(std::string(expiry).c_str())) return result(kListRefused, "[Info] Charge User ID Expired\n");
    }
    if (parent) *parent = std::string(parentText.substr(0, 20));
    if (status == "Accepted") return result(kListAccepted, "[Info] Charge User ID Accept\n");
    return result(kListRefused, "[Info] Charge User ID Reject\n");
}

bool UpdateLocalListText(std::string& content, const LocalListEntry& entry) {
    const std::string idTag = FieldText(entry.idTag);
    const std::string expiryDate = FieldText(entry.expiryDate);
    const std::string parentIdTag = FieldText(entry.parentIdTag);
    const std::string status = FieldText(entry.status);
    if (idTag.empty() || !Writable(idTag) || !Writable(parentIdTag) || !Writable(status)) return false;
    std::string expiry;
    if (!expiryDate.empty()) {
        const std::int64_t e = UtcToEpoch(expiryDate);
        if (e <= 0) return false;  // a date that cannot be read back would never expire
        expiry = std::to_string(e);
    }

    std::string next;
    next.reserve(content.size() + 128);
    EachLine(content, [&](std::size_t a, std::size_t b) {
        const std::string_view line = std::string_view(content).substr(a, b - a);
        std::string_view tag;
        // Only entry lines are kept; the tag must match whole, so a tag that
        // begins another keeps the other.
        if (ListLineTag(line, &tag) && line.size() >= kListEol.size() &&
            line.substr(line.size() - kListEol.size()) == kListEol && !SameIdTag(tag, idTag))
            next.append(line);
        return true;
    });
    if (!status.empty()) {
        next.append(idTag).append(kSep).append(expiry).append(":").append(parentIdTag).append(kSep).append(status);
        next.append(kListEol);
    }
    if (next.size() > kLocalListMaxBytes || CountEntries(next) > kLocalListMaxEntries) return false;
    content = std::move(next);
    return true;
}

void LocalList::Init(const std::string& storagePath) {
    dir_ = storagePath;
    if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
    dir_ += "LocalList/";
    path_ = platform::SystemPath(dir_ + "LocalList");
}

bool LocalList::Read(std::string* content) const {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        content->clear();
        return !ec;
    }
    std::string text;
    if (!platform::ReadFileAtMost(path_, kLocalListMaxBytes + 1, &text) || text.size() > kLocalListMaxBytes) return false;
    *content = std::move(text);
    return true;
}

bool LocalList::Write(const std::string& content) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    return platform::ReplaceFile(path_, content.empty() ? std::string(kEmptyList) : content);
}

bool LocalList::WriteVersion(std::int32_t version) const {
    return WriteValueFile(dir_, "Version", std::to_string(version));
}

std::int32_t LocalList::ReadVersion() const { return std::atoi(ReadValueFile(dir_, "Version").c_str()); }

}  // namespace ocppj

// The authorization cache: the idTagInfo the central system gave for each
// idTag, one line per idTag in "[Fennick]OCPP_Cache" under the storage path,
// so a known card is accepted without asking and while the link is down.
//
// A line is "<idTag>| <expiry epoch seconds or nothing>| <parent or nothing>|<0 or 1>"
// and CR LF; 0 = accepted. The file never grows past 1 MiB: when it is full
// the oldest line goes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ocppj {

inline constexpr std::size_t kCacheMaxBytes = 1048576;
// A new card that does not replace one drops the oldest line from this size on.
inline constexpr std::size_t kCacheFullBytes = kCacheMaxBytes - 100;
// Fields are read back up to this many characters.
inline constexpr std::size_t kCacheFieldMax = 32;

// Answers of CheckCache.
inline constexpr int kCacheAccepted = 0;
inline constexpr int kCacheRefused = 1;   // not accepted, expired, or the file cannot be read
inline constexpr int kCacheUnknown = 3;   // no line for the idTag

// idTags compare without regard to case.
bool SameIdTag(std::string_view a, std::string_view b);

// Epoch seconds of "%u-%u-%uT%u:%u:%u" read as local time, with month 1-12,
// day 1-31, hour 0-23, minute 0-59, second 0-59 (a day past the month's end
// rolls over); false for any other text.
bool date2timestamp(std::string_view text, std::int64_t* out);

// The cache's rules on its content, without the file.
// The answer for `idTag` at `now`; the parent id of an accepted line goes to `parent`.
int CheckCacheText(std::string_view content, std::string_view idTag, std::int64_t now, std::string* parent);
// Replaces or appends the line of `idTag`; false when nothing can be stored.
bool UpdateCacheText(std::string& content, std::string_view idTag, std::string_view expiryDate,
                     std::string_view parentIdTag, int status);

class AuthCache {
public:
    // Names the file under `storagePath` and creates it empty when missing.
    void Init(const std::string& storagePath);
    // ClearCache: the file is deleted.
    void Clear();
    // 0 written, 1 not written (empty idTag, unreadable or unwritable file).
    int Update(std::string_view idTag, std::string_view expiryDate, std::string_view parentIdTag, int status);
    // kCacheAccepted (parent copied out), kCacheRefused or kCacheUnknown.
    int Check(std::string_view idTag, std::string* parent);
    // The file's path as the system sees it (inside the station root).
    const std::string& Path() const { return path_; }

private:
    bool Read(std::string* content) const;
    std::string path_;
};

}  // namespace ocppj

// The local authorization list: one line per idTag in "LocalList" under
// `storagePath` + "LocalList/", in the order the entries came,
//   idTag ":~" expiry ":" parentIdTag ":~" status CR LF
// with the expiry as decimal epoch seconds (empty: none). A list without
// entries is "0\n". The list's version is the value file "Version" beside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "command_slots.h"

namespace ocppj {

inline constexpr std::size_t kLocalListMaxBytes = 480000;
inline constexpr std::size_t kLocalListMaxEntries = 5000;

// Answers of the lookup.
inline constexpr int kListRefused = 0;   // listed but expired, not Accepted, or unreadable
inline constexpr int kListNotListed = 3;
inline constexpr int kListAccepted = 4;

// The lookup of `idTag` (any case) at `now`: the answer, the entry's parent
// and the log text of the outcome.
int CheckLocalListText(std::string_view content, std::string_view idTag, std::int64_t now, std::string* parent,
                       std::string* logText);
// True when the content holds no entry.
bool LocalListTextEmpty(std::string_view content);

// Applies one entry: its old line goes, a new one is appended when it has a
// status. False (content unchanged) when a field cannot be written as a line
// or the list would pass its bounds.
bool UpdateLocalListText(std::string& content, const LocalListEntry& entry);

class LocalList {
public:
    void Init(const std::string& storagePath);
    // Reads the list ("" when missing); false when it cannot be read whole.
    bool Read(std::string* content) const;
    // Replaces the list whole; an empty one is written as "0\n".
    bool Write(const std::string& content) const;
    bool WriteVersion(std::int32_t version) const;
    std::int32_t ReadVersion() const;
    const std::string& Path() const { return path_; }

private:
    std::string dir_;   // storage form, for the value file
    std::string path_;  // system path of the list
};

}  // namespace ocppj

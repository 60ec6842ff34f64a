// The local authorization list "/Storage/OCPPLocalList" that the station's
// own authorisation consults: one line per idTag, "idTag:expiry:parent:status"
// ended by CR LF, changed and new entries at the end. Its version lives in
// the register map (7301-7304).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "regmap.h"

namespace ocpps {

inline constexpr const char* kLocalListFile = "/Storage/OCPPLocalList";
// The list, with the new line, stays below this size.
inline constexpr std::size_t kLocalListMaxBytes = 5 * 1024 * 1024;

struct ListEntry {
    std::string idTag;
    bool hasInfo = false;  // without idTagInfo the idTag is removed
    std::uint8_t status = 0;
    std::int32_t expiry = 0;  // 0 when none
    std::string parentIdTag;
};

// UpdateStatus codes.
inline constexpr std::uint8_t kUpdateAccepted = 0;
inline constexpr std::uint8_t kUpdateFailed = 1;
inline constexpr std::uint8_t kUpdateVersionMismatch = 4;

// Applies a SendLocalList (full: true for Full) to the file and the version:
// the file is read once, every entry applied in list order, and the result
// replaces the file whole (temporary file, fsync, rename), or the file is
// removed when a Full list is empty. Returns the UpdateStatus; on Failed or
// VersionMismatch neither the file nor the version changed.
std::uint8_t ApplyLocalList(regmap::RegisterMap map, bool full, std::int32_t listVersion,
                            const std::vector<ListEntry>& entries);

// The file's text after applying the entries to `text` (no file access).
std::string EditLocalList(std::string text, const std::vector<ListEntry>& entries);

}  // namespace ocpps

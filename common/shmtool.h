// The register-map tool's commands, on an attached segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace shmtool {

// Runs one command ("read FIELD [TYPE]" or "write FIELD VALUE [TYPE]") on the
// segment. FIELD is a decimal or 0x offset or a SHRMEM_ name; TYPE is one of
// u8 u16 u16le s16le u32 s32le ip text:N bytes:N (a named field has its own).
// Returns 0 and the output line, or 2 and an error message.
int Execute(const std::vector<std::string>& args, std::uint8_t* base, std::size_t size, std::string& out);

// A System V key given on the command line (decimal, 0x hex or 0 octal), as
// the int the kernel takes: 1 to 0xFFFFFFFF, the upper half as negative keys.
// Anything else, 0 (a private segment) included, is no segment key.
std::optional<int> ParseSegmentKey(const std::string& text);

}  // namespace shmtool

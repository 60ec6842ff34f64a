// The register-map tool's commands, on an attached segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace shmtool {

// Runs one command ("read FIELD [TYPE]" or "write FIELD VALUE [TYPE]") on the
// segment. FIELD is a decimal or 0x offset or a SHRMEM_ name; TYPE is one of
// u8 u16 u16le s16le u32 s32le ip text:N bytes:N (a named field has its own).
// Returns 0 and the output line, or 2 and an error message.
int Execute(const std::vector<std::string>& args, std::uint8_t* base, std::size_t size, std::string& out);

}  // namespace shmtool

// Field names for tools: look a field up by its SHRMEM_ name.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "regmap.h"

namespace regmap {

enum class Kind { U8, Bits, U16, U16Le, S16Le, U32, S32Le, Ipv4, Text, Bytes };

struct NamedField {
    std::string_view name;  // "SHRMEM_SET_V1", "ccsb::SHRMEM_CCS_PEV_MAC"
    Kind kind;
    FieldInfo info;
    std::uint8_t mask = 0;  // Kind::Bits only
};

std::span<const NamedField> AllNamedFields();
std::optional<NamedField> FindField(std::string_view name);

}  // namespace regmap

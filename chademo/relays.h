// The output relays, switched by the station controller through their
// request bytes (2782 CCS outlet, 2783 CHAdeMO outlet, 2784 a third), and
// the charger malfunction tests that turn station alarms into the
// malfunction bits of frame 0x109.
#pragma once

#include <cstdint>
#include <optional>

#include "regmap.h"

namespace chademo {

inline constexpr std::int64_t kRelayWaitMs = 15000;
inline constexpr std::int64_t kRelayPollMs = 10;

// `SetRelay`: asks relay 1, 2 or 3 to close (state 1) or open (any other
// state) and waits up to 15 s for the station controller's answer. The
// contacts the controller reports (bit 0 positive, bit 1 negative closed),
// or nothing when it never answered or the relay number is unknown. An
// answer other than the one asked for is asked again; when the wait ends
// on such an answer, that answer is what the relay did.
std::optional<std::uint8_t> SetRelay(regmap::RegisterMap& map, int relay, int state);

// `SetCHAdeMORelay` (relay 2) and `SetCCSRelay` (relay 1): 1 close, 0 open,
// other states do nothing. 1 when the relay reached the state. A contact
// that stays open when closing is a drive error, one that stays closed when
// opening is welded; a relay that never answers is a drive error of both.
int SetCHAdeMORelay(regmap::RegisterMap& map, int state);
int SetCCSRelay(regmap::RegisterMap& map, int state);

// `ChargerMalfun` (protocol 0.9) and `V2_ChargerMalfun` (1.x): 1 when the
// station's alarms make a charger malfunction, with one bit per condition in
// `flags` (`chagerMalFlag`); they set 0x109's malfunction bits and never
// clear them.
int ChargerMalfun(regmap::RegisterMap& map, std::uint32_t& flags);
int V2_ChargerMalfun(regmap::RegisterMap& map, std::uint32_t& flags);

}  // namespace chademo

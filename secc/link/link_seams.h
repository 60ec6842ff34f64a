// Entry points of the parts of Marlet that sit around the link layer: the
// SLAC messages and key derivation, the IP stack with ICMPv6, UDP and TCP, the
// SDP server and the V2G session. The controller calls them in the order of
// its pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "knet.h"

namespace plc {

// Key derivation: a fresh pass phrase, NMK and NID.
extern std::uint8_t NID[7];
extern std::uint8_t test_NMK[16];
void NID_Generator();

// SLAC: decoding of the frames a connected vehicle's session brings
// (SLAC messages, IPv6); must consume the current receive slot. And the
// SLAC steps of the transmit handler.
void MMEDecode_Session(std::uint16_t etherType, std::uint16_t mmType);
void IF_GreenPHY_TxHandler_SLAC();

// IP stack, SDP server and V2G connection slot (secc/knet).
// knet_frame_arrived takes the IPv6 frame of the current receive slot (and
// consumes the slot); Knet_BindLink gives the stack the modem link.
void knet_frame_arrived();
void Knet_BindLink();

// V2G session (secc/v2g/v2g_session.h).
void V2G_Service();
// Ends whatever session there was: called at every reset of the link.
void V2G_SessionReset();

}  // namespace plc

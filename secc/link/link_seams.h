// Entry points of the parts of Marlet that sit around the link layer: the
// SLAC messages and key derivation, the IP stack with ICMPv6, UDP and TCP, the
// SDP server and the V2G session. The controller calls them in the order of
// its pass. Until a part exists, link_pending.cpp stands in for it with
// entry points that do nothing and report nothing done.
#pragma once

#include <cstddef>
#include <cstdint>

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

// IP stack. knet_frame_arrived takes the IPv6 frame of the current receive
// slot (and consumes the slot).
void knet_frame_arrived();
void v6_memory_assign();
void timer_init();
void knet_rutine();
void Excep_TMR0_CMIA0();
void IPv6_StatMachine();

// SDP server.
void SECC_StateMachine();
void UDP_Data_Decode();
void SDPcln_conn_init();
void SDP_ReleaseUdpPort();

// V2G connection slot and session.
void mdbcln_conn_init();
int V2G_TCP_Listen();          // 0 = listening
int V2G_TCP_WaitConnection();  // non-zero = connected
void V2G_Service();

}  // namespace plc

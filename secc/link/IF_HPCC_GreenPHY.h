// Green PHY modem: the driver process (synchronisation, transmit machine,
// receive ring and frame parser, copy of every frame to a packet interface),
// the controller-side entry points that queue and take frames through the
// frame segment, and the management messages that keep the local modem
// configured while no vehicle is connected.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "timeutil.h"

namespace plc {

// ---- Driver process ---------------------------------------------------------

extern std::uint8_t PLC_State_Machine;          // 0 idle, 1 wait for buffer space, 7 write
extern common::TimeStamp QCA7K_SYNC_StartTime;  // start of the current synchronisation
extern std::uint16_t nIntCause;                 // last interrupt cause read from the chip

// Fault and refusal counters (process-local, for diagnosis and tests).
struct LinkCounters {
    std::uint32_t txRefusedFull = 0;    // queue full: frame refused
    std::uint32_t txRefusedSize = 0;    // frame too long for a transmit slot
    std::uint32_t rxDroppedLength = 0;  // frame outside 60..600 bytes
    std::uint32_t rxDroppedTooLong = 0; // frame longer than the reader's buffer
    std::uint32_t rxSkippedBytes = 0;   // bytes skipped while looking for a frame
    std::uint32_t chipFaults = 0;       // impossible register values
    std::uint32_t mmeRejected = 0;      // SLAC messages too short, out of place or of another run
};
extern LinkCounters nLinkCounters;

// Highest read-buffer fill the chip can report.
inline constexpr std::uint16_t kMaxChipReadBytes = 3199;
// How often the running driver makes sure the chip still answers.
inline constexpr std::int64_t kSignatureCheckMs = 1000;

// Moves the PHY state from `from` to `to` unless someone (a clear of the
// segment) changed it since; false then.
bool MovePhyState(std::uint16_t from, std::uint16_t to);

// Forks once: the child runs the driver loop for ever. Returns the child's
// process id in the parent, -1 when the fork failed. `forkFn` is fork().
pid_t GreenPHY_StateMachine(int fd, pid_t (*forkFn)());
// The driver loop (never returns) and one pass of it.
[[noreturn]] void GreenPHY_DriverLoop(int fd);
void GreenPHY_DriverStep(int fd);

void SPI_Pkt_Schedule(int fd);
void SPI_Pkt_Write(int fd);
void SPI_Pkt_Read(int fd);
void SPI_Pkt_RX_Task(int fd);
// Moves complete frames from the receive ring into receive slots.
void IF_GreenPHY_Pkt_Parser();
// Appends bytes read from the chip to the receive ring; at most the free
// space is taken. Returns the count appended.
std::size_t Ring_Append(const std::uint8_t* data, std::size_t n);
// Empties the receive ring.
void Ring_Clear();
// Copies ring positions `first` to `last` inclusive (wrapping) to `dst`.
void Buffer_Copy(std::size_t first, std::size_t last, std::uint8_t* dst);

// ---- Copy of frames to the packet interface ---------------------------------

// Interface of the copy: MARLET_MIRROR_IF, default "eth0".
inline constexpr const char* kMirrorIfEnv = "MARLET_MIRROR_IF";
void RawSocket_Init();
void RawSend(const std::uint8_t* frame, std::size_t len);
// The copy as it is sent: the frame with the network key bytes of
// CM_SET_KEY.REQ and CM_SLAC_MATCH.CNF blanked. Returns the length (at most `cap`).
std::size_t MirrorCopy(const std::uint8_t* frame, std::size_t len, std::uint8_t* out, std::size_t cap);

// ---- Controller side ----------------------------------------------------------

void IF_GreenPHY_Handler();
void IF_GreenPHY_RxHandler();
// Copies the frame of the current receive slot into `dst` (capacity `cap`),
// releases the slot and returns the length; a frame longer than `cap` is
// dropped (0).
std::uint16_t R_Ether_Read(std::uint8_t* dst, std::size_t cap);
// The chip takes no Ethernet frame shorter than 60 bytes from its host:
// shorter frames of the IP stack are padded, or the chip would refuse them.
inline constexpr std::size_t kMinTxFrame = 60;
// Queues an Ethernet frame of the IP stack (raised to kMinTxFrame); for `type`
// 6 or 17 the destination becomes the EV MAC. 1 when queued, 0 when refused.
int Write_Tx_Packet_Buffer(const std::uint8_t* frame, std::uint16_t len, std::uint8_t type);
// Queue the management message built in SPI_MMEsFormatHeader. 1 / 0 as above.
int Encode_Packet(std::uint16_t len);
int Encode_Packet_SLAC(std::uint16_t len);
void MMEAddTX_Packet();
void MMECleanRX_Packet();
// Copies `len` bytes from `offset` of the frame in the current receive slot
// and releases the slot; what lies beyond the frame's end comes out as 0.
void MMEPacketCP(std::uint8_t* dst, std::size_t offset, std::size_t len);
std::uint16_t SwapWord(std::uint16_t w);

// ---- Management messages of the local modem -----------------------------------

inline constexpr std::uint16_t ETH_TYPE_HPAV = 0x88E1;
inline constexpr std::uint16_t ETH_TYPE_IPV6 = 0x86DD;
inline constexpr std::uint16_t MMTYPE_CM_SET_KEY_REQ = 0x6008;
inline constexpr std::uint16_t MMTYPE_CM_SET_KEY_CNF = 0x6009;
inline constexpr std::uint16_t MMTYPE_CM_SLAC_PARM_REQ = 0x6064;
inline constexpr std::uint16_t MMTYPE_CM_SLAC_PARM_CNF = 0x6065;
inline constexpr std::uint16_t MMTYPE_CM_START_ATTEN_CHAR_IND = 0x606A;
inline constexpr std::uint16_t MMTYPE_CM_ATTEN_CHAR_IND = 0x606E;
inline constexpr std::uint16_t MMTYPE_CM_ATTEN_CHAR_RSP = 0x606F;
inline constexpr std::uint16_t MMTYPE_CM_MNBC_SOUND_IND = 0x6076;
inline constexpr std::uint16_t MMTYPE_CM_SLAC_MATCH_REQ = 0x607C;
inline constexpr std::uint16_t MMTYPE_CM_SLAC_MATCH_CNF = 0x607D;
inline constexpr std::uint16_t MMTYPE_CM_ATTEN_PROFILE_IND = 0x6086;
inline constexpr std::uint16_t MMTYPE_VS_SW_VER_REQ = 0xA000;
inline constexpr std::uint16_t MMTYPE_VS_SW_VER_CNF = 0xA001;
inline constexpr std::uint16_t MMTYPE_VS_NW_INFO_REQ = 0xA038;
inline constexpr std::uint16_t MMTYPE_VS_NW_INFO_CNF = 0xA039;
inline constexpr std::uint16_t MMTYPE_VS_ATTEN_CHAR_IND = 0xA14E;

extern std::uint16_t MACAddress[3];     // station MAC, words high byte first
extern std::uint8_t MAC_EVSE[6];
extern std::uint16_t EV_MACAddress[3];  // vehicle MAC (broadcast at load)
extern std::uint8_t SPI_MMEsFormatHeader[130];
extern std::uint8_t VSSWVER_CNFMsgForm[300];
extern std::uint8_t VSNWINFO_CNFMsgForm[88];
extern std::uint8_t CM_SETKEYCNF_Form[14];
extern std::uint8_t CM_SLAC_MATCHREQ_Form[66];

// SLAC records of the received messages (payload bytes as received), the
// sounding station, and the attenuation store: rows 0-9 the group
// attenuations of up to ten profiles, the last row the per-group sums.
inline constexpr std::size_t kAttenGroups = 58;
inline constexpr std::size_t kSoundRows = 11;
extern std::uint8_t CM_SLAC_PARMREQ_Form[10];
extern std::uint8_t CM_START_ATTENCHARIND_Form[20];
extern std::uint8_t CM_MNBC_SOUNDIND_Form[52];
extern std::uint8_t CM_ATTEN_PROFILEIND_FORM[68];
extern std::uint8_t CM_ATTN_CHARRSP_Form[52];
extern std::uint8_t VS_ATTENCHAR_FORM[78];
extern std::uint16_t wTemp_MAC[3];
extern std::uint16_t DBSound[kSoundRows][kAttenGroups];
extern int nCM_PROFILE_Cnt;   // profiles stored
extern int nEV_Sound_Cnt;     // sounds still expected
extern std::uint8_t nAttenGroupCnt;  // groups of the last stored profile

// The averages CM_ATTEN_CHAR.IND reports: per group the mean over the stored
// profiles; all 37 when they add up to more than 2261.
void AttenuationAverages(std::uint8_t out[kAttenGroups]);
void Encode_CM_SLAC_PARM_CNF_MME();
void Encode_CM_ATTN_CHAR_IND_MME();
void Encode_CM_SLAC_MATCH_CNF_MME();

// Puts the station MAC back to its default (load value).
void MME_LoadDefaults();
void Encode_VSSWVER_REQ_MME();
void Encode_VSNWINFO_REQ_MME();
void Encode_CM_SET_KEY_REQ_MME();
// Decodes the frame of the current receive slot; always consumes it.
void MMEDecode();
void IF_GreenPHY_TxHandler();

}  // namespace plc

// Marlet's own IPv6 stack: one peer (the vehicle on the powerline), link-local
// addressing, neighbour discovery, one UDP record serving SDP and one TCP
// record serving the V2G connection. All memory comes from one pool carved
// at every session reset; one frame is processed at a time in one frame
// buffer, by a chain of steps, and answers are built over the frame.
//
// Frames in the buffer stay in network byte order; addresses in the tables
// are kept as the 16 bytes of the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "timeutil.h"

namespace plc {

// ---- The link below the stack ---------------------------------------------

// What the stack needs of the modem link: a way to queue a frame (type 6 and
// 17 put the vehicle's MAC into the destination, 1 and 58 keep it), the
// station's MAC and the vehicle's MAC learnt by SLAC (three words, the earlier
// byte in the high half).
struct KnetPort {
    int (*write)(const std::uint8_t* frame, std::uint16_t len, std::uint8_t type) = nullptr;
    const std::uint16_t* stationMac = nullptr;
    const std::uint16_t* evMac = nullptr;
};
extern KnetPort knet_port;

// ---- Memory pool and frame buffer ------------------------------------------

inline constexpr std::size_t kPoolSize = 5120;
// The frame buffer holds the largest segment the announced window lets the
// vehicle send (512 data bytes behind a TCP header with 40 bytes of options),
// 2 bytes in front of the Ethernet frame.
inline constexpr std::uint16_t kTcpWindow = 512;
inline constexpr std::size_t kMaxFrame = 14 + 40 + 60 + kTcpWindow;
inline constexpr std::size_t kFrameBufSize = 2 + kMaxFrame;
// The modem takes frames of up to 578 bytes from its host: the largest
// segment the station sends.
inline constexpr std::size_t kMaxSendFrame = 578;

inline constexpr std::size_t kEth = 0, kIp = 14, kL4 = 54;

extern std::uint8_t current_memory_buf[kPoolSize];
void memory_init();
// A piece of the pool (rounded up to 8 bytes so records keep their alignment);
// null when the pool is used up.
void* mem_reg(std::size_t n);
void v6_memory_assign();

extern std::uint8_t* eth_buf;        // the frame buffer
extern std::uint8_t* eth_frame_buf;  // the Ethernet frame, 2 bytes in

// ---- Device block, addresses, neighbours ------------------------------------

struct DeviceBlock {
    std::uint8_t bytes[192];  // 0-5 the station MAC, 189 the prefix length
};
struct AddrEntry {
    std::uint8_t addr[16];
    std::uint8_t prefixLen;
    std::uint8_t valid;
    std::uint8_t spare[2];
};
struct NeighEntry {
    std::uint8_t addr[16];  // all zero: free entry
    std::uint8_t mac[6];
    std::uint16_t age;
};
inline constexpr int kAddrEntries = 4;
inline constexpr int kNeighEntries = 16;
extern DeviceBlock* db;
extern AddrEntry* addr_tab;
extern NeighEntry* neb_tab;

// ---- Step chain and shared step state ---------------------------------------

using NetStep = void (*)();
extern NetStep net_next_process;
extern std::uint16_t net_data_len;
extern std::uint16_t net_send_len;
extern std::uint16_t api_flags;
extern std::uint8_t eth_mac_addr[6];
extern std::uint8_t Ipv6State;
extern std::uint16_t utickTimer[13];

void net_process();
void net_drop();

// Frames and segments the stack refused (for diagnosis and tests).
struct KnetCounters {
    std::uint32_t tooLong = 0;      // frame longer than the frame buffer
    std::uint32_t badIp = 0;        // short, not version 6, or length disagrees
    std::uint32_t notForUs = 0;     // destination neither ours nor a group we are in
    std::uint32_t badChecksum = 0;
    std::uint32_t badHeader = 0;    // upper-layer header fields out of bounds
};
extern KnetCounters knet_counters;

// ---- Entry points of the controller -------------------------------------------

// Puts the stack's process globals back to their load values (the program's
// start; tests).
void knet_LoadDefaults();
void IPv6_StatMachine();
void v6_Initial();
void v6_autoconfig();
void knet_rutine();
void timer_init();
void Excep_TMR0_CMIA0();
// Takes one received Ethernet frame (the link copies it out of its receive slot).
void knet_frame_input(const std::uint8_t* frame, std::size_t len);
// Hands the finished frame in the buffer to the link, then nothing stands.
void R_Ether_Write(const std::uint8_t* frame, std::uint16_t len, std::uint8_t type);

// ---- IPv6 helpers -------------------------------------------------------------

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
inline void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v >> 16));
    Put16(p + 2, static_cast<std::uint16_t>(v));
}
inline std::uint8_t* IpHdr() { return eth_frame_buf + kIp; }
inline std::uint8_t* IpSrc() { return eth_frame_buf + kIp + 8; }
inline std::uint8_t* IpDst() { return eth_frame_buf + kIp + 24; }
inline std::uint8_t* L4() { return eth_frame_buf + kL4; }
inline std::uint16_t IpPayloadLen() { return Get16(eth_frame_buf + kIp + 4); }

// The station's link-local address (address entry 0 when valid), else null.
const std::uint8_t* knet_own_address();
bool knet_is_own_address(const std::uint8_t* a);
// Writes the IPv6 header: source = the station's address, payload length,
// next header, hop limit 255; the Ethernet source and type.
void v6_build_header(std::uint16_t payloadLen, std::uint8_t nextHeader, const std::uint8_t* dst);

// Checksums: the one's complement sum over the pseudo-header and the
// upper-layer message of the frame buffer (0xFFFF when a received message is
// intact), and the field value to store when sending.
std::uint16_t net_v6_chksum(const std::uint8_t* upper, std::uint16_t len, std::uint8_t nextHeader);
std::uint16_t net_v6_chksum_field(const std::uint8_t* upper, std::uint16_t len, std::uint8_t nextHeader);

// ---- Neighbour cache ------------------------------------------------------------

void v6_neigh_init();
void neigh_in();
void neigh_update(const std::uint8_t* addr, const std::uint8_t* mac);
const NeighEntry* neigh_lookup(const std::uint8_t* addr);
void neigh_out();
void knet_setethaddr();

// ---- ICMPv6 -----------------------------------------------------------------------

extern std::uint8_t Flag_Icmpv6_Req;
extern std::uint8_t bSendICMPv6_NS;
void net_icmpv6_input();
void net_icmpv6_polling();

// ---- UDP --------------------------------------------------------------------------

struct UdpConn {
    void (*callback)();
    std::uint16_t lport;  // 0 = free
    std::uint16_t rport;
    std::uint16_t appIndex;
    std::uint8_t raddr[16];
};
extern UdpConn* udp_conn_table;
extern UdpConn* udp_current_conn;
extern std::uint8_t udp_v6raddr[16];
inline std::uint8_t* udp_net_app_data() { return eth_frame_buf + kL4 + 8; }
inline constexpr std::uint16_t kUdpAppRoom = static_cast<std::uint16_t>(kMaxSendFrame - kL4 - 8);
extern std::uint16_t lastport;
UdpConn* net_udp_connect(const std::uint8_t* raddr, std::uint16_t rport, std::uint16_t lport, void (*callback)());
void net_udp_input();
void net_udp_polling();

// ---- TCP --------------------------------------------------------------------------

inline constexpr std::uint8_t TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_PSH = 0x08, TCP_ACK = 0x10,
                              TCP_URG = 0x20;
enum TcpState : std::uint8_t {
    TCP_CLOSED = 0,
    TCP_SYN_RCVD = 1,
    TCP_SYN_SENT = 2,
    TCP_ESTABLISHED = 3,
    TCP_FIN_WAIT_1 = 4,
    TCP_FIN_WAIT_2 = 5,
    TCP_CLOSING = 6,
    TCP_TIME_WAIT = 7,
    TCP_LAST_ACK = 8,
};
// Event bits handed to the applications in api_flags.
inline constexpr std::uint16_t API_ACKDATA = 0x01, API_NEWDATA = 0x02, API_REXMIT = 0x04, API_POLL = 0x08,
                               API_CLOSE = 0x10, API_ABORT = 0x20, API_CONNECTED = 0x40, API_TIMEDOUT = 0x80;
inline constexpr std::uint16_t kTcpSegmentSize = 260;
inline constexpr std::uint16_t kTcpAnnouncedMss = 1440;
inline constexpr std::int16_t kTcpRto = 7;
inline constexpr std::uint32_t kTcpIdleLimit = 3600000;
inline constexpr std::uint16_t kTimeWaitTicks = 1000;

struct TcpConn {
    std::uint16_t lport, rport;
    std::uint32_t rcv_nxt;      // next expected receive sequence number
    std::uint32_t snd_nxt;      // next send sequence number
    std::uint16_t len;          // outstanding length (1 for SYN or FIN)
    std::uint16_t mss, initialmss;
    std::int16_t rto;           // always 7 ticks
    std::uint16_t timer;        // retransmission count-down; close count-up in 5 and 7
    std::uint16_t nrtx;         // retransmission count
    std::uint8_t tcpstateflags; // low four bits the state
    std::uint8_t appIndex;
    std::uint32_t idleTicks, idleLimit;
    void (*callback)();
    std::uint16_t window;       // offered receive window
    std::uint16_t sndWnd;       // the peer's window: what may still be sent
    std::uint16_t maxSndWnd;    // the largest window the peer offered
    std::uint16_t probes;       // zero-window probes sent since the window closed
    std::uint8_t raddr[16];
    std::uint8_t state() const { return tcpstateflags & 0x0F; }
};
struct ListenEntry {
    std::uint16_t port;  // 0 = free
    void (*callback)();
};
inline constexpr int kListenPorts = 10;
extern TcpConn* tcp_conn_table;
extern TcpConn* tcp_current_conn;
extern ListenEntry listen_ports[kListenPorts];
extern std::uint8_t Flag_CloseTCP;
// Data of the current segment (new data) or room for the application's data.
extern std::uint8_t* tcp_net_app_data;
// The most the application may place in one segment.
inline std::uint16_t tcp_app_room() { return static_cast<std::uint16_t>(kMaxSendFrame - kL4 - 20); }
// The most the application may place in the next segment of the current
// connection: the segment size, the frame and the peer's window all bound it.
std::uint16_t tcp_send_room();

void knet_ip_tcp_init();
void net_tcp_listen(std::uint16_t port, void (*callback)());
void net_tcp_unlisten(std::uint16_t port);
void net_tcp_input();
void net_tcp_polling();
void net_tcp_timer();
void null_app();
// A fresh initial sequence number from the kernel's random source.
std::uint32_t knet_initial_seq();

// ---- SDP server ------------------------------------------------------------------

// The connection slot shared in layout by the SDP server and the V2G connection.
struct ClnConn {
    std::uint16_t state;   // 0 free, 1 opened, 2 ready, 3 sending
    std::uint16_t flags;
    std::uint16_t request; // 0x0004 close requested
    std::uint16_t txlen;
    std::uint16_t txmax;
    std::uint32_t kltout;
    std::uint8_t* txdata;
    std::uint8_t* rxbuf;
    std::uint16_t rxlen;
    void* conn;            // the UDP or TCP record serving the slot
    // V2G only: bytes of an answer already acknowledged, bytes in flight, and
    // bytes of a message gathered so far.
    std::uint16_t txdone;
    std::uint16_t txinflight;
    std::uint16_t rxgather;
};
inline constexpr std::uint16_t CLN_OPEN = 0x0001, CLN_CONNECTED = 0x0002, CLN_SENDPEND = 0x0010, CLN_SENT = 0x0020,
                               CLN_NEWDATA = 0x0040, CLN_OVERFLOW = 0x0400;
inline constexpr std::uint16_t CLN_REQ_CLOSE = 0x0004;
inline constexpr std::uint16_t kClnBufSize = 500;

struct ClnConnBuf {
    std::uint8_t state;
    std::uint8_t index;
    std::uint16_t txlen;
    std::uint8_t tx[kClnBufSize];
    std::uint8_t rx[kClnBufSize];
};

inline constexpr std::uint16_t kSdpPort = 15118;
extern ClnConn sdpcln_conn[1];
extern ClnConnBuf sdpcln_conn_buf;
extern ClnConnBuf* sdp_conn;
extern std::uint8_t SECC_State;
extern std::uint8_t Flag_SECCDisReqGet;
extern common::TimeStamp UDP_MSG_StartTime;
extern std::uint16_t nTCP_PORT;

void SECC_StateMachine();
void UDP_Data_Decode();
void SECC_UDP_Decode(const std::uint8_t* data, std::uint16_t len);
int SECC_UDP_Send();
void SECC_UDP_init();
void SDPcln_conn_init();
void sdpcln_init();
int SECC_UPD_Listen();
int sdpcln_send(int index, std::uint8_t* data, std::uint16_t len, std::uint16_t max);
void SECC_appcall();
void SDP_ReleaseUdpPort();
// The 28-byte answer for the station's MAC.
void SDP_BuildResponse(std::uint8_t out[28]);

// ---- V2G connection slot ---------------------------------------------------------

extern ClnConn mdbcln_conn[1];
extern ClnConnBuf mdbcln_conn_buf;
extern ClnConnBuf* mdb_conn;
inline constexpr std::uint32_t mdbcln_kltout = 10000;

void mdbcln_conn_init();
void mdbcln_init();
int mdbcln_Listen(int index, std::uint16_t port, std::uint8_t* txbuf, std::uint8_t* rxbuf);
void mdbcln_close(int index);
std::uint16_t mdbcln_status_get(int index);
int mdbcln_send(int index, std::uint8_t* data, std::uint16_t len, std::uint16_t max);
void knet_copy_exidata(std::uint16_t len, const std::uint8_t* data);
void mdbcln_appcall();
// Bytes the slot can still take before the session takes its message: 0
// while a whole message waits, since the next one would be written over it.
std::uint16_t mdbcln_rx_room(int index);
int V2G_TCP_Listen();
int V2G_TCP_WaitConnection();

}  // namespace plc

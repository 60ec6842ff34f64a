// Fuzz target: what a vehicle sends on the V2G connection, taken by the
// session pass as it comes from the connection slot. The first byte says
// whether the handshake is behind (odd) or still to come (even) and, above
// that bit, the step of the request before; the rest is one received
// message. The corpus holds a request of every kind the session answers,
// each after the step that lets it in. An answer must fit the transmit block
// and carry a valid V2GTP header for exactly its body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "IF_Main.h"
#include "clock.h"
#include "knet.h"
#include "v2g_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > plc::kClnBufSize) return 0;
  static std::vector<std::uint8_t> map(262144, 0);
  // A PowerDelivery stop waits on the clock for the output to fall: the
  // test clock lets that wait pass without sleeping.
  static platform::TestClock clock;
  platform::SetClock(&clock);
  plc::MeterSMPtr = map.data();
  plc::DINState = 6;
  plc::V2GPhase = 0;
  plc::isHandshake = (data[0] & 1) ? 0 : 1;
  plc::nSystemStatus = 0x06000000u | (static_cast<std::uint32_t>(data[0] >> 1) << 16);
  plc::V2G_SessionReset();
  plc::mdbcln_conn_init();
  plc::mdbcln_init();
  plc::ClnConn& s = plc::mdbcln_conn[0];
  s.rxbuf = plc::mdb_conn->rx;
  std::memcpy(s.rxbuf, data + 1, size - 1);
  s.rxlen = static_cast<std::uint16_t>(size - 1);
  s.state = 2;
  s.flags = plc::CLN_OPEN | plc::CLN_CONNECTED | plc::CLN_NEWDATA;
  plc::V2G_MSG_Sequence_StartTime = common::MonotonicNow();
  plc::V2G_Service();
  if (s.flags & plc::CLN_SENDPEND) {
    std::uint32_t payload = 0;
    if (s.txlen > plc::kV2gAnswerBuffer || plc::read_v2gtpHeader(s.txdata, s.txlen, &payload) != 0) abort();
  }
  return 0;
}

// Fuzz target: what a vehicle sends on the V2G connection, taken by the
// session pass as it comes from the connection slot. The first byte says
// whether the handshake is behind (odd) or still to come (even) and, above
// that bit, the step of the request before; the rest is one received
// message. After the handshake a session is opened by a real SessionSetup,
// and its ID is the one the message carries, so a request passes the
// session check and reaches its service. The corpus holds a request of
// every kind the session answers, each after the step that lets it in. An
// answer must fit the transmit block and carry a valid V2GTP header for
// exactly its body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "IF_Main.h"
#include "din_binding.h"
#include "clock.h"
#include "knet.h"
#include "v2g_session.h"

namespace {

// One received message through the slot and a pass of the session.
void Deliver(const std::uint8_t* m, std::size_t n) {
  plc::mdbcln_conn_init();
  plc::mdbcln_init();
  plc::ClnConn& s = plc::mdbcln_conn[0];
  s.rxbuf = plc::mdb_conn->rx;
  std::memcpy(s.rxbuf, m, n);
  s.rxlen = static_cast<std::uint16_t>(n);
  s.state = 2;
  s.flags = plc::CLN_OPEN | plc::CLN_CONNECTED | plc::CLN_NEWDATA;
  plc::V2G_MSG_Sequence_StartTime = common::MonotonicNow();
  plc::V2G_Service();
}

// Opens a session with a SessionSetupReq of the project's own encoding and
// gives it `id` (the ID the fuzzed message carries).
void OpenSession(const std::uint8_t* id) {
  static DinMessageStore store;
  static EXIDocumentType doc;
  static DinService service;
  dinInitDocument(&doc, &store);
  dinInitService(&service, &doc);
  store.header.SessionID.bytesLen = 8;
  store.sessionSetupReq.EVCCID.bytesLen = 6;
  doc.V2G_Message.Body.isUsed = 1;  // SessionSetupReq
  std::uint8_t buf[256] = {};
  std::uint32_t len = 0;
  if (dinSerializeMessage(&service, buf, sizeof buf, 8, &len) != 0) abort();
  std::uint32_t framed = len;
  plc::write_v2gtpHeader(buf, &framed, plc::kV2gtpPayloadExi);
  plc::isHandshake = 0;
  plc::nSystemStatus = 0x06010000u;
  Deliver(buf, framed);
  std::memcpy(plc::nSessionID, id, 8);
}

// The session ID of a DIN message, when it decodes.
bool MessageId(const std::uint8_t* m, std::size_t n, std::uint8_t* id) {
  static DinMessageStore store;
  static EXIDocumentType doc;
  static DinService service;
  static std::uint8_t copy[plc::kClnBufSize];
  std::uint32_t payload = 0;
  if (plc::read_v2gtpHeader(m, static_cast<std::uint32_t>(n), &payload) != 0) return false;
  std::memcpy(copy, m, n);
  dinInitDocument(&doc, &store);
  dinInitService(&service, &doc);
  if (dinDeserializeMessage(&service, copy, payload, 8) != 0 || store.header.SessionID.bytesLen != 8) return false;
  std::memcpy(id, store.header.SessionID.bytes, 8);
  return true;
}

}  // namespace

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
  map[2160] = 4;  // pilot in state C
  plc::V2G_SessionReset();
  std::uint8_t id[8];
  if ((data[0] & 1) && MessageId(data + 1, size - 1, id)) OpenSession(id);
  plc::V2GPhase = 0;
  plc::isHandshake = (data[0] & 1) ? 0 : 1;
  plc::nSystemStatus = 0x06000000u | (static_cast<std::uint32_t>(data[0] >> 1) << 16);
  Deliver(data + 1, size - 1);
  const plc::ClnConn& s = plc::mdbcln_conn[0];
  if (s.flags & plc::CLN_SENDPEND) {
    std::uint32_t payload = 0;
    if (s.txlen > plc::kV2gAnswerBuffer || plc::read_v2gtpHeader(s.txdata, s.txlen, &payload) != 0) abort();
  }
  return 0;
}

#include "session_channel.h"

#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "knet.h"
#include "regmap.h"
#include "regmap_fields.h"
#include "timeutil.h"
#include "v2g_session.h"

namespace evsim {

SessionChannel::SessionChannel(std::uint8_t* map) {
    plc::MeterSMPtr = map;
    plc::DINState = 6;
    plc::isHandshake = 1;
    plc::V2GPhase = 0;
    plc::nSystemStatus = 0x06000000;
    plc::V2G_SessionReset();
    plc::mdbcln_conn_init();
    plc::mdbcln_init();
    plc::mdbcln_conn[0].state = 2;
    plc::mdbcln_conn[0].flags = plc::CLN_OPEN | plc::CLN_CONNECTED;
    plc::mdbcln_conn[0].rxbuf = plc::mdb_conn->rx;
    plc::V2G_MSG_Sequence_StartTime = common::MonotonicNow();
}

bool SessionChannel::Send(const Bytes& message, std::size_t) {
    if (closed_ || ending_ || message.size() > plc::kClnBufSize) return false;
    if (beforeRequest) beforeRequest();
    ++requests_;
    std::memcpy(plc::mdb_conn->rx, message.data(), message.size());
    plc::ClnConn& slot = plc::mdbcln_conn[0];
    slot.rxlen = static_cast<std::uint16_t>(message.size());
    slot.state = 2;
    slot.flags = plc::CLN_OPEN | plc::CLN_CONNECTED | plc::CLN_NEWDATA;
    plc::mdb_conn->txlen = 0;
    plc::V2G_Service();
    answered_ = (slot.flags & plc::CLN_SENDPEND) != 0;
    if (answered_) pending_.assign(plc::mdb_conn->tx, plc::mdb_conn->tx + plc::mdb_conn->txlen);
    slot.flags = static_cast<std::uint16_t>(slot.flags & ~plc::CLN_SENDPEND);
    std::uint8_t phase = plc::V2GPhase;
    ending_ = phase == plc::kV2gPhaseStopped || phase == plc::kV2gPhaseTimeout || phase == plc::kV2gPhaseNoNegotiation ||
              phase == plc::kV2gPhaseLost;
    return true;
}

bool SessionChannel::Drop(bool) {
    // The slot freed as the IP stack frees it on the vehicle's FIN or RST;
    // the session sees it at its next pass.
    plc::mdbcln_close(0);
    plc::V2G_Service();
    closed_ = true;
    return true;
}

V2gChannel::Rx SessionChannel::Receive(Bytes* message, std::int64_t) {
    if (answered_) {
        answered_ = false;
        *message = pending_;
        return Rx::Message;
    }
    if (ending_ || closed_) {
        closed_ = true;
        return Rx::Closed;
    }
    return Rx::TimedOut;
}

SimpleStation::SimpleStation() : bytes(regmap::kMapSize, 0) {
    using namespace regmap;
    RegisterMap map(bytes.data());
    map.set(SHRMEM_CCS_PILOT_STATE, 4);  // C: plugged in, may charge
    map.set(SHRMEM_CCS_EVSE_PROCESSING, 1);
    map.set(SHRMEM_CCS_EVSE_STATUS_CODE, 1);
    map.set(SHRMEM_CCS_EVSE_MAX_CURRENT, 125);
    map.set(SHRMEM_CCS_EVSE_MAX_POWER, 50);
    map.set(SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
    map.set(SHRMEM_CCS_EVSE_MIN_VOLTAGE, 50);
}

void SimpleStation::Work() {
    using namespace regmap;
    RegisterMap map(bytes.data());
    std::uint8_t step = static_cast<std::uint8_t>(plc::nSystemStatus >> 16);
    if ((step == plc::kStepContractAuthentication || step == plc::kStepCableCheck) &&
        map.get(SHRMEM_CCS_EVSE_PROCESSING) != 0 && ++waits >= 2) {
        waits = 0;
        map.set(SHRMEM_CCS_EVSE_PROCESSING, 0);
        map.set(SHRMEM_CCS_EVSE_ISOLATION, 1);  // valid
    }
    if (step == plc::kStepPreCharge || step == plc::kStepCurrentDemand) {
        map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, map.get(SHRMEM_CCS_EV_TARGET_VOLTAGE));
        if (step == plc::kStepCurrentDemand)
            map.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, map.get(SHRMEM_CCS_EV_TARGET_CURRENT));
    }
    if (step == plc::kStepPowerDelivery && map.get(SHRMEM_CCS_EV_READY_TO_CHARGE) == 0) {
        map.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, 0);
        map.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, 0);
    }
}

}  // namespace evsim

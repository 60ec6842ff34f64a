// MarletEcho: Marlet with a stand-in for the V2G session that answers every
// message of the V2G connection with the same bytes, so a vehicle's TCP
// stack can be proven against the station's before the session exists. A
// message of payload type 0x8002 is answered and then ends the session as
// SessionStop would, so the station closes the connection.
#include "IF_Main.h"
#include "knet.h"
#include "link_seams.h"

namespace plc {

void V2G_Service() {
    if (DINState != 6) return;
    ClnConn& s = mdbcln_conn[0];
    if ((s.flags & 0x43) != 0x43 || s.state != 2) return;
    s.flags = static_cast<std::uint16_t>(s.flags & ~CLN_NEWDATA);
    knet_copy_exidata(s.rxlen, s.rxbuf);
    mdbcln_send(0, mdb_conn->tx, mdb_conn->txlen, kClnBufSize);
    if (s.rxlen >= 4 && s.rxbuf[2] == 0x80 && s.rxbuf[3] == 0x02) V2GPhase = 21;
}

// The echo keeps no session to end.
void V2G_SessionReset() {}

}  // namespace plc

int main() { return plc::Marlet_Main(plc::MarletStart{}); }

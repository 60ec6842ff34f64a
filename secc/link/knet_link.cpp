// The IP stack's door to the modem link: IPv6 frames of the matched vehicle
// come out of the receive slots, the stack's frames go into the transmit
// slots.
#include <cstdint>

#include "IF_HPCC_GreenPHY.h"
#include "knet.h"
#include "link_seams.h"
#include "ram_drv.h"

namespace plc {

void knet_frame_arrived() {
    std::uint8_t frame[kMaxRxFrame];
    std::uint16_t len = R_Ether_Read(frame, sizeof frame);
    if (len > 0) knet_frame_input(frame, len);
}

void Knet_BindLink() { knet_port = KnetPort{Write_Tx_Packet_Buffer, MACAddress, EV_MACAddress}; }

}  // namespace plc

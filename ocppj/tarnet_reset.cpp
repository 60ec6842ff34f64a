// Tarnet's answer to the central system's Reset. Only the two reset types
// of OCPP are accepted; ResetMgmt acts on an accepted one once no
// transaction runs, and Bastide carries the reset out.
#include "messages.h"
#include "reset.h"
#include "tarnet.h"

namespace ocppj {

void Tarnet::ResetConf() {
    ResetSlot& slot = ResetSlotOf(*x_);
    const std::string type = FieldText(slot.type);
    const bool accepted = type == "Hard" || type == "Soft";
    PutText(slot.status, accepted ? "Accepted" : "Rejected");
    Log("[Info][Tarnet]Reset:type=" + type + ",status=" + FieldText(slot.status));
}

}  // namespace ocppj

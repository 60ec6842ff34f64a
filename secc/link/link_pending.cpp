// Stand-in for the V2G session, which is not built yet: it takes no message
// from the V2G connection slot and answers nothing, so a session that reaches
// the V2G connection ends in the sequence time-out of the controller's
// caller, never in a reported success.
#include "link_seams.h"

namespace plc {

void V2G_Service() {}

}  // namespace plc

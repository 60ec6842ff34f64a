// Marlet: the CCS communication controller of the CCS board.
#include "IF_Main.h"

int main() { return plc::Marlet_Main(plc::MarletStart{}); }

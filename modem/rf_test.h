// RF factory tests of PLS8-family modules through the register map's test
// mailbox: reset, transmit on a band and level, measure the received power.
#pragma once

#include <cstdint>

#include "wendle.h"

namespace modem {

int modemTestReset(Wendle& w);
int modemTestTxPow(Wendle& w);
int modemTestRxPow(Wendle& w);
// The test channel of a band (type 0 = 4G, 1 = 3G), or -1.
long getModemTestBandUarfcn(Wendle& w, int type, int band);
bool setModemFactoryMode(Wendle& w, int fd);
int runModemTxTestBandCmd(Wendle& w, int fd, long channel, int level);
void runModemRxTestBandCmd(Wendle& w, int fd, long channel);
// A received-power reading in whole dBm as the signed result byte holds it.
std::int8_t RxPowerByte(double dbm);

}  // namespace modem

// Packet data contexts (APN profiles), the PLS8 provider configuration and the
// automatic APN selection that sets a PLS8-family module up for its operator.
#pragma once

#include <string>
#include <string_view>

#include "wendle.h"

namespace modem {

// Operator classes: Verizon, AT&T, anyone else.
enum class Operator { Verizon, Att, Other };
Operator OperatorClass(std::string_view operatorText);

// An APN goes into a context only as 1 to 31 letters, digits, '.' or '-':
// a quote or a CR in it would end the command and start another.
bool ValidApn(std::string_view apn);

bool setAPN(Wendle& w, int fd, const std::string& profile);
bool deRegister(Wendle& w, int fd);
bool resetModemAndTtyByCmd(Wendle& w, int& fd);
void getCGDCONT(Wendle& w, int fd);
void getCGDCONTRDP(Wendle& w, int fd);
bool compareAPN(std::string_view list, std::string_view apn, std::string_view operatorText);
bool checkCurAPN(Wendle& w, int fd, std::string_view apn, std::string_view operatorText);
bool setAPNbyOperator(Wendle& w, int fd, std::string_view apn, std::string_view operatorText);
int setApnOffline(Wendle& w, int fd, std::string_view apn, std::string_view operatorText);
bool setClearAPNbyOperator(Wendle& w, int& fd);
bool GetProvCfg(Wendle& w, int fd, std::string_view name, int& value);
bool SetProvCfg(Wendle& w, int fd, std::string_view name, unsigned value);

// The dial configuration file's text for a dial number; the PIN line only
// when the station's PIN file holds one.
std::string DialConfig(std::string_view dialNumber);

// One step of the selection: 1 once it has ended (success or failure).
bool autoAPN(Wendle& w, int& fd);

// Power resets the selection makes before it gives up.
inline constexpr int kMaxApnResets = 5;

}  // namespace modem

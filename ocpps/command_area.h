// The command area of the register map (bytes 3604-7919) through which
// Quillon's SOAP server process hands each central-system request to the
// main process and gets the answer back, and the hand-over itself.
//
// The server stores a request's fields, raises its bit in byte 447 or 448 and
// waits, for a bounded time, until the main process has executed the command,
// written the answer and cleared the bit. A command not taken in time is
// withdrawn: it is never executed after its request was answered with a fault.
#pragma once

#include <cstdint>
#include <string>

#include "regmap.h"

namespace ocpps {

namespace cmd {
using regmap::Bytes;
using regmap::S32Le;
using regmap::Text;
using regmap::U8;

inline constexpr U8 DIAG_STATUS{3604};
inline constexpr U8 FW_STATUS{3605};
inline constexpr S32Le CANCEL_RSV_ID{3606};
inline constexpr U8 CANCEL_RSV_STATUS{3610};
inline constexpr S32Le AVAIL_CONNECTOR_ID{3611};
inline constexpr U8 AVAIL_TYPE{3615};  // 0 Inoperative, 1 Operative
inline constexpr U8 AVAIL_STATUS{3616};
inline constexpr Text CONFIG_KEY{3617, 50};
inline constexpr Text CONFIG_VALUE{3667, 500};
inline constexpr U8 CONFIG_STATUS{4167};
inline constexpr U8 CLEAR_CACHE_STATUS{4168};
inline constexpr Text DT_VENDOR_ID{4169, 255};
inline constexpr Text DT_MESSAGE_ID{4424, 50};
inline constexpr U8 DT_STATUS{4474};
inline constexpr S32Le GETCONF_KEY_COUNT{4475};
inline constexpr Bytes GETCONF_KEYS{4479, 320};  // 10 texts of 32
inline constexpr U8 CONFIG_TABLE_COUNT{4799};
inline constexpr std::uint32_t kConfigTableFirst = 4800;
inline constexpr std::uint32_t kConfigEntrySize = 161;  // key 32, readonly 1, value 128
inline constexpr Bytes CONFIG_TABLE{4799, 1933};
inline constexpr S32Le DIAG_START_TIME{6733};
inline constexpr Text DIAG_LOCATION{6737, 500};
inline constexpr Text DIAG_FILE_NAME{7237, 64};
inline constexpr S32Le LOCAL_LIST_VERSION{7301};
inline constexpr Text RSTART_ID_TAG{7305, 20};
inline constexpr S32Le RSTART_CONNECTOR_ID{7325};
inline constexpr U8 RSTART_STATUS{7329};
inline constexpr S32Le RSTOP_TXN_ID{7330};
inline constexpr U8 RSTOP_STATUS{7334};
inline constexpr S32Le RSV_CONNECTOR_ID{7335};
inline constexpr S32Le RSV_EXPIRY{7339};
inline constexpr Text RSV_ID_TAG{7343, 20};
inline constexpr Text RSV_PARENT_ID_TAG{7363, 20};
inline constexpr S32Le RSV_ID{7383};
inline constexpr U8 RSV_STATUS{7387};
inline constexpr Bytes RESERVATION{7335, 54};  // fields, status and the active flag 7388
inline constexpr U8 RESERVED{7388};
inline constexpr U8 RESET_TYPE{7389};  // 0 Hard, 1 Soft
inline constexpr U8 RESET_STATUS{7390};
inline constexpr U8 SEND_LIST_STATUS{7391};
inline constexpr S32Le UNLOCK_CONNECTOR_ID{7392};
inline constexpr U8 UNLOCK_STATUS{7396};
inline constexpr S32Le FW_RETRIEVE_DATE{7397};
inline constexpr Text LOCATION_DATA{7401, 500};  // firmware location, DataTransfer data
inline constexpr S32Le FW_RETRIES{7901};
inline constexpr S32Le FW_RETRY_INTERVAL{7905};
inline constexpr Bytes FW_SLOT{7397, 513};  // 7397-7909 with the state byte
inline constexpr U8 FW_STATE{7909};
// The main process's answer to an UpdateFirmware: 0 taken, 1 refused while
// an image waits to be installed.
inline constexpr U8 FW_REQUEST_STATUS{7911};
inline constexpr U8 RESET_PENDING{7910};

// Station bytes the commands read or change.
inline constexpr U8 CHARGER_STATE{263};
inline constexpr regmap::U16 REMOTE_START{408};  // 408-409, high byte first
inline constexpr U8 STOP_CHARGING{410};
inline constexpr U8 AVAILABILITY{451};  // 1 Inoperative, persisted
}  // namespace cmd

// A command: its byte (447 or 448) and its bit.
struct Command {
    std::uint32_t byte;
    std::uint8_t bit;
};

namespace command {
inline constexpr Command CancelReservation{447, 0x01};
inline constexpr Command ChangeAvailability{447, 0x02};
inline constexpr Command ChangeConfiguration{447, 0x04};
inline constexpr Command ClearCache{447, 0x08};
inline constexpr Command DataTransfer{447, 0x10};
inline constexpr Command GetConfiguration{447, 0x20};
inline constexpr Command GetDiagnostics{447, 0x40};
inline constexpr Command GetLocalListVersion{447, 0x80};
inline constexpr Command RemoteStartTransaction{448, 0x01};
inline constexpr Command RemoteStopTransaction{448, 0x02};
inline constexpr Command ReserveNow{448, 0x04};
inline constexpr Command Reset{448, 0x08};
inline constexpr Command SendLocalList{448, 0x10};
inline constexpr Command UnlockConnector{448, 0x20};
inline constexpr Command UpdateFirmware{448, 0x40};
}  // namespace command

// The server's side of the hand-over.
enum class HandOver { Answered, Withdrawn };

// Raises the command's bit and waits, polling every `pollMs` on the station
// clock, until the main process has cleared it (Answered) or `waitMs` have
// passed. On time-out the bit is taken back; if the main process had already
// started on the command, the wait goes on until it has finished, so an
// executed command is always answered and a withdrawn one never executed.
HandOver HandOverCommand(regmap::RegisterMap map, Command c, std::int64_t waitMs, std::int64_t pollMs = 50);

// The main process's side: true when the command's bit is raised and now
// claimed for execution. After executing and writing the answer the main
// process calls FinishCommand, which clears the bit and sets the online bit.
bool ClaimCommand(regmap::RegisterMap map, Command c);
void FinishCommand(regmap::RegisterMap map, Command c);

// Writes a text into its slot: the slot zeroed, then at most its width copied
// (a text that fills the slot has no terminator).
void PutText(regmap::RegisterMap map, regmap::Text slot, const std::string& text);
// A slot's text, never read past the slot.
std::string GetText(regmap::RegisterMap map, regmap::Text slot);

}  // namespace ocpps

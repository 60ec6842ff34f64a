// Routines of the CCS board variant with an operator display, a card reader,
// the CHAdeMO signals and the contactor output. Neither the start-up nor the
// board-link loop calls them; they call only one another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link_port.h"
#include "regmap.h"

namespace supervisor {

// ---- Card reader -------------------------------------------------------------
// One exchange: 0x55, then 0xAA from the reader within 2 s; the command frame
// (its length byte first); 0xA5 within 2 s; 0x5A; then the answer, a length
// byte L and L - 1 further bytes within `answerMs`. The answer (length byte
// included) goes to `answer`; false on any time-out or mismatch.
bool CardExchange(linkwire::LinkPort& line, const std::vector<std::uint8_t>& command,
                  std::vector<std::uint8_t>& answer, int answerMs = 3000);

// The command that writes four data bytes to a card block: 0A 08 01 block
// d0 d1 d2 d3 and the 16-bit sum (block + d0..d3 + 19), low byte first.
std::vector<std::uint8_t> SetBlockCommand(std::uint8_t block, const std::uint8_t data[4]);

int ConnectionRFID(linkwire::LinkPort& line);
// The card identifier: the answer's bytes after its length byte.
int SearchTag(linkwire::LinkPort& line, std::vector<std::uint8_t>& id);
// Reads card block 8: 1 when it carries the maker marker "VNTA".
int CardTagVerify(linkwire::LinkPort& line);
// 1 when the reader echoes 08 01.
int SetBlock(linkwire::LinkPort& line, std::uint8_t block, const std::uint8_t data[4]);

// 1 when the identifier in SHRMEM_ID_TAG is listed in "/root/Brannock" (one
// identifier a line; its first 8 characters compared when `type` is below 5,
// else 14). A list larger than 102,400 bytes is refused, not cut short.
int PowerCard(const regmap::RegisterMap& map, int type);
inline constexpr std::size_t kCardListLimit = 102400;

// Waits up to 10 s for SHRMEM_ID_TAG to read "ok" (1) or "ng" (0); 2 on time-out.
int CardVerify(const regmap::RegisterMap& map);

// ---- Display -----------------------------------------------------------------
// A 12-byte header of three 32-bit words (command, sub-command, payload
// length, the board's own byte order) and the payload. No line: 0.
int HMISendCMD(linkwire::LinkPort* line, std::uint32_t command, std::uint32_t sub, const std::uint8_t* payload,
               std::uint32_t len);

// The display's six-digit stop code for a stop reason (register-map byte
// 410), 0 for a reason without one.
std::uint32_t StopReasonCode(std::uint8_t reason);

// Sets the clock from the time text of an engineering record,
// "YYYY-MM-DD hh:mm:ss": the fields are checked (digits, ranges, the day
// within its month) before "date -s" is run, and byte 469 is set. 0 for a
// text that is not such a time (nothing run).
int SetClockFromText(regmap::RegisterMap& map, std::string_view text);

// ---- Flash and boot loader ---------------------------------------------------
inline constexpr const char* kBootEnvDevice = "/dev/mtdblock1";
inline constexpr std::size_t kBootEnvOffset = 196608;
inline constexpr std::size_t kBootEnvSize = 8192;  // CRC-32, then 8,188 data bytes
inline constexpr const char* kScenarioFile = "/mnt/ShareMemory.bin";

// Standard CRC-32 (reflected polynomial 0xEDB88320, complemented on entry
// and exit), continuing from `crc` (0 to start).
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t len);

// Patches map bytes [first, first + count) into the first 65,536 bytes of the
// settings flash. 1 done, 0 failed or out of range.
int StoreFlash(const regmap::RegisterMap& map, std::size_t first, std::size_t count);
// Copies the flash's settings block (offset 196,608) over its first 65,536
// bytes and loads the whole flash image into the map. 1 done, 0 failed.
int RestoreFactory(regmap::RegisterMap& map);
// Adds "update=" to the boot loader's environment: the board's address, mask,
// gateway and firmware server and the two tftp loads; the environment's
// CRC-32 is renewed. Failures (device, a broken or full environment) set
// alarm 313 bit 0x02. 1 done, 0 failed.
int FWUP(regmap::RegisterMap& map);
// Writes "/mnt/ShareMemory.bin" (at most 262,144 bytes; a larger file is
// refused) to the settings flash; failures set alarm 313 bit 0x04.
int ScenarioUP(regmap::RegisterMap& map);
// Runs "/root/ntpdate" with the time server of bytes 400-403.
int Ntpdate(const regmap::RegisterMap& map);
// Copies "/root/SystemLog" to the USB stick "/dev/sda1" mounted at "/mnt/media".
int SaveSystemLog();

// ---- CHAdeMO and contactor signals -------------------------------------------
void SwitchD1D2(int d1, int d2);
// Reads back the d1 and d2 outputs (-1 when unreadable).
void GetD1D2(int& d1, int& d2);
// The permission input j: 0 or 1, -1 when unreadable.
int GetOptoJ();
// Drives the lock (for 0 or 1) and returns the inverted lock-detect input
// after 5 ms (-1 when unreadable).
int ConnectorLock(int lock);
// Switches the module CAN line and the contactor output and waits up to 5 s
// for the feedback to follow; a missing feedback sets alarm 315 bit 0x40.
// 1 when the feedback followed.
int SwitchSS(regmap::RegisterMap& map, int on);
void LCDBlackLight(int on);
void SystemBuzzer(int on);
void LEDSwitch(int on);

}  // namespace supervisor

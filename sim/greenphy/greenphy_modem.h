// An emulated Green PHY modem (QCA7000-type) as the station's driver sees it
// on SPI: the register file, the write and read buffers with their framing,
// the interrupt causes, the reset line, and a management plane that answers
// VS_SW_VER, CM_SET_KEY and VS_NW_INFO. Frames for anyone else go out on the
// line side; frames from the line side are offered in the read buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gpio.h"
#include "line.h"
#include "spi.h"

namespace greenphy {

struct ModemConfig {
    std::uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x4D, 0x01, 0x02};
    std::uint8_t setKeyResult = 1;  // result byte of CM_SET_KEY.CNF; 1 applies the key
    bool managementSilent = false;  // firmware that answers no management message
    std::int64_t resetDelayMs = 200;  // from reset release (or power-on) to signature
    std::uint16_t writeBufferSize = 3163;
    std::uint16_t readBufferSize = 3163;
    bool padShortFrames = true;  // the line pads frames to 60 bytes, as Ethernet does
    std::string version = "QCA7000-EMU-1.0";
    // Fault injection: a fixed value for the bytes-available register.
    std::optional<std::uint16_t> bytesAvailableOverride;
    // Data frames cross only to and from stations that joined through
    // CM_SLAC_MATCH.CNF (the powerline as a vehicle meets it); off, the line
    // carries everything (driver tests that use the line as a plain cable).
    bool requireMatch = false;
    // Every Nth read of the write-space register finds no room (0: never).
    std::uint32_t writeSpaceShortEvery = 0;
    // The attenuation per group the chip measures on each sound it receives
    // from the line and reports in CM_ATTEN_PROFILE.IND (58 groups for Green PHY).
    std::vector<std::uint8_t> attenuation = std::vector<std::uint8_t>(58, 30);
};

// The smallest Ethernet frame the chip takes from its host (no frame check
// sequence): shorter write frames are refused.
inline constexpr std::size_t kMinHostFrame = 60;
// The device ID this emulator reports in VS_SW_VER.CNF: a QCA7000.
inline constexpr std::uint8_t kDeviceIdQca7000 = 0x22;

class GreenPhyModem final : public platform::SpiDevice {
public:
    static constexpr std::uint16_t kSignature = 0xAA55;
    static constexpr std::uint8_t kLocalMgmtMac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};

    GreenPhyModem(ModemConfig config, Line* line, PcapWriter* pcap = nullptr);

    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bitsPerWord) override;

    // Level of the reset line (GPIO 79): low holds the chip in reset, a rise
    // starts it again.
    void SetResetLine(int level);
    // A line that loses this percentage of data frames in each direction
    // (management messages cross; the same losses on every run).
    void SetDataLoss(unsigned percent) { dataLossPercent_ = percent; }
    std::uint32_t dataLost = 0;
    // Takes the frames waiting on the line side into the read buffer.
    void PollLine();
    // Offers a frame as if it came from the line.
    void InjectFromLine(const std::uint8_t* frame, std::size_t len);

    bool IsUp() const;
    const ModemConfig& config() const { return config_; }
    ModemConfig& config() { return config_; }

    // What the driver did (tests and diagnosis).
    struct RegWrite {
        std::uint16_t reg;
        std::uint16_t value;
    };
    std::vector<RegWrite> regWrites;
    std::vector<std::vector<std::uint8_t>> bufferWrites;  // accepted write frames, as received
    std::uint32_t frameErrors = 0;     // write frames that broke the framing
    std::uint32_t protocolErrors = 0;  // transfers that were no command of the chip
    std::uint32_t readErrors = 0;      // buffer reads beyond the bytes available
    std::uint32_t lineDrops = 0;       // line frames that did not fit the read buffer
    std::uint32_t resets = 0;          // rising edges of the reset line
    std::map<std::uint16_t, std::uint32_t> mgmtRequests;  // by MMTYPE
    std::uint32_t profiles = 0;    // CM_ATTEN_PROFILE.IND offered to the host
    std::uint32_t notAdmitted = 0; // data frames held back: the peer has not joined the network
    std::uint32_t shortWrites = 0; // write-space reads that found no room on purpose
    // Stations that joined the network: a CM_SLAC_MATCH.CNF gave them the key in use.
    bool LoseData();
    unsigned dataLossPercent_ = 0;
    std::uint32_t lossState_ = 1;
    bool Admitted(const std::uint8_t mac[6]) const;
    const std::uint8_t* nid() const { return nid_; }
    const std::uint8_t* nmk() const { return nmk_; }

private:
    void PowerUp();
    std::uint16_t ReadRegister(std::uint16_t reg);
    void WriteRegister(std::uint16_t reg, std::uint16_t value);
    void BufferWrite(const std::uint8_t* tx, std::size_t len);
    void BufferRead(std::uint8_t* rx, std::size_t len);
    void FromHost(const std::uint8_t* frame, std::size_t len);
    bool AnswerManagement(const std::uint8_t* frame, std::size_t len);
    void Offer(const std::uint8_t* frame, std::size_t len);
    void FromLine(const std::uint8_t* frame, std::size_t len);
    void OfferProfile(const std::uint8_t* sound);
    void Reply(const std::uint8_t* request, std::uint8_t mmv, std::uint16_t mmtype, const std::vector<std::uint8_t>& payload);

    ModemConfig config_;
    Line* line_;
    PcapWriter* pcap_;
    std::map<std::uint16_t, std::uint16_t> regs_;
    std::deque<std::uint8_t> readStream_;
    std::uint16_t cause_ = 0;
    enum class Pending { None, Write, Read } pending_ = Pending::None;
    int resetLine_ = 1;
    std::int64_t releasedAt_;
    bool cpuOnRaised_ = false;
    std::uint8_t nid_[7];
    std::uint8_t nmk_[16] = {};
    std::vector<std::array<std::uint8_t, 6>> admitted_;
    std::uint32_t writeSpaceReads_ = 0;
};

// Reset line of the emulated modem as a GPIO (tests): line 79 drives the
// modem; every line keeps its last value for reading back.
class ModemGpio final : public platform::Gpio {
public:
    explicit ModemGpio(GreenPhyModem& modem) : modem_(modem) {}
    bool Export(int) override { return true; }
    bool SetDirection(int, const std::string&) override { return true; }
    bool Write(int line, int value) override;
    std::optional<char> ReadChar(int line) override;
    std::vector<std::pair<int, int>> writes;  // (line, value) in order

private:
    GreenPhyModem& modem_;
    std::map<int, int> values_;
};

}  // namespace greenphy

#include "greenphy_modem.h"

#include <algorithm>
#include <cstring>

#include "clock.h"

namespace greenphy {
namespace {

constexpr std::uint16_t kRegBufferSize = 0x0100;
constexpr std::uint16_t kRegWriteSpace = 0x0200;
constexpr std::uint16_t kRegBytesAvailable = 0x0300;
constexpr std::uint16_t kRegIntCause = 0x0C00;
constexpr std::uint16_t kRegSignature = 0x1A00;
constexpr std::uint16_t kCmdRead = 0x8000;
constexpr std::uint16_t kIntCpuOn = 0x0001;
constexpr std::uint16_t kIntRdbufErr = 0x0002;
constexpr std::uint16_t kIntWrbufErr = 0x0004;
constexpr std::uint16_t kIntPktAvailable = 0x0040;

constexpr std::uint8_t kOui[3] = {0x00, 0xB0, 0x52};
constexpr std::size_t kMinFrame = 60;
constexpr std::size_t kMaxLineFrame = 1518;

std::int64_t NowMs() { return platform::GetClock().MonotonicMs(); }

}  // namespace

GreenPhyModem::GreenPhyModem(ModemConfig config, Line* line, PcapWriter* pcap)
    : config_(std::move(config)), line_(line), pcap_(pcap), releasedAt_(NowMs()) {
    // The network the chip belongs to before anybody sets a key.
    std::memcpy(nid_, config_.mac, 6);
    nid_[6] = 0x0F;
}

bool GreenPhyModem::IsUp() const { return resetLine_ == 1 && NowMs() - releasedAt_ >= config_.resetDelayMs; }

void GreenPhyModem::PowerUp() {
    if (cpuOnRaised_) return;
    cpuOnRaised_ = true;
    cause_ |= kIntCpuOn;
}

void GreenPhyModem::SetResetLine(int level) {
    level = level ? 1 : 0;
    if (level == resetLine_) return;
    resetLine_ = level;
    if (level == 0) {  // held in reset: everything volatile is gone
        regs_.clear();
        readStream_.clear();
        cause_ = 0;
        pending_ = Pending::None;
        cpuOnRaised_ = false;
        return;
    }
    ++resets;
    releasedAt_ = NowMs();
}

int GreenPhyModem::Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bitsPerWord) {
    if (len == 0) return -1;
    std::vector<std::uint8_t> out(len, 0);
    std::vector<std::uint8_t> in(len, 0);
    if (tx) std::memcpy(in.data(), tx, len);
    if (IsUp()) {
        PowerUp();
        PollLine();
        if (pending_ != Pending::None) {
            Pending p = pending_;
            pending_ = Pending::None;
            if (bitsPerWord != 8 || len != regs_[kRegBufferSize]) {
                ++protocolErrors;
                cause_ |= p == Pending::Write ? kIntWrbufErr : kIntRdbufErr;
            } else if (p == Pending::Write) {
                BufferWrite(in.data(), len);
            } else {
                BufferRead(out.data(), len);
            }
        } else if (bitsPerWord == 16 && len == 4 && (in[0] & 0x40)) {
            std::uint16_t cmd = static_cast<std::uint16_t>(in[0] << 8 | in[1]);
            std::uint16_t reg = cmd & 0x3FFF;
            if (cmd & kCmdRead) {
                std::uint16_t v = ReadRegister(reg);
                out[2] = static_cast<std::uint8_t>(v >> 8);
                out[3] = static_cast<std::uint8_t>(v);
            } else {
                WriteRegister(reg, static_cast<std::uint16_t>(in[2] << 8 | in[3]));
            }
        } else if (bitsPerWord == 8 && len == 2 && (in[0] == 0x00 || in[0] == 0x80) && in[1] == 0) {
            pending_ = (in[0] & 0x80) ? Pending::Read : Pending::Write;
        } else {
            ++protocolErrors;
        }
    }
    if (rx) std::memcpy(rx, out.data(), len);
    return static_cast<int>(len);
}

std::uint16_t GreenPhyModem::ReadRegister(std::uint16_t reg) {
    switch (reg) {
    case kRegSignature: return kSignature;
    case kRegWriteSpace:
        if (config_.writeSpaceShortEvery && ++writeSpaceReads_ % config_.writeSpaceShortEvery == 0) {
            ++shortWrites;
            return 0;
        }
        return config_.writeBufferSize;
    case kRegBytesAvailable:
        if (config_.bytesAvailableOverride) return *config_.bytesAvailableOverride;
        return static_cast<std::uint16_t>(readStream_.size());
    case kRegIntCause: return static_cast<std::uint16_t>(cause_ | (readStream_.empty() ? 0 : kIntPktAvailable));
    default: return regs_[reg];
    }
}

void GreenPhyModem::WriteRegister(std::uint16_t reg, std::uint16_t value) {
    regWrites.push_back({reg, value});
    if (reg == kRegIntCause) {
        cause_ = static_cast<std::uint16_t>(cause_ & ~value);  // acknowledge
        return;
    }
    if (reg == kRegSignature || reg == kRegWriteSpace || reg == kRegBytesAvailable) return;  // read-only
    regs_[reg] = value;
}

// A write frame: AA AA AA AA, length (little-endian), 00 00, frame, 55 55,
// exactly as long as the announced buffer size and within the space.
void GreenPhyModem::BufferWrite(const std::uint8_t* tx, std::size_t len) {
    bool ok = len >= 10 + 14 && len <= config_.writeBufferSize && tx[0] == 0xAA && tx[1] == 0xAA && tx[2] == 0xAA &&
              tx[3] == 0xAA && tx[6] == 0 && tx[7] == 0;
    std::size_t fl = ok ? (tx[4] | tx[5] << 8) : 0;
    ok = ok && fl >= kMinHostFrame && fl + 10 == len && tx[8 + fl] == 0x55 && tx[9 + fl] == 0x55;
    if (!ok) {
        ++frameErrors;
        cause_ |= kIntWrbufErr;
        return;
    }
    bufferWrites.emplace_back(tx, tx + len);
    FromHost(tx + 8, fl);
}

// A read frame: the 4-byte length (most significant first) of what follows,
// then the frame as in the write direction.
void GreenPhyModem::BufferRead(std::uint8_t* rx, std::size_t len) {
    if (len > readStream_.size()) {
        ++readErrors;
        cause_ |= kIntRdbufErr;
        return;
    }
    for (std::size_t i = 0; i < len; ++i) {
        rx[i] = readStream_.front();
        readStream_.pop_front();
    }
}

namespace {
bool IsMme(const std::uint8_t* f, std::size_t len) { return len >= 17 && f[12] == 0x88 && f[13] == 0xE1; }
std::uint16_t MmType(const std::uint8_t* f) { return static_cast<std::uint16_t>(f[15] | f[16] << 8); }
}  // namespace

bool GreenPhyModem::Admitted(const std::uint8_t mac[6]) const {
    for (const auto& a : admitted_)
        if (std::memcmp(a.data(), mac, 6) == 0) return true;
    return false;
}

bool GreenPhyModem::LoseData() {
    if (dataLossPercent_ == 0) return false;
    lossState_ = lossState_ * 1103515245u + 12345u;
    if ((lossState_ >> 16) % 100 >= dataLossPercent_) return false;
    ++dataLost;
    return true;
}

// Management messages cross at any time (SLAC runs before a vehicle joins);
// data frames only to and from stations of the network, which a vehicle
// joins with the key the station gives it in CM_SLAC_MATCH.CNF.
void GreenPhyModem::FromHost(const std::uint8_t* frame, std::size_t len) {
    if (pcap_) pcap_->Write(frame, len);
    if (AnswerManagement(frame, len)) return;
    if (IsMme(frame, len)) {
        if (MmType(frame) == 0x607D && len >= 19 + 90 && std::memcmp(frame + 19 + 66, nid_, 7) == 0 &&
            std::memcmp(frame + 19 + 74, nmk_, 16) == 0 && !Admitted(frame)) {
            std::array<std::uint8_t, 6> mac;
            std::memcpy(mac.data(), frame, 6);
            admitted_.push_back(mac);
        }
    } else if (config_.requireMatch && !((frame[0] & 1) ? !admitted_.empty() : Admitted(frame))) {
        ++notAdmitted;
        return;
    } else if (LoseData()) {
        return;
    }
    if (line_) line_->Send(frame, len);
}

void GreenPhyModem::FromLine(const std::uint8_t* frame, std::size_t len) {
    if (!IsMme(frame, len)) {
        if (config_.requireMatch && !Admitted(frame + 6)) {
            ++notAdmitted;
            return;
        }
        if (LoseData()) return;
        Offer(frame, len);
        return;
    }
    Offer(frame, len);
    if (MmType(frame) == 0x6076) OfferProfile(frame);
}

// What the chip measured on a sound: CM_ATTEN_PROFILE.IND to its host, naming
// the sounding station.
void GreenPhyModem::OfferProfile(const std::uint8_t* sound) {
    std::size_t groups = std::min<std::size_t>(config_.attenuation.size(), 255);
    std::vector<std::uint8_t> f(config_.mac, config_.mac + 6);
    f.insert(f.end(), config_.mac, config_.mac + 6);
    f.insert(f.end(), {0x88, 0xE1, 0x01, 0x86, 0x60, 0, 0});
    f.insert(f.end(), sound + 6, sound + 12);
    f.push_back(static_cast<std::uint8_t>(groups));
    f.push_back(0);
    f.insert(f.end(), config_.attenuation.begin(), config_.attenuation.begin() + static_cast<std::ptrdiff_t>(groups));
    if (f.size() < kMinFrame) f.resize(kMinFrame, 0);
    ++profiles;
    Offer(f.data(), f.size());
}

void GreenPhyModem::Offer(const std::uint8_t* frame, std::size_t len) {
    std::size_t padded = config_.padShortFrames ? std::max(len, kMinFrame) : len;
    if (readStream_.size() + padded + 14 > config_.readBufferSize) {
        ++lineDrops;
        return;
    }
    if (pcap_) pcap_->Write(frame, len);
    std::uint32_t chipLen = static_cast<std::uint32_t>(padded + 10);
    for (int s = 24; s >= 0; s -= 8) readStream_.push_back(static_cast<std::uint8_t>(chipLen >> s));
    for (int i = 0; i < 4; ++i) readStream_.push_back(0xAA);
    readStream_.push_back(static_cast<std::uint8_t>(padded));
    readStream_.push_back(static_cast<std::uint8_t>(padded >> 8));
    readStream_.push_back(0);
    readStream_.push_back(0);
    readStream_.insert(readStream_.end(), frame, frame + len);
    readStream_.insert(readStream_.end(), padded - len, 0);
    readStream_.push_back(0x55);
    readStream_.push_back(0x55);
}

void GreenPhyModem::InjectFromLine(const std::uint8_t* frame, std::size_t len) {
    if (IsUp()) FromLine(frame, len);
}

void GreenPhyModem::PollLine() {
    if (!line_) return;
    std::uint8_t buf[2048];
    for (;;) {
        ssize_t n = line_->Receive(buf, sizeof(buf));
        if (n <= 0) return;
        if (static_cast<std::size_t>(n) < 14 || static_cast<std::size_t>(n) > kMaxLineFrame) continue;
        if (IsUp()) FromLine(buf, static_cast<std::size_t>(n));
    }
}

void GreenPhyModem::Reply(const std::uint8_t* request, std::uint8_t mmv, std::uint16_t mmtype,
                          const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f(6, 0);
    std::memcpy(f.data(), request + 6, 6);  // to the requester
    f.insert(f.end(), config_.mac, config_.mac + 6);
    f.insert(f.end(), {0x88, 0xE1, mmv, static_cast<std::uint8_t>(mmtype), static_cast<std::uint8_t>(mmtype >> 8)});
    if (mmv == 1) f.insert(f.end(), {0, 0});
    f.insert(f.end(), payload.begin(), payload.end());
    if (f.size() < kMinFrame) f.resize(kMinFrame, 0);
    Offer(f.data(), f.size());
}

// Management messages addressed to the chip itself.
bool GreenPhyModem::AnswerManagement(const std::uint8_t* frame, std::size_t len) {
    if (len < 19 || frame[12] != 0x88 || frame[13] != 0xE1) return false;
    bool toChip = std::memcmp(frame, kLocalMgmtMac, 6) == 0 || std::memcmp(frame, config_.mac, 6) == 0;
    std::uint16_t mmtype = static_cast<std::uint16_t>(frame[15] | frame[16] << 8);
    if (!toChip || (mmtype != 0xA000 && mmtype != 0xA038 && mmtype != 0x6008)) return false;
    ++mgmtRequests[mmtype];
    if (config_.managementSilent) return true;

    std::vector<std::uint8_t> p;
    switch (mmtype) {
    case 0xA000: {  // VS_SW_VER.REQ (MMV 0)
        p.assign(kOui, kOui + 3);
        p.push_back(0);  // status: success
        p.push_back(kDeviceIdQca7000);
        std::string v = config_.version.substr(0, 63);
        p.push_back(static_cast<std::uint8_t>(v.size() + 1));
        p.insert(p.end(), v.begin(), v.end());
        p.resize(6 + 64, 0);
        p.push_back(0);  // not upgradable
        Reply(frame, 0, 0xA001, p);
        break;
    }
    case 0xA038: {  // VS_NW_INFO.REQ
        p.assign(kOui, kOui + 3);
        p.resize(8, 0);
        p.push_back(1);  // one network
        p.insert(p.end(), nid_, nid_ + 7);
        p.resize(18, 0);
        p.push_back(nid_[0] & 0x0F);  // short network ID
        p.push_back(1);               // our TEI
        p.resize(24, 0);
        p.push_back(2);  // role: central coordinator of its own network
        p.insert(p.end(), config_.mac, config_.mac + 6);
        p.push_back(1);  // its TEI
        p.resize(35, 0);
        p.push_back(0);  // no other station
        p.resize(41, 0);
        Reply(frame, 1, 0xA039, p);
        break;
    }
    case 0x6008: {  // CM_SET_KEY.REQ: key type, nonces, PID, PRN, PMN, CCo, NID, EKS, NMK
        if (len < 19 + 38) return true;
        const std::uint8_t* q = frame + 19;
        p.push_back(config_.setKeyResult);
        p.insert(p.end(), q + 5, q + 9);  // my nonce = the requester's "your nonce"
        p.insert(p.end(), q + 1, q + 5);  // your nonce = the requester's nonce
        p.insert(p.end(), q + 9, q + 14);  // PID, PRN, PMN, CCo capability
        if (config_.setKeyResult == 1 && q[0] == 1) {
            std::memcpy(nid_, q + 14, 7);
            std::memcpy(nmk_, q + 22, 16);
            admitted_.clear();  // a new network: nobody has its key yet
        }
        Reply(frame, 1, 0x6009, p);
        break;
    }
    }
    return true;
}

bool ModemGpio::Write(int line, int value) {
    writes.emplace_back(line, value);
    values_[line] = value ? 1 : 0;
    if (line == 79) modem_.SetResetLine(value);
    return true;
}

std::optional<char> ModemGpio::ReadChar(int line) {
    auto it = values_.find(line);
    return it == values_.end() ? '1' : static_cast<char>('0' + it->second);
}

}  // namespace greenphy

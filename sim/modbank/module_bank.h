// A bank of rectifier modules on can0, as the power-module manager meets
// them: serial numbers and address assignment, a parameter copy with its
// CRC, heartbeats, measurement reads, object access, both bootloader flows,
// status reports with injectable faults, and a plant model that turns the
// set-point and on/off commands into output voltage and current into a
// resistive load or, through the output relays, into a vehicle's battery.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "can.h"

namespace modbank {

struct SimModule {
    std::uint16_t serial[4] = {};
    unsigned kind = 10;
    std::uint8_t address = 0;
    bool operational = false;
    bool muted = false;             // answers nothing (a module that has died)
    std::uint8_t params[46] = {};   // the module's copy of the parameter block
    int downloads = 0;
    bool acceptDownload = true;     // false: keeps its old block (a broken flash)

    // Output.
    int onOff = 1;
    std::uint16_t setVoltage = 0;   // 0.1 V
    int resets = 0;
    std::uint16_t share = 0;        // 1/10,000 of the bank's available current
    std::uint16_t outVoltage = 0;   // 0.1 V
    std::uint16_t outCurrent = 0;   // 0.1 A
    std::uint32_t availableCurrent = 4000;  // 0.01 A
    std::uint32_t availablePower = 15000;   // W

    // Reports and objects.
    std::uint32_t statusWord = 0;
    std::uint8_t hardwareFault = 0;  // heartbeat acknowledge byte 1
    std::uint8_t objects21[256][8] = {};
    std::uint16_t lifeTime = 3000;   // object 1.7, 0.01 s
    std::string version = "V1.02.03";
    std::uint16_t fanSpeed = 3200;
    bool objectOpen = false;

    // Primary bootloader.
    bool inBootloader = false;
    int bootState = 0;
    bool neverReady = false;         // never reaches state 8
    std::vector<std::uint8_t> blockData;
    std::vector<std::uint8_t> primaryImage;
    std::vector<std::uint32_t> blockAddresses;
    std::vector<std::uint16_t> blockLengths;
    int badBlocks = 0;

    // Secondary transfer.
    std::uint32_t blockSize = 256;
    std::uint32_t secondaryLength = 0;
    std::vector<std::uint8_t> secondaryImage;
    std::uint32_t segmentsInBlock = 0;
    bool secondaryComplete = false;

    std::uint32_t Id(std::uint32_t base) const;
    std::uint16_t ParamCrc() const;
};

// The outlet behind the modules: the output relays, the cable and the
// vehicle's battery behind its contactor. The modules regulate their
// current (each at most its share) up to their set voltage; the battery
// takes what they give through the series resistance of cable and battery.
struct Outlet {
    bool relaysClosed = false;
    bool contactorClosed = false;
    std::uint16_t battery = 0;     // the battery's open-circuit voltage, 0.1 V
    double seriesOhms = 0.1;       // relays, cable and the battery's own resistance
    std::uint16_t overVolt = 0;    // a regulation fault: the output runs this far (0.1 V) above the plant
};

class ModuleBank {
public:
    using Sender = std::function<void(const platform::CanFrame&)>;
    explicit ModuleBank(Sender send) : send_(std::move(send)) {}

    SimModule& Add(std::uint16_t w0, std::uint16_t w1, std::uint16_t w2, std::uint16_t w3);
    // Modules power up: they ask for an address.
    void PowerUp();
    void Receive(const platform::CanFrame& frame, std::int64_t nowMs);
    // Plant model and the modules' own status reports (once a second).
    void Tick(std::int64_t nowMs);
    SimModule* ByAddress(unsigned address);
    // Output voltage and current from the modules' commands and the load.
    void Plant();
    // What a voltmeter at the outlet reads (0.1 V): the modules' output while
    // the relays are closed, the battery's voltage while its contactor is.
    std::uint16_t OutletVoltage() const { return outletVoltage_; }

    std::vector<SimModule> modules;
    double loadOhms = 10.0;
    // Set: the modules feed the outlet instead of the resistive load.
    bool outletModel = false;
    Outlet outlet;
    std::int64_t reportPeriodMs = 1000;

private:
    void Send(const SimModule& m, std::uint32_t base, std::initializer_list<std::uint8_t> data = {});
    void Answer(SimModule& m, std::uint32_t id, const platform::CanFrame& f);
    void SerialQuery(unsigned word);

    Sender send_;
    std::vector<std::size_t> candidates_;
    std::int64_t lastReport_ = 0;
    std::uint16_t outletVoltage_ = 0;
};

}  // namespace modbank

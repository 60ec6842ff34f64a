// Tarnet's MeterValues: on a TriggerMessage, on the clock-aligned interval
// for every connector and on the sample interval during a transaction, from
// the meter blocks Bastide keeps current. Offline, or while a transaction
// started offline is being replayed, they go to the offline queue instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "messages.h"
#include "ocpp_time.h"
#include "tarnet.h"

namespace ocppj {

namespace {

constexpr std::size_t kMeterRing = 16;

struct MeasurandRow {
    const char* name;
    std::size_t index;  // into MeterMeasurandDefTable and the descriptors
    const char* unit;
    const char* location;
};
// In this order in every message and in the queue's meter lines.
constexpr MeasurandRow kMeasurands[kQueueMeterValues] = {
    {"Voltage", 21, "V", "Body"},
    {"Current.Import", 1, "A", "Body"},
    {"Power.Active.Import", 13, "kW", "Body"},
    {"Energy.Active.Import.Register", 4, "Wh", "Body"},
    {"SoC", 19, "Percent", "EV"},
    {"Current.Offered", 2, "A", "Body"},
};

std::string ValueText(const fennick::ConnectorMeterBlock& m, std::size_t row) {
    char buf[32];
    switch (row) {
    case 0: std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(static_cast<float>(m.voltage) / 100.0f)); break;
    case 1: std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(static_cast<float>(m.currentImport) / 100.0f)); break;
    case 2: std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(static_cast<float>(m.powerImport) / 1000.0f)); break;
    case 3: std::snprintf(buf, sizeof buf, "%d", m.energyImportRegister); break;
    case 4: std::snprintf(buf, sizeof buf, "%d", m.soc); break;
    default: std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(static_cast<float>(m.currentOffered) / 100.0f)); break;
    }
    return buf;
}

// One sampled value of measurand row `row`, described by the connector's
// descriptor where it gives a text that fits.
void PutSampled(SampledValue& v, const fennick::ConnectorMeterBlock& m, std::size_t row, const std::string& value,
                const std::string& context) {
    const MeasurandRow& r = kMeasurands[row];
    const fennick::MeasurandDescriptor& d = m.measurandDescriptors[r.index];
    std::memset(&v, 0, sizeof v);
    PutText(v.value, value);
    PutText(v.context, context);
    if (!PutText(v.format, FieldText(d.format)) || v.format[0] == '\0') PutText(v.format, "Raw");
    PutText(v.measurand, r.name);
    if (row != 4) PutText(v.phase, FieldText(d.phase));  // a state of charge has no phase
    if (!PutText(v.location, FieldText(d.location)) || v.location[0] == '\0') PutText(v.location, r.location);
    PutText(v.unit, r.unit);
}

}  // namespace

void Tarnet::FillMeterVals(MeterVals& m, int c, const char* context, const std::string& list) {
    std::memset(&m, 0, sizeof m);
    m.connectorId = c;
    m.transactionId = runtime_[c - 1].transactionId;
    MeterValue& mv = m.meterValue[0];
    PutText(mv.timestamp, EpochToUTC(platform::GetClock().WallSeconds()));
    const fennick::ConnectorMeterBlock& block = fennick::MeterBlock(*app_, c);
    std::size_t slot = 0;
    for (std::size_t row = 0; row < kQueueMeterValues; ++row) {
        if (list.find(kMeasurands[row].name) == std::string::npos) continue;
        PutSampled(mv.sampledValue[slot++], block, row, ValueText(block, row), context);
    }
}

// The queue line of a record: each measurand in its place, "x" where it was
// not sampled.
void Tarnet::QueueMeterVals(const MeterVals& m) {
    const MeterValue& mv = m.meterValue[0];
    QueueRecord r;
    r.kind = 3;
    r.connectorId = m.connectorId;
    r.transactionId = m.transactionId;
    r.timestamp = static_cast<std::uint32_t>(UtcToEpoch(FieldText(mv.timestamp)));
    r.context = mv.sampledValue[0].context[0] != '\0' ? FieldText(mv.sampledValue[0].context) : std::string("Other");
    for (std::size_t row = 0; row < kQueueMeterValues; ++row) {
        std::string value(1, 'x');
        for (const SampledValue& v : mv.sampledValue)
            if (v.value[0] != '\0' && FieldText(v.measurand) == kMeasurands[row].name) value = FieldText(v.value);
        r.values[row] = std::move(value);
    }
    PushTxnMsg2QueueBuf(r);
}

int Tarnet::MeterValueMgmt() {
    if (psMeterVals.size() != kMeterRing) psMeterVals.assign(kMeterRing, MeterVals{});
    if (ptTmStart.size() != static_cast<std::size_t>(connectors_)) ptTmStart.assign(connectors_, 0);
    const std::string aligned = config_.Value("MeterValuesAlignedData");
    const std::string sampled = config_.Value("MeterValuesSampledData");

    // A trigger for every connector serves one connector a pass.
    if (meterValuesTriggerReq_ != 0) {
        if (!MeterSlotFree()) return 1;
        const std::int32_t c = meterTriggerConnector_;
        if (c == -1) {
            FillMeterVals(x_->meterValues, u8ID, "Trigger", aligned);
            SetBit(*x_, kBitMeterValues);
            if (u8ID < connectors_) {
                ++u8ID;
                return 1;
            }
            u8ID = 1;
        } else if (c >= 1 && c <= connectors_) {
            FillMeterVals(x_->meterValues, c, "Trigger", aligned);
            SetBit(*x_, kBitMeterValues);
        }
        meterValuesTriggerReq_ = 0;
    } else {
        u8ID = 1;
    }

    auto put = [this](int c, const char* context, const std::string& list) {
        FillMeterVals(psMeterVals[u8NextIndex], c, context, list);
        u8NextIndex = static_cast<std::uint8_t>((u8NextIndex + 1) % kMeterRing);
        // A full ring gives up its oldest record, not all sixteen.
        if (u8NextIndex == u8CurrMeterIndex) u8CurrMeterIndex = static_cast<std::uint8_t>((u8CurrMeterIndex + 1) % kMeterRing);
    };
    const std::int64_t now = platform::GetClock().WallSeconds();

    // Clock-aligned: once per interval boundary of the epoch day, midnight
    // included.
    const std::int64_t interval = std::atoi(config_.Value("ClockAlignedDataInterval").c_str());
    if (interval < 1) {
        clockAlignedOld_ = -1;
    } else if (now != clockTmSec_) {
        clockTmSec_ = now;
        const std::int64_t secOfDay = now % 86400;
        const std::int64_t boundary = secOfDay - secOfDay % interval;
        if (clockAlignedOld_ == -1) {
            clockAlignedOld_ = boundary;
        } else if (boundary != clockAlignedOld_) {
            clockAlignedOld_ = boundary;
            for (int c = 1; c <= connectors_; ++c) put(c, "Sample.Clock", aligned);
        }
    }

    // Periodic, during a transaction.
    const std::int64_t period = std::atoi(config_.Value("MeterValueSampleInterval").c_str());
    for (int c = 1; c <= connectors_; ++c) {
        const ConnectorRuntime& rt = runtime_[c - 1];
        std::int64_t& last = ptTmStart[c - 1];
        if (rt.txnStartTime == 0) {
            last = 0;
            continue;
        }
        if (period <= 0) continue;
        if (last == 0) last = rt.txnStartTime;
        if (now - last >= period) {
            last = now;
            put(c, "Sample.Periodic", sampled);
        }
    }

    // The values of a transaction go to the transaction queue, which
    // delivers them like its start and stop; the others go straight out when
    // the link is up and the slot is free.
    while (u8CurrMeterIndex != u8NextIndex) {
        const MeterVals& rec = psMeterVals[u8CurrMeterIndex];
        const bool inTxn = rec.transactionId != 0 ||
                           (rec.connectorId >= 1 && rec.connectorId <= connectors_ &&
                            runtime_[rec.connectorId - 1].txnStartTime != 0);
        if (inTxn || IsOnlineAndQueueBufEmpty() != 1) {
            QueueMeterVals(rec);
        } else {
            if (!MeterSlotFree()) return 1;
            x_->meterValues = rec;
            SetBit(*x_, kBitMeterValues);
        }
        u8CurrMeterIndex = static_cast<std::uint8_t>((u8CurrMeterIndex + 1) % kMeterRing);
    }
    return 1;
}

// The replay's MeterValues from a queue line: the sampled values in table
// order, described as the live ones are.
void FillReplayedMeterVals(decltype(Exchange::meterValues)& m, const fennick::ConnectorMeterBlock& block,
                           const QueueRecord& r) {
    std::memset(&m, 0, sizeof m);
    m.connectorId = r.connectorId;
    m.transactionId = r.transactionId;
    MeterValue& mv = m.meterValue[0];
    PutText(mv.timestamp, EpochToUTC(r.timestamp));
    std::size_t slot = 0;
    for (std::size_t row = 0; row < kQueueMeterValues; ++row) {
        if (r.values[row].empty() || r.values[row][0] == 'x') continue;
        PutSampled(mv.sampledValue[slot++], block, row, r.values[row], r.context);
    }
}

}  // namespace ocppj

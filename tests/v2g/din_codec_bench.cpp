// Cost of the CurrentDemand exchange at the codec level: a CurrentDemandReq
// read into its record, a CurrentDemandRes written from its record.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "din_binding.h"

namespace {

void physical(PhysicalValueType* v, int8_t m, int unit, int16_t value) {
  v->Multiplier = m;
  v->Unit = unit;
  v->Value = value;
  v->isUsed = 1;
}

struct Exchange {
  std::unique_ptr<DinMessageStore> store = std::make_unique<DinMessageStore>();
  EXIDocumentType doc{};
  std::unique_ptr<DinService> service = std::make_unique<DinService>();
  std::vector<uint8_t> request;
  uint8_t out[kDinTransmitBuffer] = {};

  Exchange() {
    dinInitDocument(&doc, store.get());
    dinInitService(service.get(), &doc);
    store->header.SessionID.bytesLen = 8;
    auto& q = store->currentDemandReq;
    q.DC_EVStatus = {1, 0, 0, 0, 64, 0};
    physical(&q.EVTargetCurrent, 0, 3, 125);
    physical(&q.EVMaximumVoltageLimit, 0, 5, 450);
    physical(&q.EVMaximumCurrentLimit, 0, 3, 200);
    physical(&q.EVMaximumPowerLimit, 3, 7, 90);
    q.ChargingComplete = 0;
    physical(&q.EVTargetVoltage, 0, 5, 400);
    q.isUsed = 7;
    doc.V2G_Message.Body.isUsed = uint64_t{1} << 30;
    std::vector<uint8_t> buffer(512);
    uint32_t length = 0;
    dinSerializeMessage(service.get(), buffer.data(), 512, 8, &length);
    request.assign(buffer.begin(), buffer.begin() + 8 + length);
    auto& r = store->currentDemandRes;
    r.DC_EVSEStatus = {1, 1, 0, 0, 1};
    physical(&r.EVSEPresentVoltage, 0, 5, 399);
    physical(&r.EVSEPresentCurrent, 0, 3, 124);
    physical(&r.EVSEMaximumVoltageLimit, 0, 5, 500);
    physical(&r.EVSEMaximumCurrentLimit, 0, 3, 200);
    physical(&r.EVSEMaximumPowerLimit, 3, 7, 50);
    r.isUsed = 7;
  }
};

void BM_DecodeCurrentDemandReq(benchmark::State& state) {
  Exchange x;
  for (auto _ : state) {
    int rc = dinDeserializeMessage(x.service.get(), x.request.data(),
                                   static_cast<uint32_t>(x.request.size() - 8), 8);
    benchmark::DoNotOptimize(rc);
  }
}
BENCHMARK(BM_DecodeCurrentDemandReq);

void BM_EncodeCurrentDemandRes(benchmark::State& state) {
  Exchange x;
  x.doc.V2G_Message.Body.isUsed = uint64_t{1} << 31;
  for (auto _ : state) {
    uint32_t length = 0;
    int rc = dinSerializeMessage(x.service.get(), x.out, sizeof x.out, 8, &length);
    benchmark::DoNotOptimize(rc);
  }
}
BENCHMARK(BM_EncodeCurrentDemandRes);

}  // namespace

BENCHMARK_MAIN();

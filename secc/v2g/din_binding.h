// EXI binding of the DIN message records: requests are read from decoded
// events into records, responses are written from records as encoder
// events. Both walk one description per record type (member, its qname ID,
// kind, isUsed bit, capacity), so reading and writing agree member for
// member.
#pragma once

#include <cstddef>
#include <cstdint>

#include "EXITypes.h"
#include "din_records.h"

// How a member is coded and stored.
enum DinKind : uint8_t {
  DIN_ENUM,     // int32_t, enumeration index
  DIN_BOOL,     // int32_t, 0 or 1
  DIN_BYTE,     // int8_t, bounded integer
  DIN_UBYTE,    // uint8_t, bounded integer
  DIN_SHORT,    // int16_t
  DIN_USHORT,   // uint16_t
  DIN_UINT,     // uint32_t
  DIN_INT,      // int32_t
  DIN_LONG,     // int64_t
  DIN_HEX,      // DinBytes, hexBinary
  DIN_BASE64,   // DinBytes, base64Binary
  DIN_STRING,   // DinString
  DIN_RECORD,   // embedded record
  DIN_REF,      // pointer to a record placed elsewhere
};

struct DinRecordDesc;

struct DinMember {
  uint16_t qname;
  uint8_t kind;              // DinKind
  int8_t bit;                // isUsed bit, -1 for a mandatory member
  bool attribute;
  bool list;                 // DinList of entries
  uint32_t offset;           // of the member (the list for a repeated member)
  uint32_t entries;          // offset of the first entry within the member
  uint32_t stride;           // size of one entry
  uint32_t capacity;         // characters or bytes (of each entry)
  uint32_t listCapacity;     // entries of a repeated member
  const DinRecordDesc* record;  // DIN_RECORD and DIN_REF
};

struct DinRecordDesc {
  const char* name;
  const DinMember* members;
  uint32_t count;
  uint32_t isUsedOffset;  // kDinNoIsUsed for a record without optional members
  uint32_t size;          // of the record
  bool links;             // holds a reference (DIN_REF), itself or in an embedded record
};

constexpr uint32_t kDinNoIsUsed = 0xFFFFFFFFu;

// Error codes of the service record.
enum DinErrorCode : uint8_t {
  DIN_ERROR_NONE = 0,
  DIN_ERROR_DECODING = 1,
  DIN_ERROR_ENCODING = 2,
  DIN_ERROR_WRONG_TYPE = 4,
  DIN_ERROR_VALUE_REFUSED = 5,
};

// The encoder operations the serializers call; tests put a recording or
// failing encoder in their place.
struct DinEncoderOps {
  int32_t (*startDocument)(BitStream*, ExiCoderState*);
  int32_t (*endDocument)(BitStream*, ExiCoderState*);
  int32_t (*startElement)(BitStream*, ExiCoderState*, uint16_t);
  int32_t (*endElement)(BitStream*, ExiCoderState*);
  int32_t (*characters)(BitStream*, ExiCoderState*, const ExiValue*);
  int32_t (*attribute)(BitStream*, ExiCoderState*, uint16_t, const ExiValue*);
};

extern const DinEncoderOps kDinExiEncoder;

// Transmit buffer of one response: the 8-byte transport header and the EXI
// body. It holds the largest response the session builds.
constexpr uint32_t kDinTransmitBuffer = 100;

// One request-response exchange: streams, coder states, the shared value
// with its 64-byte and 64-character buffers, the document.
struct DinService {
  BitStream inStream;
  BitStream outStream;
  uint32_t inPos;   // byte counters of the two streams
  uint32_t outPos;
  ExiCoderState decoder;
  ExiCoderState encoder;
  int32_t currentEvent;
  uint16_t currentQName;
  ExiValue value;
  uint8_t bytes[64];
  uint32_t chars[64];
  EXIDocumentType* document;
  uint8_t errorCode;            // DinErrorCode
  uint32_t skippedElements;     // content kept in no record (the signature), this request
  const DinEncoderOps* ops;
};

// The records a request or response of any kind is read into: every body
// reference and every nested reference points into it.
struct DinMessageStore {
  MessageHeaderType header;
  SessionSetupReqType sessionSetupReq;
  SessionSetupResType sessionSetupRes;
  ServiceDiscoveryReqType serviceDiscoveryReq;
  ServiceDiscoveryResType serviceDiscoveryRes;
  ServiceDetailReqType serviceDetailReq;
  ServiceDetailResType serviceDetailRes;
  ServicePaymentSelectionReqType servicePaymentSelectionReq;
  ServicePaymentSelectionResType servicePaymentSelectionRes;
  PaymentDetailsReqType paymentDetailsReq;
  PaymentDetailsResType paymentDetailsRes;
  ContractAuthenticationReqType contractAuthenticationReq;
  ContractAuthenticationResType contractAuthenticationRes;
  ChargeParameterDiscoveryReqType chargeParameterDiscoveryReq;
  ChargeParameterDiscoveryResType chargeParameterDiscoveryRes;
  PowerDeliveryReqType powerDeliveryReq;
  PowerDeliveryResType powerDeliveryRes;
  ChargingStatusReqType chargingStatusReq;
  ChargingStatusResType chargingStatusRes;
  MeteringReceiptReqType meteringReceiptReq;
  MeteringReceiptResType meteringReceiptRes;
  SessionStopType sessionStopReq;
  SessionStopResType sessionStopRes;
  CertificateUpdateReqType certificateUpdateReq;
  CertificateUpdateResType certificateUpdateRes;
  CertificateInstallationReqType certificateInstallationReq;
  CertificateInstallationResType certificateInstallationRes;
  CableCheckReqType cableCheckReq;
  CableCheckResType cableCheckRes;
  PreChargeReqType preChargeReq;
  PreChargeResType preChargeRes;
  CurrentDemandReqType currentDemandReq;
  CurrentDemandResType currentDemandRes;
  WeldingDetectionReqType weldingDetectionReq;
  WeldingDetectionResType weldingDetectionRes;
  AC_EVChargeParameterType acEVChargeParameter;
  DC_EVChargeParameterType dcEVChargeParameter;
  DC_EVPowerDeliveryParameterType dcEVPowerDeliveryParameter;
  AC_EVSEChargeParameterType acEVSEChargeParameter;
  DC_EVSEChargeParameterType dcEVSEChargeParameter;
  AC_EVSEStatusType acEVSEStatus;
  DC_EVSEStatusType dcEVSEStatus;
  SalesTariffType salesTariff[3];
};

// Value-initialises the store and a document whose references all point
// into it; no bit is set.
void dinInitDocument(EXIDocumentType* document, DinMessageStore* store);

// Value-initialises a record in place and every record it references; the
// references themselves stay, so the document keeps pointing into its store.
void dinClearRecord(const DinRecordDesc* desc, void* record);

// Value-initialises the record of one body message (the Body's isUsed bit
// of that request or response) and what it references.
void dinClearBodyMessage(EXIDocumentType* document, uint32_t bit);

// Sets up the service over the document with the real encoder.
void dinInitService(DinService* service, EXIDocumentType* document);

// Writes the whole document as an EXI body into out[offset .. size);
// *length gets the body length. 0, or -1 on any encoder failure (nothing
// of the stream is then to be sent).
int dinSerializeMessage(DinService* service, uint8_t* out, uint32_t size, uint32_t offset,
                        uint32_t* length);

// Reads the EXI body in[offset .. offset + length) into the document.
// 0, or -1 with the service's error code set. Each referenced record the
// message reaches (the header, the request, the records the request refers
// to) is value-initialised as the message enters it, and the Body's bits
// start empty: nothing of an earlier message is read back.
int dinDeserializeMessage(DinService* service, uint8_t* in, uint32_t length, uint32_t offset);

// Writes the content of one record (attributes, then child elements); the
// caller writes the element's start and end.
int dinSerializeRecord(DinService* service, const DinRecordDesc* desc, const void* record);

// Integer conversions into the members' widths: 0, or -1 when the value
// does not fit the destination.
int _setInt64Value(const ExiInteger* value, int64_t* out);
int _setUnsignedInt32Value(const ExiInteger* value, uint32_t* out);
int _setUnsignedInt16Value(const ExiInteger* value, uint16_t* out);
int _setInt16Value(const ExiInteger* value, int16_t* out);
int _setInt32Value(const ExiInteger* value, int32_t* out);

// Record descriptions, by schema type name, with the initialiser and the
// serializer of each record: init_<record> empties it (value-initialised: no
// member, count or bit left over), serialize_<record> writes its content.
#define DIN_RECORD_LIST(X) \
  X(PhysicalValueType) \
  X(DC_EVStatusType) \
  X(DC_EVSEStatusType) \
  X(AC_EVSEStatusType) \
  X(MessageHeaderType) \
  X(BodyType) \
  X(AnonType_V2G_Message) \
  X(SessionSetupReqType) \
  X(SessionSetupResType) \
  X(ServiceDiscoveryReqType) \
  X(ServiceDiscoveryResType) \
  X(ServiceDetailReqType) \
  X(ServiceDetailResType) \
  X(ServicePaymentSelectionReqType) \
  X(ServicePaymentSelectionResType) \
  X(PaymentDetailsReqType) \
  X(PaymentDetailsResType) \
  X(ContractAuthenticationReqType) \
  X(ContractAuthenticationResType) \
  X(ChargeParameterDiscoveryReqType) \
  X(ChargeParameterDiscoveryResType) \
  X(PowerDeliveryReqType) \
  X(PowerDeliveryResType) \
  X(ChargingStatusReqType) \
  X(ChargingStatusResType) \
  X(MeteringReceiptReqType) \
  X(MeteringReceiptResType) \
  X(SessionStopType) \
  X(SessionStopResType) \
  X(CertificateUpdateReqType) \
  X(CertificateUpdateResType) \
  X(CertificateInstallationReqType) \
  X(CertificateInstallationResType) \
  X(CableCheckReqType) \
  X(CableCheckResType) \
  X(PreChargeReqType) \
  X(PreChargeResType) \
  X(CurrentDemandReqType) \
  X(CurrentDemandResType) \
  X(WeldingDetectionReqType) \
  X(WeldingDetectionResType) \
  X(NotificationType) \
  X(CertificateChainType) \
  X(MeterInfoType) \
  X(SelectedServiceListType) \
  X(SelectedServiceType) \
  X(AC_EVChargeParameterType) \
  X(DC_EVChargeParameterType) \
  X(ChargingProfileType) \
  X(ProfileEntryType) \
  X(DC_EVPowerDeliveryParameterType) \
  X(ListOfRootCertificateIDsType) \
  X(ServiceTagType) \
  X(ServiceChargeType) \
  X(ServiceType) \
  X(ServiceTagListType) \
  X(PaymentOptionsType) \
  X(ParameterType) \
  X(ParameterSetType) \
  X(ServiceParameterListType) \
  X(RelativeTimeIntervalType) \
  X(PMaxScheduleEntryType) \
  X(PMaxScheduleType) \
  X(CostType) \
  X(ConsumptionCostType) \
  X(SalesTariffEntryType) \
  X(SalesTariffType) \
  X(SAScheduleTupleType) \
  X(SAScheduleListType) \
  X(AC_EVSEChargeParameterType) \
  X(DC_EVSEChargeParameterType)

#define DIN_RECORD_FUNCTIONS(name)                                   \
  extern const DinRecordDesc kDinDesc_##name;                        \
  inline void init_##name(name* record) { *record = name{}; }        \
  inline int serialize_##name(const name* record, DinService* service) { \
    return dinSerializeRecord(service, &kDinDesc_##name, record);    \
  }
DIN_RECORD_LIST(DIN_RECORD_FUNCTIONS)
#undef DIN_RECORD_FUNCTIONS

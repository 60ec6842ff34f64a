// DIN SPEC 70121 message records of the V2G session: one plain record per
// schema type, members in schema order, optional members marked by a bit of
// the record's isUsed. Strings hold code points, binary values bytes; both
// and repeated elements carry their count. The EXI binding (din_binding.h)
// reads requests into these records and writes responses from them.
#pragma once

#include <cstdint>

template <uint32_t N>
struct DinString {
  uint32_t charactersLen;
  uint32_t characters[N];
  static constexpr uint32_t kCapacity = N;
};

template <uint32_t N>
struct DinBytes {
  uint32_t bytesLen;
  uint8_t bytes[N];
  static constexpr uint32_t kCapacity = N;
};

template <typename T, uint32_t N>
struct DinList {
  uint32_t arrayLen;
  T array[N];
  static constexpr uint32_t kCapacity = N;
};

using DinServiceString = DinString<256>;

// ------------------------------------------------------------------ common
struct PhysicalValueType {
  int8_t Multiplier;  // power of ten, -3 to 3
  int32_t Unit;       // unitSymbol, bit 0
  int16_t Value;
  uint64_t isUsed;
};

struct DC_EVStatusType {
  int32_t EVReady;
  int32_t EVCabinConditioning;  // bit 0
  int32_t EVRESSConditioning;   // bit 1
  int32_t EVErrorCode;
  int8_t EVRESSSOC;
  uint64_t isUsed;
};

struct DC_EVSEStatusType {
  int32_t EVSEIsolationStatus;  // bit 0
  int32_t EVSEStatusCode;
  uint32_t NotificationMaxDelay;
  int32_t EVSENotification;
  uint64_t isUsed;
};

struct AC_EVSEStatusType {
  int32_t PowerSwitchClosed;
  int32_t RCD;
  uint32_t NotificationMaxDelay;
  int32_t EVSENotification;
};

struct NotificationType {
  int32_t FaultCode;
  DinString<64> FaultMsg;  // bit 0
  uint64_t isUsed;
};

struct MessageHeaderType {
  DinBytes<8> SessionID;
  NotificationType Notification;  // bit 0
  uint64_t isUsed;                // bit 1 would be the signature, which is not kept
};

struct CertificateChainType {
  DinBytes<1200> Certificate;
  DinList<DinBytes<1200>, 4> SubCertificates;  // bit 0
  uint64_t isUsed;
};

struct MeterInfoType {
  DinString<32> MeterID;
  PhysicalValueType MeterReading;  // bit 0
  DinBytes<32> SigMeterReading;    // bit 1
  int16_t MeterStatus;             // bit 2
  int64_t TMeter;                  // bit 3
  uint64_t isUsed;
};

// ---------------------------------------------------------------- requests
struct SessionSetupReqType {
  DinBytes<8> EVCCID;
};

struct ServiceDiscoveryReqType {
  DinString<32> ServiceScope;  // bit 0
  int32_t ServiceCategory;     // bit 1
  uint64_t isUsed;
};

struct ServiceDetailReqType {
  uint16_t ServiceID;
};

struct SelectedServiceType {
  uint16_t ServiceID;
  int16_t ParameterSetID;  // bit 0
  uint64_t isUsed;
};

struct SelectedServiceListType {
  DinList<SelectedServiceType, 2> SelectedService;
};

struct ServicePaymentSelectionReqType {
  int32_t SelectedPaymentOption;
  SelectedServiceListType SelectedServiceList;
};

struct PaymentDetailsReqType {
  DinString<24> ContractID;
  CertificateChainType ContractSignatureCertChain;
};

struct ContractAuthenticationReqType {
  DinServiceString Id;         // attribute, bit 0
  DinServiceString GenChallenge;  // bit 1
  uint64_t isUsed;
};

struct AC_EVChargeParameterType {
  uint32_t DepartureTime;
  PhysicalValueType EAmount;
  PhysicalValueType EVMaxVoltage;
  PhysicalValueType EVMaxCurrent;
  PhysicalValueType EVMinCurrent;
};

struct DC_EVChargeParameterType {
  DC_EVStatusType DC_EVStatus;
  PhysicalValueType EVMaximumCurrentLimit;
  PhysicalValueType EVMaximumPowerLimit;  // bit 0
  PhysicalValueType EVMaximumVoltageLimit;
  PhysicalValueType EVEnergyCapacity;     // bit 1
  PhysicalValueType EVEnergyRequest;      // bit 2
  int8_t FullSOC;                         // bit 3
  int8_t BulkSOC;                         // bit 4
  uint64_t isUsed;
};

struct ChargeParameterDiscoveryReqType {
  int32_t EVRequestedEnergyTransferType;
  AC_EVChargeParameterType* AC_EVChargeParameter;  // bit 0
  DC_EVChargeParameterType* DC_EVChargeParameter;  // bit 1
  uint64_t isUsed;
};

struct ProfileEntryType {
  uint32_t ChargingProfileEntryStart;
  int16_t ChargingProfileEntryMaxPower;
};

struct ChargingProfileType {
  int16_t SAScheduleTupleID;
  DinList<ProfileEntryType, 24> ProfileEntry;
};

struct DC_EVPowerDeliveryParameterType {
  DC_EVStatusType DC_EVStatus;
  int32_t BulkChargingComplete;  // bit 0
  int32_t ChargingComplete;
  uint64_t isUsed;
};

struct PowerDeliveryReqType {
  int32_t ReadyToChargeState;
  ChargingProfileType ChargingProfile;                            // bit 0
  DC_EVPowerDeliveryParameterType* DC_EVPowerDeliveryParameter;  // bit 1
  uint64_t isUsed;
};

struct ChargingStatusReqType {};
struct SessionStopType {};

struct MeteringReceiptReqType {
  DinServiceString Id;  // attribute, bit 0
  DinBytes<8> SessionID;
  int16_t SAScheduleTupleID;  // bit 1
  MeterInfoType MeterInfo;
  uint64_t isUsed;
};

struct ListOfRootCertificateIDsType {
  DinList<DinString<40>, 20> RootCertificateID;
};

struct CertificateUpdateReqType {
  DinServiceString Id;  // attribute, bit 0
  CertificateChainType ContractSignatureCertChain;
  DinString<24> ContractID;
  ListOfRootCertificateIDsType ListOfRootCertificateIDs;
  DinBytes<256> DHParams;
  uint64_t isUsed;
};

struct CertificateInstallationReqType {
  DinServiceString Id;  // attribute, bit 0
  DinBytes<1200> OEMProvisioningCert;
  ListOfRootCertificateIDsType ListOfRootCertificateIDs;
  DinBytes<256> DHParams;
  uint64_t isUsed;
};

struct CableCheckReqType {
  DC_EVStatusType DC_EVStatus;
};

struct PreChargeReqType {
  DC_EVStatusType DC_EVStatus;
  PhysicalValueType EVTargetVoltage;
  PhysicalValueType EVTargetCurrent;
};

struct CurrentDemandReqType {
  DC_EVStatusType DC_EVStatus;
  PhysicalValueType EVTargetCurrent;
  PhysicalValueType EVMaximumVoltageLimit;   // bit 0
  PhysicalValueType EVMaximumCurrentLimit;   // bit 1
  PhysicalValueType EVMaximumPowerLimit;     // bit 2
  int32_t BulkChargingComplete;              // bit 3
  int32_t ChargingComplete;
  PhysicalValueType RemainingTimeToFullSoC;  // bit 4
  PhysicalValueType RemainingTimeToBulkSoC;  // bit 5
  PhysicalValueType EVTargetVoltage;
  uint64_t isUsed;
};

struct WeldingDetectionReqType {
  DC_EVStatusType DC_EVStatus;
};

// --------------------------------------------------------------- responses
struct SessionSetupResType {
  int32_t ResponseCode;
  DinBytes<32> EVSEID;
  int64_t DateTimeNow;  // bit 0
  uint64_t isUsed;
};

struct ServiceTagType {
  uint16_t ServiceID;
  DinString<32> ServiceName;  // bit 0
  int32_t ServiceCategory;
  DinString<32> ServiceScope;  // bit 1
  uint64_t isUsed;
};

struct ServiceChargeType {
  ServiceTagType ServiceTag;
  int32_t FreeService;
  int32_t EnergyTransferType;
};

struct ServiceType {
  ServiceTagType ServiceTag;
  int32_t FreeService;
};

struct ServiceTagListType {
  DinList<ServiceType, 3> Service;
};

struct PaymentOptionsType {
  DinList<int32_t, 2> PaymentOption;
};

struct ServiceDiscoveryResType {
  int32_t ResponseCode;
  PaymentOptionsType PaymentOptions;
  ServiceChargeType ChargeService;
  ServiceTagListType ServiceList;  // bit 0
  uint64_t isUsed;
};

// A parameter carries one of the six values; which one is the bit set.
struct ParameterType {
  DinServiceString Name;       // attribute
  DinServiceString ValueType;  // attribute, handed over as text
  int32_t boolValue;           // bit 0
  int8_t byteValue;            // bit 1
  int16_t shortValue;          // bit 2
  int32_t intValue;            // bit 3
  PhysicalValueType physicalValue;  // bit 4
  DinServiceString stringValue;     // bit 5
  uint64_t isUsed;
};

struct ParameterSetType {
  int16_t ParameterSetID;
  DinList<ParameterType, 2> Parameter;
};

struct ServiceParameterListType {
  DinList<ParameterSetType, 2> ParameterSet;
};

struct ServiceDetailResType {
  int32_t ResponseCode;
  uint16_t ServiceID;
  ServiceParameterListType ServiceParameterList;  // bit 0
  uint64_t isUsed;
};

struct ServicePaymentSelectionResType {
  int32_t ResponseCode;
};

struct PaymentDetailsResType {
  int32_t ResponseCode;
  DinServiceString GenChallenge;
  int64_t DateTimeNow;
};

struct ContractAuthenticationResType {
  int32_t ResponseCode;
  int32_t EVSEProcessing;
};

struct RelativeTimeIntervalType {
  uint32_t start;
  uint32_t duration;  // bit 0
  uint64_t isUsed;
};

struct PMaxScheduleEntryType {
  RelativeTimeIntervalType RelativeTimeInterval;
  int16_t PMax;
};

struct PMaxScheduleType {
  int16_t PMaxScheduleID;
  DinList<PMaxScheduleEntryType, 12> PMaxScheduleEntry;
};

struct CostType {
  int32_t costKind;
  uint32_t amount;
  int8_t amountMultiplier;  // bit 0
  uint64_t isUsed;
};

struct ConsumptionCostType {
  uint32_t startValue;
  DinList<CostType, 2> Cost;  // bit 0
  uint64_t isUsed;
};

struct SalesTariffEntryType {
  RelativeTimeIntervalType RelativeTimeInterval;
  uint8_t EPriceLevel;
  DinList<ConsumptionCostType, 2> ConsumptionCost;  // bit 0
  uint64_t isUsed;
};

struct SalesTariffType {
  DinServiceString Id;  // attribute
  int16_t SalesTariffID;
  DinString<32> SalesTariffDescription;  // bit 0
  uint8_t NumEPriceLevels;
  DinList<SalesTariffEntryType, 12> SalesTariffEntry;
  uint64_t isUsed;
};

struct SAScheduleTupleType {
  int16_t SAScheduleTupleID;
  PMaxScheduleType PMaxSchedule;
  SalesTariffType* SalesTariff;  // bit 0
  uint64_t isUsed;
};

struct SAScheduleListType {
  DinList<SAScheduleTupleType, 3> SAScheduleTuple;
};

struct AC_EVSEChargeParameterType {
  AC_EVSEStatusType AC_EVSEStatus;
  PhysicalValueType EVSEMaxVoltage;
  PhysicalValueType EVSEMaxCurrent;
  PhysicalValueType EVSEMinCurrent;
};

struct DC_EVSEChargeParameterType {
  DC_EVSEStatusType DC_EVSEStatus;
  PhysicalValueType EVSEMaximumCurrentLimit;
  PhysicalValueType EVSEMaximumPowerLimit;  // bit 0
  PhysicalValueType EVSEMaximumVoltageLimit;
  PhysicalValueType EVSEMinimumCurrentLimit;
  PhysicalValueType EVSEMinimumVoltageLimit;
  PhysicalValueType EVSECurrentRegulationTolerance;  // bit 1
  PhysicalValueType EVSEPeakCurrentRipple;
  PhysicalValueType EVSEEnergyToBeDelivered;  // bit 2
  uint64_t isUsed;
};

struct ChargeParameterDiscoveryResType {
  int32_t ResponseCode;
  int32_t EVSEProcessing;
  SAScheduleListType SAScheduleList;
  AC_EVSEChargeParameterType* AC_EVSEChargeParameter;  // bit 0
  DC_EVSEChargeParameterType* DC_EVSEChargeParameter;  // bit 1
  uint64_t isUsed;
};

struct PowerDeliveryResType {
  int32_t ResponseCode;
  AC_EVSEStatusType* AC_EVSEStatus;  // bit 0
  DC_EVSEStatusType* DC_EVSEStatus;  // bit 1
  uint64_t isUsed;
};

struct ChargingStatusResType {
  int32_t ResponseCode;
  DinBytes<32> EVSEID;
  int16_t SAScheduleTupleID;
  PhysicalValueType EVSEMaxCurrent;  // bit 0
  MeterInfoType MeterInfo;           // bit 1
  int32_t ReceiptRequired;
  AC_EVSEStatusType AC_EVSEStatus;
  uint64_t isUsed;
};

struct MeteringReceiptResType {
  int32_t ResponseCode;
  AC_EVSEStatusType AC_EVSEStatus;
};

struct SessionStopResType {
  int32_t ResponseCode;
};

struct CertificateUpdateResType {
  DinServiceString Id;  // attribute, always sent
  int32_t ResponseCode;
  CertificateChainType ContractSignatureCertChain;
  DinBytes<128> ContractSignatureEncryptedPrivateKey;
  DinBytes<256> DHParams;
  DinString<24> ContractID;
  int16_t RetryCounter;
};

struct CertificateInstallationResType {
  DinServiceString Id;  // attribute, always sent
  int32_t ResponseCode;
  CertificateChainType ContractSignatureCertChain;
  DinBytes<128> ContractSignatureEncryptedPrivateKey;
  DinBytes<256> DHParams;
  DinString<24> ContractID;
};

struct CableCheckResType {
  int32_t ResponseCode;
  DC_EVSEStatusType DC_EVSEStatus;
  int32_t EVSEProcessing;
};

struct PreChargeResType {
  int32_t ResponseCode;
  DC_EVSEStatusType DC_EVSEStatus;
  PhysicalValueType EVSEPresentVoltage;
};

struct CurrentDemandResType {
  int32_t ResponseCode;
  DC_EVSEStatusType DC_EVSEStatus;
  PhysicalValueType EVSEPresentVoltage;
  PhysicalValueType EVSEPresentCurrent;
  int32_t EVSECurrentLimitAchieved;
  int32_t EVSEVoltageLimitAchieved;
  int32_t EVSEPowerLimitAchieved;
  PhysicalValueType EVSEMaximumVoltageLimit;  // bit 0
  PhysicalValueType EVSEMaximumCurrentLimit;  // bit 1
  PhysicalValueType EVSEMaximumPowerLimit;    // bit 2
  uint64_t isUsed;
};

struct WeldingDetectionResType {
  int32_t ResponseCode;
  DC_EVSEStatusType DC_EVSEStatus;
  PhysicalValueType EVSEPresentVoltage;
};

// ------------------------------------------------------------- document
// One reference per message, in body order; the bit of the same number in
// isUsed says which message the body holds.
struct BodyType {
  SessionSetupReqType* SessionSetupReq;
  SessionSetupResType* SessionSetupRes;
  ServiceDiscoveryReqType* ServiceDiscoveryReq;
  ServiceDiscoveryResType* ServiceDiscoveryRes;
  ServiceDetailReqType* ServiceDetailReq;
  ServiceDetailResType* ServiceDetailRes;
  ServicePaymentSelectionReqType* ServicePaymentSelectionReq;
  ServicePaymentSelectionResType* ServicePaymentSelectionRes;
  PaymentDetailsReqType* PaymentDetailsReq;
  PaymentDetailsResType* PaymentDetailsRes;
  ContractAuthenticationReqType* ContractAuthenticationReq;
  ContractAuthenticationResType* ContractAuthenticationRes;
  ChargeParameterDiscoveryReqType* ChargeParameterDiscoveryReq;
  ChargeParameterDiscoveryResType* ChargeParameterDiscoveryRes;
  PowerDeliveryReqType* PowerDeliveryReq;
  PowerDeliveryResType* PowerDeliveryRes;
  ChargingStatusReqType* ChargingStatusReq;
  ChargingStatusResType* ChargingStatusRes;
  MeteringReceiptReqType* MeteringReceiptReq;
  MeteringReceiptResType* MeteringReceiptRes;
  SessionStopType* SessionStopReq;
  SessionStopResType* SessionStopRes;
  CertificateUpdateReqType* CertificateUpdateReq;
  CertificateUpdateResType* CertificateUpdateRes;
  CertificateInstallationReqType* CertificateInstallationReq;
  CertificateInstallationResType* CertificateInstallationRes;
  CableCheckReqType* CableCheckReq;
  CableCheckResType* CableCheckRes;
  PreChargeReqType* PreChargeReq;
  PreChargeResType* PreChargeRes;
  CurrentDemandReqType* CurrentDemandReq;
  CurrentDemandResType* CurrentDemandRes;
  WeldingDetectionReqType* WeldingDetectionReq;
  WeldingDetectionResType* WeldingDetectionRes;
  uint64_t isUsed;
};

struct AnonType_V2G_Message {
  MessageHeaderType* Header;
  BodyType Body;
};

struct EXIDocumentType {
  AnonType_V2G_Message V2G_Message;
};

// Descriptions of the DIN message records: members in schema order with
// their qname IDs, kinds, isUsed bits and capacities.
#include <cstddef>
#include <type_traits>

#include "din_binding.h"
#include "dinEXIGrammar.h"

namespace {

template <typename T>
constexpr uint32_t capacityOf() {
  if constexpr (requires { T::kCapacity; }) {
    return T::kCapacity;
  } else {
    return 0;
  }
}

}  // namespace

#define Q(x) DIN_QNAME_##x
#define LEAF(R, m, q, kind, bit) \
  DinMember{Q(q), kind, bit, false, false, offsetof(R, m), 0, 0, capacityOf<decltype(R::m)>(), 0, nullptr}
#define ATTR(R, m, q, bit) \
  DinMember{Q(q), DIN_STRING, bit, true, false, offsetof(R, m), 0, 0, capacityOf<decltype(R::m)>(), 0, nullptr}
#define REC(R, m, q, D, bit) \
  DinMember{Q(q), DIN_RECORD, bit, false, false, offsetof(R, m), 0, 0, 0, 0, &kDinDesc_##D}
#define REF(R, m, q, D, bit) \
  DinMember{Q(q), DIN_REF, bit, false, false, offsetof(R, m), 0, 0, 0, 0, &kDinDesc_##D}
#define LIST_LEAF(R, m, q, kind, bit)                                                         \
  DinMember{Q(q), kind, bit, false, true, offsetof(R, m), offsetof(decltype(R::m), array),    \
            sizeof(R::m.array[0]), capacityOf<std::remove_reference_t<decltype(R::m.array[0])>>(), \
            decltype(R::m)::kCapacity, nullptr}
#define LIST_REC(R, m, q, D, bit)                                                          \
  DinMember{Q(q), DIN_RECORD, bit, false, true, offsetof(R, m), offsetof(decltype(R::m), array), \
            sizeof(R::m.array[0]), 0, decltype(R::m)::kCapacity, &kDinDesc_##D}
// A record that holds references (itself or in an embedded record) is
// described with the _LINKED forms: clearing it keeps them.
#define DESC_OF(R, used, linked, ...)                                                   \
  namespace {                                                                           \
  const DinMember kMembers_##R[] = {__VA_ARGS__};                                       \
  }                                                                                     \
  const DinRecordDesc kDinDesc_##R = {#R, kMembers_##R,                                 \
                                      sizeof(kMembers_##R) / sizeof(DinMember), used,   \
                                      sizeof(R), linked};
#define DESC(R, ...) DESC_OF(R, kDinNoIsUsed, false, __VA_ARGS__)
#define DESC_USED(R, ...) DESC_OF(R, offsetof(R, isUsed), false, __VA_ARGS__)
#define DESC_LINKED(R, ...) DESC_OF(R, kDinNoIsUsed, true, __VA_ARGS__)
#define DESC_USED_LINKED(R, ...) DESC_OF(R, offsetof(R, isUsed), true, __VA_ARGS__)
#define DESC_EMPTY(R) const DinRecordDesc kDinDesc_##R = {#R, nullptr, 0, kDinNoIsUsed, sizeof(R), false};

// Records only reachable here.
extern const DinRecordDesc kDinDesc_NotificationType, kDinDesc_CertificateChainType,
    kDinDesc_MeterInfoType, kDinDesc_SelectedServiceListType, kDinDesc_SelectedServiceType,
    kDinDesc_AC_EVChargeParameterType, kDinDesc_DC_EVChargeParameterType,
    kDinDesc_ChargingProfileType, kDinDesc_ProfileEntryType, kDinDesc_DC_EVPowerDeliveryParameterType,
    kDinDesc_ListOfRootCertificateIDsType, kDinDesc_ServiceTagType, kDinDesc_ServiceChargeType,
    kDinDesc_ServiceType, kDinDesc_ServiceTagListType, kDinDesc_PaymentOptionsType,
    kDinDesc_ParameterType, kDinDesc_ParameterSetType, kDinDesc_ServiceParameterListType,
    kDinDesc_RelativeTimeIntervalType, kDinDesc_PMaxScheduleEntryType, kDinDesc_PMaxScheduleType,
    kDinDesc_CostType, kDinDesc_ConsumptionCostType, kDinDesc_SalesTariffEntryType,
    kDinDesc_SalesTariffType, kDinDesc_SAScheduleTupleType, kDinDesc_SAScheduleListType,
    kDinDesc_AC_EVSEChargeParameterType, kDinDesc_DC_EVSEChargeParameterType;

// ------------------------------------------------------------------ common
DESC_USED(PhysicalValueType,
          LEAF(PhysicalValueType, Multiplier, types_Multiplier, DIN_BYTE, -1),
          LEAF(PhysicalValueType, Unit, types_Unit, DIN_ENUM, 0),
          LEAF(PhysicalValueType, Value, types_Value, DIN_SHORT, -1))
DESC_USED(DC_EVStatusType,
          LEAF(DC_EVStatusType, EVReady, types_EVReady, DIN_BOOL, -1),
          LEAF(DC_EVStatusType, EVCabinConditioning, types_EVCabinConditioning, DIN_BOOL, 0),
          LEAF(DC_EVStatusType, EVRESSConditioning, types_EVRESSConditioning, DIN_BOOL, 1),
          LEAF(DC_EVStatusType, EVErrorCode, types_EVErrorCode, DIN_ENUM, -1),
          LEAF(DC_EVStatusType, EVRESSSOC, types_EVRESSSOC, DIN_BYTE, -1))
DESC_USED(DC_EVSEStatusType,
          LEAF(DC_EVSEStatusType, EVSEIsolationStatus, types_EVSEIsolationStatus, DIN_ENUM, 0),
          LEAF(DC_EVSEStatusType, EVSEStatusCode, types_EVSEStatusCode, DIN_ENUM, -1),
          LEAF(DC_EVSEStatusType, NotificationMaxDelay, types_NotificationMaxDelay, DIN_UINT, -1),
          LEAF(DC_EVSEStatusType, EVSENotification, types_EVSENotification, DIN_ENUM, -1))
DESC(AC_EVSEStatusType,
     LEAF(AC_EVSEStatusType, PowerSwitchClosed, types_PowerSwitchClosed, DIN_BOOL, -1),
     LEAF(AC_EVSEStatusType, RCD, types_RCD, DIN_BOOL, -1),
     LEAF(AC_EVSEStatusType, NotificationMaxDelay, types_NotificationMaxDelay, DIN_UINT, -1),
     LEAF(AC_EVSEStatusType, EVSENotification, types_EVSENotification, DIN_ENUM, -1))
DESC_USED(NotificationType,
          LEAF(NotificationType, FaultCode, types_FaultCode, DIN_ENUM, -1),
          LEAF(NotificationType, FaultMsg, types_FaultMsg, DIN_STRING, 0))
DESC_USED(MessageHeaderType,
          LEAF(MessageHeaderType, SessionID, hdr_SessionID, DIN_HEX, -1),
          REC(MessageHeaderType, Notification, hdr_Notification, NotificationType, 0))
// SubCertificates: a list of certificates in its own element.
namespace {
struct SubCertificatesView {
  DinList<DinBytes<1200>, 4> Certificate;
};
static_assert(sizeof(SubCertificatesView) == sizeof(CertificateChainType::SubCertificates));
}  // namespace
DESC(SubCertificatesView,
     LIST_LEAF(SubCertificatesView, Certificate, types_Certificate, DIN_BASE64, -1))
DESC_USED(CertificateChainType,
          LEAF(CertificateChainType, Certificate, types_Certificate, DIN_BASE64, -1),
          REC(CertificateChainType, SubCertificates, types_SubCertificates, SubCertificatesView, 0))
DESC_USED(MeterInfoType,
          LEAF(MeterInfoType, MeterID, types_MeterID, DIN_STRING, -1),
          REC(MeterInfoType, MeterReading, types_MeterReading, PhysicalValueType, 0),
          LEAF(MeterInfoType, SigMeterReading, types_SigMeterReading, DIN_BASE64, 1),
          LEAF(MeterInfoType, MeterStatus, types_MeterStatus, DIN_SHORT, 2),
          LEAF(MeterInfoType, TMeter, types_TMeter, DIN_LONG, 3))

// ---------------------------------------------------------------- requests
DESC(SessionSetupReqType, LEAF(SessionSetupReqType, EVCCID, body_EVCCID, DIN_HEX, -1))
DESC_USED(ServiceDiscoveryReqType,
          LEAF(ServiceDiscoveryReqType, ServiceScope, body_ServiceScope, DIN_STRING, 0),
          LEAF(ServiceDiscoveryReqType, ServiceCategory, body_ServiceCategory, DIN_ENUM, 1))
DESC(ServiceDetailReqType, LEAF(ServiceDetailReqType, ServiceID, body_ServiceID, DIN_USHORT, -1))
DESC_USED(SelectedServiceType,
          LEAF(SelectedServiceType, ServiceID, types_ServiceID, DIN_USHORT, -1),
          LEAF(SelectedServiceType, ParameterSetID, types_ParameterSetID, DIN_SHORT, 0))
DESC(SelectedServiceListType,
     LIST_REC(SelectedServiceListType, SelectedService, types_SelectedService, SelectedServiceType, -1))
DESC(ServicePaymentSelectionReqType,
     LEAF(ServicePaymentSelectionReqType, SelectedPaymentOption, body_SelectedPaymentOption, DIN_ENUM, -1),
     REC(ServicePaymentSelectionReqType, SelectedServiceList, body_SelectedServiceList,
         SelectedServiceListType, -1))
DESC(PaymentDetailsReqType,
     LEAF(PaymentDetailsReqType, ContractID, body_ContractID, DIN_STRING, -1),
     REC(PaymentDetailsReqType, ContractSignatureCertChain, body_ContractSignatureCertChain,
         CertificateChainType, -1))
DESC_USED(ContractAuthenticationReqType,
          ATTR(ContractAuthenticationReqType, Id, attr_Id, 0),
          LEAF(ContractAuthenticationReqType, GenChallenge, body_GenChallenge, DIN_STRING, 1))
DESC(AC_EVChargeParameterType,
     LEAF(AC_EVChargeParameterType, DepartureTime, types_DepartureTime, DIN_UINT, -1),
     REC(AC_EVChargeParameterType, EAmount, types_EAmount, PhysicalValueType, -1),
     REC(AC_EVChargeParameterType, EVMaxVoltage, types_EVMaxVoltage, PhysicalValueType, -1),
     REC(AC_EVChargeParameterType, EVMaxCurrent, types_EVMaxCurrent, PhysicalValueType, -1),
     REC(AC_EVChargeParameterType, EVMinCurrent, types_EVMinCurrent, PhysicalValueType, -1))
DESC_USED(DC_EVChargeParameterType,
          REC(DC_EVChargeParameterType, DC_EVStatus, types_DC_EVStatus, DC_EVStatusType, -1),
          REC(DC_EVChargeParameterType, EVMaximumCurrentLimit, types_EVMaximumCurrentLimit, PhysicalValueType, -1),
          REC(DC_EVChargeParameterType, EVMaximumPowerLimit, types_EVMaximumPowerLimit, PhysicalValueType, 0),
          REC(DC_EVChargeParameterType, EVMaximumVoltageLimit, types_EVMaximumVoltageLimit, PhysicalValueType, -1),
          REC(DC_EVChargeParameterType, EVEnergyCapacity, types_EVEnergyCapacity, PhysicalValueType, 1),
          REC(DC_EVChargeParameterType, EVEnergyRequest, types_EVEnergyRequest, PhysicalValueType, 2),
          LEAF(DC_EVChargeParameterType, FullSOC, types_FullSOC, DIN_BYTE, 3),
          LEAF(DC_EVChargeParameterType, BulkSOC, types_BulkSOC, DIN_BYTE, 4))
DESC_USED_LINKED(ChargeParameterDiscoveryReqType,
          LEAF(ChargeParameterDiscoveryReqType, EVRequestedEnergyTransferType,
               body_EVRequestedEnergyTransferType, DIN_ENUM, -1),
          REF(ChargeParameterDiscoveryReqType, AC_EVChargeParameter, types_AC_EVChargeParameter,
              AC_EVChargeParameterType, 0),
          REF(ChargeParameterDiscoveryReqType, DC_EVChargeParameter, types_DC_EVChargeParameter,
              DC_EVChargeParameterType, 1))
DESC(ProfileEntryType,
     LEAF(ProfileEntryType, ChargingProfileEntryStart, types_ChargingProfileEntryStart, DIN_UINT, -1),
     LEAF(ProfileEntryType, ChargingProfileEntryMaxPower, types_ChargingProfileEntryMaxPower, DIN_SHORT, -1))
DESC(ChargingProfileType,
     LEAF(ChargingProfileType, SAScheduleTupleID, types_SAScheduleTupleID, DIN_SHORT, -1),
     LIST_REC(ChargingProfileType, ProfileEntry, types_ProfileEntry, ProfileEntryType, -1))
DESC_USED(DC_EVPowerDeliveryParameterType,
          REC(DC_EVPowerDeliveryParameterType, DC_EVStatus, types_DC_EVStatus, DC_EVStatusType, -1),
          LEAF(DC_EVPowerDeliveryParameterType, BulkChargingComplete, types_BulkChargingComplete, DIN_BOOL, 0),
          LEAF(DC_EVPowerDeliveryParameterType, ChargingComplete, types_ChargingComplete, DIN_BOOL, -1))
DESC_USED_LINKED(PowerDeliveryReqType,
          LEAF(PowerDeliveryReqType, ReadyToChargeState, body_ReadyToChargeState, DIN_BOOL, -1),
          REC(PowerDeliveryReqType, ChargingProfile, body_ChargingProfile, ChargingProfileType, 0),
          REF(PowerDeliveryReqType, DC_EVPowerDeliveryParameter, types_DC_EVPowerDeliveryParameter,
              DC_EVPowerDeliveryParameterType, 1))
DESC_EMPTY(ChargingStatusReqType)
DESC_EMPTY(SessionStopType)
DESC_USED(MeteringReceiptReqType,
          ATTR(MeteringReceiptReqType, Id, attr_Id, 0),
          LEAF(MeteringReceiptReqType, SessionID, body_SessionID, DIN_HEX, -1),
          LEAF(MeteringReceiptReqType, SAScheduleTupleID, body_SAScheduleTupleID, DIN_SHORT, 1),
          REC(MeteringReceiptReqType, MeterInfo, body_MeterInfo, MeterInfoType, -1))
DESC(ListOfRootCertificateIDsType,
     LIST_LEAF(ListOfRootCertificateIDsType, RootCertificateID, types_RootCertificateID, DIN_STRING, -1))
DESC_USED(CertificateUpdateReqType,
          ATTR(CertificateUpdateReqType, Id, attr_Id, 0),
          REC(CertificateUpdateReqType, ContractSignatureCertChain, body_ContractSignatureCertChain,
              CertificateChainType, -1),
          LEAF(CertificateUpdateReqType, ContractID, body_ContractID, DIN_STRING, -1),
          REC(CertificateUpdateReqType, ListOfRootCertificateIDs, body_ListOfRootCertificateIDs,
              ListOfRootCertificateIDsType, -1),
          LEAF(CertificateUpdateReqType, DHParams, body_DHParams, DIN_BASE64, -1))
DESC_USED(CertificateInstallationReqType,
          ATTR(CertificateInstallationReqType, Id, attr_Id, 0),
          LEAF(CertificateInstallationReqType, OEMProvisioningCert, body_OEMProvisioningCert, DIN_BASE64, -1),
          REC(CertificateInstallationReqType, ListOfRootCertificateIDs, body_ListOfRootCertificateIDs,
              ListOfRootCertificateIDsType, -1),
          LEAF(CertificateInstallationReqType, DHParams, body_DHParams, DIN_BASE64, -1))
DESC(CableCheckReqType, REC(CableCheckReqType, DC_EVStatus, body_DC_EVStatus, DC_EVStatusType, -1))
DESC(PreChargeReqType,
     REC(PreChargeReqType, DC_EVStatus, body_DC_EVStatus, DC_EVStatusType, -1),
     REC(PreChargeReqType, EVTargetVoltage, body_EVTargetVoltage, PhysicalValueType, -1),
     REC(PreChargeReqType, EVTargetCurrent, body_EVTargetCurrent, PhysicalValueType, -1))
DESC_USED(CurrentDemandReqType,
          REC(CurrentDemandReqType, DC_EVStatus, body_DC_EVStatus, DC_EVStatusType, -1),
          REC(CurrentDemandReqType, EVTargetCurrent, body_EVTargetCurrent, PhysicalValueType, -1),
          REC(CurrentDemandReqType, EVMaximumVoltageLimit, body_EVMaximumVoltageLimit, PhysicalValueType, 0),
          REC(CurrentDemandReqType, EVMaximumCurrentLimit, body_EVMaximumCurrentLimit, PhysicalValueType, 1),
          REC(CurrentDemandReqType, EVMaximumPowerLimit, body_EVMaximumPowerLimit, PhysicalValueType, 2),
          LEAF(CurrentDemandReqType, BulkChargingComplete, body_BulkChargingComplete, DIN_BOOL, 3),
          LEAF(CurrentDemandReqType, ChargingComplete, body_ChargingComplete, DIN_BOOL, -1),
          REC(CurrentDemandReqType, RemainingTimeToFullSoC, body_RemainingTimeToFullSoC, PhysicalValueType, 4),
          REC(CurrentDemandReqType, RemainingTimeToBulkSoC, body_RemainingTimeToBulkSoC, PhysicalValueType, 5),
          REC(CurrentDemandReqType, EVTargetVoltage, body_EVTargetVoltage, PhysicalValueType, -1))
DESC(WeldingDetectionReqType,
     REC(WeldingDetectionReqType, DC_EVStatus, body_DC_EVStatus, DC_EVStatusType, -1))

// --------------------------------------------------------------- responses
DESC_USED(SessionSetupResType,
          LEAF(SessionSetupResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          LEAF(SessionSetupResType, EVSEID, body_EVSEID, DIN_HEX, -1),
          LEAF(SessionSetupResType, DateTimeNow, body_DateTimeNow, DIN_LONG, 0))
DESC_USED(ServiceTagType,
          LEAF(ServiceTagType, ServiceID, types_ServiceID, DIN_USHORT, -1),
          LEAF(ServiceTagType, ServiceName, types_ServiceName, DIN_STRING, 0),
          LEAF(ServiceTagType, ServiceCategory, types_ServiceCategory, DIN_ENUM, -1),
          LEAF(ServiceTagType, ServiceScope, types_ServiceScope, DIN_STRING, 1))
DESC(ServiceChargeType,
     REC(ServiceChargeType, ServiceTag, types_ServiceTag, ServiceTagType, -1),
     LEAF(ServiceChargeType, FreeService, types_FreeService, DIN_BOOL, -1),
     LEAF(ServiceChargeType, EnergyTransferType, types_EnergyTransferType, DIN_ENUM, -1))
DESC(ServiceType,
     REC(ServiceType, ServiceTag, types_ServiceTag, ServiceTagType, -1),
     LEAF(ServiceType, FreeService, types_FreeService, DIN_BOOL, -1))
DESC(ServiceTagListType, LIST_REC(ServiceTagListType, Service, types_Service, ServiceType, -1))
DESC(PaymentOptionsType, LIST_LEAF(PaymentOptionsType, PaymentOption, types_PaymentOption, DIN_ENUM, -1))
DESC_USED(ServiceDiscoveryResType,
          LEAF(ServiceDiscoveryResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          REC(ServiceDiscoveryResType, PaymentOptions, body_PaymentOptions, PaymentOptionsType, -1),
          REC(ServiceDiscoveryResType, ChargeService, body_ChargeService, ServiceChargeType, -1),
          REC(ServiceDiscoveryResType, ServiceList, body_ServiceList, ServiceTagListType, 0))
DESC_USED(ParameterType,
          ATTR(ParameterType, Name, attr_Name, -1),
          ATTR(ParameterType, ValueType, attr_ValueType, -1),
          LEAF(ParameterType, boolValue, types_boolValue, DIN_BOOL, 0),
          LEAF(ParameterType, byteValue, types_byteValue, DIN_BYTE, 1),
          LEAF(ParameterType, shortValue, types_shortValue, DIN_SHORT, 2),
          LEAF(ParameterType, intValue, types_intValue, DIN_INT, 3),
          REC(ParameterType, physicalValue, types_physicalValue, PhysicalValueType, 4),
          LEAF(ParameterType, stringValue, types_stringValue, DIN_STRING, 5))
DESC(ParameterSetType,
     LEAF(ParameterSetType, ParameterSetID, types_ParameterSetID, DIN_SHORT, -1),
     LIST_REC(ParameterSetType, Parameter, types_Parameter, ParameterType, -1))
DESC(ServiceParameterListType,
     LIST_REC(ServiceParameterListType, ParameterSet, types_ParameterSet, ParameterSetType, -1))
DESC_USED(ServiceDetailResType,
          LEAF(ServiceDetailResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          LEAF(ServiceDetailResType, ServiceID, body_ServiceID, DIN_USHORT, -1),
          REC(ServiceDetailResType, ServiceParameterList, body_ServiceParameterList,
              ServiceParameterListType, 0))
DESC(ServicePaymentSelectionResType,
     LEAF(ServicePaymentSelectionResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1))
DESC(PaymentDetailsResType,
     LEAF(PaymentDetailsResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     LEAF(PaymentDetailsResType, GenChallenge, body_GenChallenge, DIN_STRING, -1),
     LEAF(PaymentDetailsResType, DateTimeNow, body_DateTimeNow, DIN_LONG, -1))
DESC(ContractAuthenticationResType,
     LEAF(ContractAuthenticationResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     LEAF(ContractAuthenticationResType, EVSEProcessing, body_EVSEProcessing, DIN_ENUM, -1))
DESC_USED(RelativeTimeIntervalType,
          LEAF(RelativeTimeIntervalType, start, types_start, DIN_UINT, -1),
          LEAF(RelativeTimeIntervalType, duration, types_duration, DIN_UINT, 0))
DESC(PMaxScheduleEntryType,
     REC(PMaxScheduleEntryType, RelativeTimeInterval, types_RelativeTimeInterval, RelativeTimeIntervalType, -1),
     LEAF(PMaxScheduleEntryType, PMax, types_PMax, DIN_SHORT, -1))
DESC(PMaxScheduleType,
     LEAF(PMaxScheduleType, PMaxScheduleID, types_PMaxScheduleID, DIN_SHORT, -1),
     LIST_REC(PMaxScheduleType, PMaxScheduleEntry, types_PMaxScheduleEntry, PMaxScheduleEntryType, -1))
DESC_USED(CostType,
          LEAF(CostType, costKind, types_costKind, DIN_ENUM, -1),
          LEAF(CostType, amount, types_amount, DIN_UINT, -1),
          LEAF(CostType, amountMultiplier, types_amountMultiplier, DIN_BYTE, 0))
DESC_USED(ConsumptionCostType,
          LEAF(ConsumptionCostType, startValue, types_startValue, DIN_UINT, -1),
          LIST_REC(ConsumptionCostType, Cost, types_Cost, CostType, 0))
DESC_USED(SalesTariffEntryType,
          REC(SalesTariffEntryType, RelativeTimeInterval, types_RelativeTimeInterval, RelativeTimeIntervalType, -1),
          LEAF(SalesTariffEntryType, EPriceLevel, types_EPriceLevel, DIN_UBYTE, -1),
          LIST_REC(SalesTariffEntryType, ConsumptionCost, types_ConsumptionCost, ConsumptionCostType, 0))
DESC_USED(SalesTariffType,
          ATTR(SalesTariffType, Id, attr_Id, -1),
          LEAF(SalesTariffType, SalesTariffID, types_SalesTariffID, DIN_SHORT, -1),
          LEAF(SalesTariffType, SalesTariffDescription, types_SalesTariffDescription, DIN_STRING, 0),
          LEAF(SalesTariffType, NumEPriceLevels, types_NumEPriceLevels, DIN_UBYTE, -1),
          LIST_REC(SalesTariffType, SalesTariffEntry, types_SalesTariffEntry, SalesTariffEntryType, -1))
DESC_USED_LINKED(SAScheduleTupleType,
          LEAF(SAScheduleTupleType, SAScheduleTupleID, types_SAScheduleTupleID, DIN_SHORT, -1),
          REC(SAScheduleTupleType, PMaxSchedule, types_PMaxSchedule, PMaxScheduleType, -1),
          REF(SAScheduleTupleType, SalesTariff, types_SalesTariff, SalesTariffType, 0))
DESC_LINKED(SAScheduleListType,
     LIST_REC(SAScheduleListType, SAScheduleTuple, types_SAScheduleTuple, SAScheduleTupleType, -1))
DESC(AC_EVSEChargeParameterType,
     REC(AC_EVSEChargeParameterType, AC_EVSEStatus, types_AC_EVSEStatus, AC_EVSEStatusType, -1),
     REC(AC_EVSEChargeParameterType, EVSEMaxVoltage, types_EVSEMaxVoltage, PhysicalValueType, -1),
     REC(AC_EVSEChargeParameterType, EVSEMaxCurrent, types_EVSEMaxCurrent, PhysicalValueType, -1),
     REC(AC_EVSEChargeParameterType, EVSEMinCurrent, types_EVSEMinCurrent, PhysicalValueType, -1))
DESC_USED(DC_EVSEChargeParameterType,
          REC(DC_EVSEChargeParameterType, DC_EVSEStatus, types_DC_EVSEStatus, DC_EVSEStatusType, -1),
          REC(DC_EVSEChargeParameterType, EVSEMaximumCurrentLimit, types_EVSEMaximumCurrentLimit, PhysicalValueType, -1),
          REC(DC_EVSEChargeParameterType, EVSEMaximumPowerLimit, types_EVSEMaximumPowerLimit, PhysicalValueType, 0),
          REC(DC_EVSEChargeParameterType, EVSEMaximumVoltageLimit, types_EVSEMaximumVoltageLimit, PhysicalValueType, -1),
          REC(DC_EVSEChargeParameterType, EVSEMinimumCurrentLimit, types_EVSEMinimumCurrentLimit, PhysicalValueType, -1),
          REC(DC_EVSEChargeParameterType, EVSEMinimumVoltageLimit, types_EVSEMinimumVoltageLimit, PhysicalValueType, -1),
          REC(DC_EVSEChargeParameterType, EVSECurrentRegulationTolerance, types_EVSECurrentRegulationTolerance,
              PhysicalValueType, 1),
          REC(DC_EVSEChargeParameterType, EVSEPeakCurrentRipple, types_EVSEPeakCurrentRipple, PhysicalValueType, -1),
          REC(DC_EVSEChargeParameterType, EVSEEnergyToBeDelivered, types_EVSEEnergyToBeDelivered,
              PhysicalValueType, 2))
DESC_USED_LINKED(ChargeParameterDiscoveryResType,
          LEAF(ChargeParameterDiscoveryResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          LEAF(ChargeParameterDiscoveryResType, EVSEProcessing, body_EVSEProcessing, DIN_ENUM, -1),
          REC(ChargeParameterDiscoveryResType, SAScheduleList, types_SAScheduleList, SAScheduleListType, -1),
          REF(ChargeParameterDiscoveryResType, AC_EVSEChargeParameter, types_AC_EVSEChargeParameter,
              AC_EVSEChargeParameterType, 0),
          REF(ChargeParameterDiscoveryResType, DC_EVSEChargeParameter, types_DC_EVSEChargeParameter,
              DC_EVSEChargeParameterType, 1))
DESC_USED_LINKED(PowerDeliveryResType,
          LEAF(PowerDeliveryResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          REF(PowerDeliveryResType, AC_EVSEStatus, types_AC_EVSEStatus, AC_EVSEStatusType, 0),
          REF(PowerDeliveryResType, DC_EVSEStatus, types_DC_EVSEStatus, DC_EVSEStatusType, 1))
DESC_USED(ChargingStatusResType,
          LEAF(ChargingStatusResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          LEAF(ChargingStatusResType, EVSEID, body_EVSEID, DIN_HEX, -1),
          LEAF(ChargingStatusResType, SAScheduleTupleID, body_SAScheduleTupleID, DIN_SHORT, -1),
          REC(ChargingStatusResType, EVSEMaxCurrent, body_EVSEMaxCurrent, PhysicalValueType, 0),
          REC(ChargingStatusResType, MeterInfo, body_MeterInfo, MeterInfoType, 1),
          LEAF(ChargingStatusResType, ReceiptRequired, body_ReceiptRequired, DIN_BOOL, -1),
          REC(ChargingStatusResType, AC_EVSEStatus, body_AC_EVSEStatus, AC_EVSEStatusType, -1))
DESC(MeteringReceiptResType,
     LEAF(MeteringReceiptResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     REC(MeteringReceiptResType, AC_EVSEStatus, body_AC_EVSEStatus, AC_EVSEStatusType, -1))
DESC(SessionStopResType, LEAF(SessionStopResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1))
DESC(CertificateUpdateResType,
     ATTR(CertificateUpdateResType, Id, attr_Id, -1),
     LEAF(CertificateUpdateResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     REC(CertificateUpdateResType, ContractSignatureCertChain, body_ContractSignatureCertChain,
         CertificateChainType, -1),
     LEAF(CertificateUpdateResType, ContractSignatureEncryptedPrivateKey,
          body_ContractSignatureEncryptedPrivateKey, DIN_BASE64, -1),
     LEAF(CertificateUpdateResType, DHParams, body_DHParams, DIN_BASE64, -1),
     LEAF(CertificateUpdateResType, ContractID, body_ContractID, DIN_STRING, -1),
     LEAF(CertificateUpdateResType, RetryCounter, body_RetryCounter, DIN_SHORT, -1))
DESC(CertificateInstallationResType,
     ATTR(CertificateInstallationResType, Id, attr_Id, -1),
     LEAF(CertificateInstallationResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     REC(CertificateInstallationResType, ContractSignatureCertChain, body_ContractSignatureCertChain,
         CertificateChainType, -1),
     LEAF(CertificateInstallationResType, ContractSignatureEncryptedPrivateKey,
          body_ContractSignatureEncryptedPrivateKey, DIN_BASE64, -1),
     LEAF(CertificateInstallationResType, DHParams, body_DHParams, DIN_BASE64, -1),
     LEAF(CertificateInstallationResType, ContractID, body_ContractID, DIN_STRING, -1))
DESC(CableCheckResType,
     LEAF(CableCheckResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     REC(CableCheckResType, DC_EVSEStatus, body_DC_EVSEStatus, DC_EVSEStatusType, -1),
     LEAF(CableCheckResType, EVSEProcessing, body_EVSEProcessing, DIN_ENUM, -1))
DESC(PreChargeResType,
     LEAF(PreChargeResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     REC(PreChargeResType, DC_EVSEStatus, body_DC_EVSEStatus, DC_EVSEStatusType, -1),
     REC(PreChargeResType, EVSEPresentVoltage, body_EVSEPresentVoltage, PhysicalValueType, -1))
DESC_USED(CurrentDemandResType,
          LEAF(CurrentDemandResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
          REC(CurrentDemandResType, DC_EVSEStatus, body_DC_EVSEStatus, DC_EVSEStatusType, -1),
          REC(CurrentDemandResType, EVSEPresentVoltage, body_EVSEPresentVoltage, PhysicalValueType, -1),
          REC(CurrentDemandResType, EVSEPresentCurrent, body_EVSEPresentCurrent, PhysicalValueType, -1),
          LEAF(CurrentDemandResType, EVSECurrentLimitAchieved, body_EVSECurrentLimitAchieved, DIN_BOOL, -1),
          LEAF(CurrentDemandResType, EVSEVoltageLimitAchieved, body_EVSEVoltageLimitAchieved, DIN_BOOL, -1),
          LEAF(CurrentDemandResType, EVSEPowerLimitAchieved, body_EVSEPowerLimitAchieved, DIN_BOOL, -1),
          REC(CurrentDemandResType, EVSEMaximumVoltageLimit, body_EVSEMaximumVoltageLimit, PhysicalValueType, 0),
          REC(CurrentDemandResType, EVSEMaximumCurrentLimit, body_EVSEMaximumCurrentLimit, PhysicalValueType, 1),
          REC(CurrentDemandResType, EVSEMaximumPowerLimit, body_EVSEMaximumPowerLimit, PhysicalValueType, 2))
DESC(WeldingDetectionResType,
     LEAF(WeldingDetectionResType, ResponseCode, body_ResponseCode, DIN_ENUM, -1),
     REC(WeldingDetectionResType, DC_EVSEStatus, body_DC_EVSEStatus, DC_EVSEStatusType, -1),
     REC(WeldingDetectionResType, EVSEPresentVoltage, body_EVSEPresentVoltage, PhysicalValueType, -1))

// ------------------------------------------------------------- document
#define BODY(m, q, D, bit) REF(BodyType, m, body_##q, D, bit)
DESC_USED_LINKED(BodyType,
          BODY(SessionSetupReq, SessionSetupReq, SessionSetupReqType, 0),
          BODY(SessionSetupRes, SessionSetupRes, SessionSetupResType, 1),
          BODY(ServiceDiscoveryReq, ServiceDiscoveryReq, ServiceDiscoveryReqType, 2),
          BODY(ServiceDiscoveryRes, ServiceDiscoveryRes, ServiceDiscoveryResType, 3),
          BODY(ServiceDetailReq, ServiceDetailReq, ServiceDetailReqType, 4),
          BODY(ServiceDetailRes, ServiceDetailRes, ServiceDetailResType, 5),
          BODY(ServicePaymentSelectionReq, ServicePaymentSelectionReq, ServicePaymentSelectionReqType, 6),
          BODY(ServicePaymentSelectionRes, ServicePaymentSelectionRes, ServicePaymentSelectionResType, 7),
          BODY(PaymentDetailsReq, PaymentDetailsReq, PaymentDetailsReqType, 8),
          BODY(PaymentDetailsRes, PaymentDetailsRes, PaymentDetailsResType, 9),
          BODY(ContractAuthenticationReq, ContractAuthenticationReq, ContractAuthenticationReqType, 10),
          BODY(ContractAuthenticationRes, ContractAuthenticationRes, ContractAuthenticationResType, 11),
          BODY(ChargeParameterDiscoveryReq, ChargeParameterDiscoveryReq, ChargeParameterDiscoveryReqType, 12),
          BODY(ChargeParameterDiscoveryRes, ChargeParameterDiscoveryRes, ChargeParameterDiscoveryResType, 13),
          BODY(PowerDeliveryReq, PowerDeliveryReq, PowerDeliveryReqType, 14),
          BODY(PowerDeliveryRes, PowerDeliveryRes, PowerDeliveryResType, 15),
          BODY(ChargingStatusReq, ChargingStatusReq, ChargingStatusReqType, 16),
          BODY(ChargingStatusRes, ChargingStatusRes, ChargingStatusResType, 17),
          BODY(MeteringReceiptReq, MeteringReceiptReq, MeteringReceiptReqType, 18),
          BODY(MeteringReceiptRes, MeteringReceiptRes, MeteringReceiptResType, 19),
          BODY(SessionStopReq, SessionStopReq, SessionStopType, 20),
          BODY(SessionStopRes, SessionStopRes, SessionStopResType, 21),
          BODY(CertificateUpdateReq, CertificateUpdateReq, CertificateUpdateReqType, 22),
          BODY(CertificateUpdateRes, CertificateUpdateRes, CertificateUpdateResType, 23),
          BODY(CertificateInstallationReq, CertificateInstallationReq, CertificateInstallationReqType, 24),
          BODY(CertificateInstallationRes, CertificateInstallationRes, CertificateInstallationResType, 25),
          BODY(CableCheckReq, CableCheckReq, CableCheckReqType, 26),
          BODY(CableCheckRes, CableCheckRes, CableCheckResType, 27),
          BODY(PreChargeReq, PreChargeReq, PreChargeReqType, 28),
          BODY(PreChargeRes, PreChargeRes, PreChargeResType, 29),
          BODY(CurrentDemandReq, CurrentDemandReq, CurrentDemandReqType, 30),
          BODY(CurrentDemandRes, CurrentDemandRes, CurrentDemandResType, 31),
          BODY(WeldingDetectionReq, WeldingDetectionReq, WeldingDetectionReqType, 32),
          BODY(WeldingDetectionRes, WeldingDetectionRes, WeldingDetectionResType, 33))
DESC_LINKED(AnonType_V2G_Message,
     REF(AnonType_V2G_Message, Header, def_Header, MessageHeaderType, -1),
     REC(AnonType_V2G_Message, Body, def_Body, BodyType, -1))


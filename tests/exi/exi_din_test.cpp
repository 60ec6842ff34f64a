// DIN SPEC 70121 codec: the generated grammar tables, messages written out
// bit by bit from EXI 1.0 and the schemas, round trips and refusals.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "BitOutputStream.h"
#include "EXICoder.h"
#include "din_events.h"
#include "dinEXIGrammar.h"
#include "exi_test_util.h"

using namespace din_events;

namespace {

const ExiGrammarState& stateOf(int16_t s) { return dinGrammar.states[s]; }
const ExiProduction& production(int16_t s, uint32_t code) {
  return dinGrammar.productions[stateOf(s).firstProduction + code];
}

// ------------------------------------------------------------------ tables

TEST(DinGrammarTables, NameTablesFollowTheSchemas) {
  const uint16_t perUri[] = {9, 4, 2, 46, 70, 118, 188, 6, 3};
  ASSERT_EQ(kDinUris, 9);
  uint16_t total = 0;
  for (uint16_t u = 0; u < kDinUris; ++u) {
    EXPECT_EQ(dinLocalNames[u], perUri[u]) << "URI " << u;
    total = static_cast<uint16_t>(total + dinLocalNames[u]);
  }
  EXPECT_EQ(total, 446);
  EXPECT_EQ(kDinPrepopulatedQNames, 446);
  struct Row {
    uint16_t id, uri, local;
  };
  // IDs the V2G session and the codec rely on.
  for (Row r : {Row{0, 0, 0}, Row{8, 0, 8}, Row{13, 2, 0}, Row{14, 2, 1}, Row{61, 4, 0},
                Row{133, 5, 2}, Row{237, 5, 106}, Row{437, 7, 0}, Row{439, 7, 2},
                Row{441, 7, 4}, Row{442, 7, 5}, Row{445, 8, 2}}) {
    EXPECT_EQ(dinQNames[r.id].uriId, r.uri) << r.id;
    EXPECT_EQ(dinQNames[r.id].localNameId, r.local) << r.id;
  }
  EXPECT_EQ(DIN_QNAME_body_SessionSetupReq, 237);
  EXPECT_EQ(DIN_QNAME_def_V2G_Message, 442);
  EXPECT_EQ(DIN_QNAME_def_Header, 441);
  EXPECT_EQ(DIN_QNAME_def_Body, 437);
  EXPECT_EQ(DIN_QNAME_def_BodyElement, 439);
  EXPECT_EQ(DIN_QNAME_attr_ValueType, 8);
}

// The element and attribute numbers the V2G session's binding uses.
TEST(DinGrammarTables, QNameIdsOfTheBinding) {
  struct Row {
    uint16_t constant, quoted;
  };
  const Row rows[] = {
      {DIN_QNAME_attr_Algorithm, 0}, {DIN_QNAME_attr_Id, 2}, {DIN_QNAME_attr_Type, 6},
      {DIN_QNAME_attr_URI, 7}, {DIN_QNAME_ds_DigestValue, 68}, {DIN_QNAME_ds_Signature, 103},
      {DIN_QNAME_ds_SignatureValue, 111}, {DIN_QNAME_ds_X509CRL, 119},
      {DIN_QNAME_ds_X509Certificate, 120}, {DIN_QNAME_ds_X509IssuerName, 123},
      {DIN_QNAME_ds_X509SKI, 126}, {DIN_QNAME_ds_X509SerialNumber, 127},
      {DIN_QNAME_ds_X509SubjectName, 128}, {DIN_QNAME_body_AC_EVSEStatus, 131},
      {DIN_QNAME_body_BulkChargingComplete, 132}, {DIN_QNAME_body_ChargeService, 149},
      {DIN_QNAME_body_ChargingComplete, 150}, {DIN_QNAME_body_ContractID, 160},
      {DIN_QNAME_body_ContractSignatureCertChain, 161},
      {DIN_QNAME_body_ContractSignatureEncryptedPrivateKey, 162},
      {DIN_QNAME_body_DC_EVSEStatus, 167}, {DIN_QNAME_body_DHParams, 169},
      {DIN_QNAME_body_DateTimeNow, 170}, {DIN_QNAME_body_EVCCID, 171},
      {DIN_QNAME_body_EVMaximumCurrentLimit, 172}, {DIN_QNAME_body_EVMaximumPowerLimit, 173},
      {DIN_QNAME_body_EVMaximumVoltageLimit, 174}, {DIN_QNAME_body_EVRequestedEnergyTransferType, 175},
      {DIN_QNAME_body_EVSECurrentLimitAchieved, 176}, {DIN_QNAME_body_EVSEID, 177},
      {DIN_QNAME_body_EVSEMaxCurrent, 178}, {DIN_QNAME_body_EVSEMaximumCurrentLimit, 179},
      {DIN_QNAME_body_EVSEMaximumPowerLimit, 180}, {DIN_QNAME_body_EVSEMaximumVoltageLimit, 181},
      {DIN_QNAME_body_EVSEPowerLimitAchieved, 182}, {DIN_QNAME_body_EVSEPresentCurrent, 183},
      {DIN_QNAME_body_EVSEPresentVoltage, 184}, {DIN_QNAME_body_EVSEProcessing, 185},
      {DIN_QNAME_body_EVSEVoltageLimitAchieved, 186}, {DIN_QNAME_body_EVTargetCurrent, 187},
      {DIN_QNAME_body_EVTargetVoltage, 188}, {DIN_QNAME_body_GenChallenge, 189},
      {DIN_QNAME_body_MeterInfo, 191}, {DIN_QNAME_body_OEMProvisioningCert, 196},
      {DIN_QNAME_body_PaymentOptions, 201}, {DIN_QNAME_body_ReadyToChargeState, 210},
      {DIN_QNAME_body_ReceiptRequired, 211}, {DIN_QNAME_body_RemainingTimeToBulkSoC, 212},
      {DIN_QNAME_body_RemainingTimeToFullSoC, 213}, {DIN_QNAME_body_ResponseCode, 214},
      {DIN_QNAME_body_RetryCounter, 215}, {DIN_QNAME_body_SAScheduleTupleID, 216},
      {DIN_QNAME_body_SelectedPaymentOption, 217}, {DIN_QNAME_body_SelectedServiceList, 218},
      {DIN_QNAME_body_ServiceCategory, 219}, {DIN_QNAME_body_ServiceID, 228},
      {DIN_QNAME_body_ServiceList, 229}, {DIN_QNAME_body_ServiceParameterList, 230},
      {DIN_QNAME_body_ServiceScope, 235}, {DIN_QNAME_body_SessionID, 236},
      {DIN_QNAME_types_AC_EVChargeParameter, 249}, {DIN_QNAME_types_AC_EVSEChargeParameter, 251},
      {DIN_QNAME_types_AC_EVSEStatus, 253}, {DIN_QNAME_types_BulkChargingComplete, 255},
      {DIN_QNAME_types_BulkSOC, 256}, {DIN_QNAME_types_Certificate, 257},
      {DIN_QNAME_types_ChargingComplete, 259}, {DIN_QNAME_types_ChargingProfileEntryMaxPower, 260},
      {DIN_QNAME_types_ChargingProfileEntryStart, 261}, {DIN_QNAME_types_ConsumptionCost, 263},
      {DIN_QNAME_types_Cost, 265}, {DIN_QNAME_types_DC_EVChargeParameter, 267},
      {DIN_QNAME_types_DC_EVSEChargeParameter, 272}, {DIN_QNAME_types_DC_EVSEStatus, 274},
      {DIN_QNAME_types_DC_EVStatus, 277}, {DIN_QNAME_types_DepartureTime, 279},
      {DIN_QNAME_types_EAmount, 280}, {DIN_QNAME_types_EPriceLevel, 281},
      {DIN_QNAME_types_EVCabinConditioning, 282}, {DIN_QNAME_types_EVEnergyCapacity, 285},
      {DIN_QNAME_types_EVEnergyRequest, 286}, {DIN_QNAME_types_EVErrorCode, 287},
      {DIN_QNAME_types_EVMaxCurrent, 288}, {DIN_QNAME_types_EVMaxVoltage, 289},
      {DIN_QNAME_types_EVMaximumCurrentLimit, 290}, {DIN_QNAME_types_EVMaximumPowerLimit, 291},
      {DIN_QNAME_types_EVMaximumVoltageLimit, 292}, {DIN_QNAME_types_EVMinCurrent, 293},
      {DIN_QNAME_types_EVRESSConditioning, 296}, {DIN_QNAME_types_EVRESSSOC, 297},
      {DIN_QNAME_types_EVReady, 298}, {DIN_QNAME_types_EVSECurrentRegulationTolerance, 302},
      {DIN_QNAME_types_EVSEEnergyToBeDelivered, 303}, {DIN_QNAME_types_EVSEIsolationStatus, 304},
      {DIN_QNAME_types_EVSEMaxCurrent, 305}, {DIN_QNAME_types_EVSEMaxVoltage, 306},
      {DIN_QNAME_types_EVSEMaximumCurrentLimit, 307}, {DIN_QNAME_types_EVSEMaximumPowerLimit, 308},
      {DIN_QNAME_types_EVSEMaximumVoltageLimit, 309}, {DIN_QNAME_types_EVSEMinCurrent, 310},
      {DIN_QNAME_types_EVSEMinimumCurrentLimit, 311}, {DIN_QNAME_types_EVSEMinimumVoltageLimit, 312},
      {DIN_QNAME_types_EVSENotification, 313}, {DIN_QNAME_types_EVSEPeakCurrentRipple, 315},
      {DIN_QNAME_types_EVSEStatusCode, 318}, {DIN_QNAME_types_EnergyTransferType, 323},
      {DIN_QNAME_types_FaultCode, 326}, {DIN_QNAME_types_FaultMsg, 327},
      {DIN_QNAME_types_FreeService, 328}, {DIN_QNAME_types_FullSOC, 329},
      {DIN_QNAME_types_MeterID, 332}, {DIN_QNAME_types_MeterReading, 334},
      {DIN_QNAME_types_MeterStatus, 335}, {DIN_QNAME_types_Multiplier, 336},
      {DIN_QNAME_types_NotificationMaxDelay, 337}, {DIN_QNAME_types_NumEPriceLevels, 339},
      {DIN_QNAME_types_PMax, 340}, {DIN_QNAME_types_PMaxSchedule, 341},
      {DIN_QNAME_types_PMaxScheduleEntry, 342}, {DIN_QNAME_types_PMaxScheduleID, 344},
      {DIN_QNAME_types_Parameter, 347}, {DIN_QNAME_types_ParameterSet, 348},
      {DIN_QNAME_types_ParameterSetID, 349}, {DIN_QNAME_types_PaymentOption, 352},
      {DIN_QNAME_types_PowerSwitchClosed, 355}, {DIN_QNAME_types_RCD, 358},
      {DIN_QNAME_types_RelativeTimeInterval, 359}, {DIN_QNAME_types_RootCertificateID, 361},
      {DIN_QNAME_types_SAScheduleList, 363}, {DIN_QNAME_types_SAScheduleTuple, 365},
      {DIN_QNAME_types_SAScheduleTupleID, 366}, {DIN_QNAME_types_SalesTariff, 370},
      {DIN_QNAME_types_SalesTariffDescription, 371}, {DIN_QNAME_types_SalesTariffEntry, 372},
      {DIN_QNAME_types_SalesTariffID, 374}, {DIN_QNAME_types_SelectedService, 376},
      {DIN_QNAME_types_Service, 379}, {DIN_QNAME_types_ServiceCategory, 380},
      {DIN_QNAME_types_ServiceID, 383}, {DIN_QNAME_types_ServiceName, 384},
      {DIN_QNAME_types_ServiceScope, 386}, {DIN_QNAME_types_ServiceTag, 387},
      {DIN_QNAME_types_SigMeterReading, 391}, {DIN_QNAME_types_SubCertificates, 392},
      {DIN_QNAME_types_TMeter, 394}, {DIN_QNAME_types_Unit, 396}, {DIN_QNAME_types_Value, 397},
      {DIN_QNAME_types_amount, 398}, {DIN_QNAME_types_amountMultiplier, 399},
      {DIN_QNAME_types_boolValue, 400}, {DIN_QNAME_types_byteValue, 401},
      {DIN_QNAME_types_costKind, 404}, {DIN_QNAME_types_duration, 407},
      {DIN_QNAME_types_intValue, 413}, {DIN_QNAME_types_physicalValue, 419},
      {DIN_QNAME_types_shortValue, 428}, {DIN_QNAME_types_start, 430},
      {DIN_QNAME_types_startValue, 431}, {DIN_QNAME_types_stringValue, 432},
      {DIN_QNAME_hdr_Notification, 444}, {DIN_QNAME_hdr_SessionID, 445},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.constant, r.quoted);
  }
}

// Global element grammars and built-in grammars of undeclared elements.
TEST(DinGrammarTables, GlobalAndBuiltInElementGrammars) {
  ExiCoderState state{};
  RuntimeNameTable runtime{};
  exiInitCoderState(&state, &dinGrammar, &runtime, StringValueTable{});
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, DIN_QNAME_body_SessionSetupReq), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), production(DIN_STATE_BODY, 29).pushed);
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, 500), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), -1);
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, 500), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), -1);
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, 501), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), -3);
  ASSERT_EQ(exi__MoveToElementContentRule(&state), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), -4);
}

TEST(DinGrammarTables, DocumentAndFragmentStates) {
  const ExiGrammarState& doc = stateOf(DIN_STATE_DOC_CONTENT);
  EXPECT_EQ(doc.count, 82);  // 81 global elements and SE(*)
  EXPECT_EQ(doc.width, 7);
  EXPECT_EQ(dinGrammar.globalElementCount, 81);
  EXPECT_EQ(production(DIN_STATE_DOC_CONTENT, 77).qnameId, DIN_QNAME_def_V2G_Message);
  EXPECT_EQ(production(DIN_STATE_DOC_CONTENT, 77).pushed, DIN_STATE_V2G_MESSAGE);
  EXPECT_EQ(production(DIN_STATE_DOC_CONTENT, 81).event, EXI_EVENT_START_ELEMENT_GENERIC);
  for (uint32_t c = 0; c < 81; ++c) {
    EXPECT_EQ(production(DIN_STATE_DOC_CONTENT, c).next, DIN_STATE_DOC_END);
  }
  const ExiGrammarState& frag = stateOf(DIN_STATE_FRAGMENT_CONTENT);
  EXPECT_EQ(frag.count, 247);  // 245 distinct element names, SE(*), ED
  EXPECT_EQ(frag.width, 8);
  EXPECT_EQ(stateOf(DIN_STATE_DOCUMENT).width, 0);
  EXPECT_EQ(stateOf(DIN_STATE_DOC_END).width, 0);
  EXPECT_EQ(stateOf(DIN_STATE_FRAGMENT).width, 0);
  // The global element table keys: the 81 elements of DocContent.
  std::set<uint16_t> globals;
  for (uint16_t i = 0; i < dinGrammar.globalElementCount; ++i) {
    globals.insert(dinGrammar.globalElements[i].qnameId);
  }
  for (uint16_t id : {61, 121, 133, 247, 249, 395, 439, 442}) {
    EXPECT_EQ(globals.count(id), 1u) << id;
  }
}

TEST(DinGrammarTables, BodyOffersTheMessagesInLexicalOrder) {
  const uint16_t messages[] = {133, 135, 137, 139, 141, 143, 145, 147, 152, 154, 156, 158,
                               163, 165, 192, 194, 197, 199, 202, 204, 206, 208, 220, 222,
                               224, 226, 231, 233, 237, 239, 241, 242, 245, 247};
  const ExiGrammarState& body = stateOf(DIN_STATE_BODY);
  ASSERT_EQ(body.count, 36);
  EXPECT_EQ(body.width, 6);
  EXPECT_EQ(production(DIN_STATE_BODY, 0).qnameId, DIN_QNAME_def_BodyElement);
  for (uint32_t c = 1; c <= 34; ++c) {
    EXPECT_EQ(production(DIN_STATE_BODY, c).event, EXI_EVENT_START_ELEMENT);
    EXPECT_EQ(production(DIN_STATE_BODY, c).qnameId, messages[c - 1]) << c;
  }
  EXPECT_EQ(production(DIN_STATE_BODY, 35).event, EXI_EVENT_END_ELEMENT);
}

TEST(DinGrammarTables, EveryReferencedStateIsDefined) {
  uint32_t se = 0, ee = 0, chars = 0, attributes = 0, maxCount = 0;
  for (uint16_t s = 0; s < kDinStateCount; ++s) {
    const ExiGrammarState& st = stateOf(static_cast<int16_t>(s));
    ASSERT_LE(st.firstProduction + st.count, kDinProductionCount);
    uint32_t alternatives = st.count + (st.secondLevel != EXI_SECOND_NONE ? 1u : 0u);
    uint16_t bits = 0;
    exiGetCodingLength(alternatives, &bits);
    EXPECT_EQ(st.width, bits) << "state " << s;
    maxCount = std::max<uint32_t>(maxCount, st.count);
    for (uint32_t c = 0; c < st.count; ++c) {
      const ExiProduction& p = production(static_cast<int16_t>(s), c);
      switch (p.event) {
        case EXI_EVENT_START_ELEMENT:
          ++se;
          EXPECT_LT(p.qnameId, kDinPrepopulatedQNames);
          EXPECT_GE(p.pushed, 0);
          EXPECT_LT(p.pushed, kDinStateCount);
          [[fallthrough]];
        case EXI_EVENT_START_DOCUMENT:
        case EXI_EVENT_START_ELEMENT_GENERIC:
        case EXI_EVENT_CHARACTERS:
        case EXI_EVENT_CHARACTERS_GENERIC:
        case EXI_EVENT_ATTRIBUTE:
          EXPECT_GE(p.next, 0) << "state " << s;
          EXPECT_LT(p.next, kDinStateCount) << "state " << s;
          break;
        default:
          break;
      }
      ee += p.event == EXI_EVENT_END_ELEMENT;
      chars += p.event == EXI_EVENT_CHARACTERS || p.event == EXI_EVENT_CHARACTERS_GENERIC;
      attributes += p.event == EXI_EVENT_ATTRIBUTE;
    }
  }
  for (uint16_t i = 0; i < dinGrammar.typeCount; ++i) {
    EXPECT_LT(dinGrammar.types[i].state, kDinStateCount);
  }
  for (uint16_t i = 0; i < dinGrammar.contentMoveCount; ++i) {
    EXPECT_LT(dinGrammar.contentMoves[i].to, kDinStateCount);
  }
  for (uint16_t i = 0; i < dinGrammar.globalElementCount; ++i) {
    EXPECT_LT(dinGrammar.globalElements[i].state, kDinStateCount);
  }
  // Sizes of the generated tables: every declared attribute use, one entry
  // per named type (46 built-in and 140 of the schemas).
  EXPECT_EQ(attributes, 37u);
  EXPECT_EQ(dinGrammar.typeCount, 186);
  EXPECT_EQ(maxCount, 247u);
  EXPECT_EQ(kDinStateCount, 707);
  EXPECT_EQ(kDinGrammarCount, 231);
  EXPECT_EQ(se, 896u);
  EXPECT_EQ(ee, 187u);
  EXPECT_EQ(chars, 242u);
}

// The shape of the tables, counted the way the encoder looks them up: the
// figures the DIN codec is checked against.
TEST(DinGrammarTables, CountsOfWidthsCodesAndValueCodings) {
  std::map<int, int> widths, singleKinds, seByWidth, attributesPerState;
  std::map<std::pair<int, int>, int> eeCodes, typedCh, untypedCh, codings;
  std::set<int16_t> pushed, contentSources, contentTargets;
  int seStates = 0, emptyStates = 0, startTagsWithoutEe = 0;
  for (uint16_t s = 0; s < kDinStateCount; ++s) {
    const ExiGrammarState& st = stateOf(static_cast<int16_t>(s));
    if (st.count == 0 && st.secondLevel == EXI_SECOND_NONE) {
      ++emptyStates;
      continue;
    }
    ++widths[st.width];
    bool hasSe = false, hasEe = false;
    int attrs = 0;
    for (uint32_t c = 0; c < st.count; ++c) {
      const ExiProduction& p = production(static_cast<int16_t>(s), c);
      if (st.width == 1 && st.count == 1) ++singleKinds[p.event];
      switch (p.event) {
        case EXI_EVENT_START_ELEMENT:
          ++seByWidth[st.width];
          pushed.insert(p.pushed);
          hasSe = true;
          break;
        case EXI_EVENT_END_ELEMENT:
          ++eeCodes[{st.width, c}];
          hasEe = true;
          break;
        case EXI_EVENT_CHARACTERS:
          ++typedCh[{st.width, c}];
          ++codings[{p.coding.type, p.coding.type == EXI_VALUE_DATETIME ? p.coding.dateTimeKind
                                                                         : p.coding.bits * 1000 + p.coding.lowerBound}];
          break;
        case EXI_EVENT_CHARACTERS_GENERIC:
          ++untypedCh[{st.width, c}];
          break;
        case EXI_EVENT_ATTRIBUTE:
          ++attrs;
          break;
        default:
          break;
      }
    }
    seStates += hasSe;
    if (attrs > 0) ++attributesPerState[attrs];
    if (st.secondLevel == EXI_SECOND_START_TAG && !hasEe && attrs == 0) ++startTagsWithoutEe;
  }
  EXPECT_EQ(emptyStates, 1);
  EXPECT_EQ(widths, (std::map<int, int>{{0, 3}, {1, 542}, {2, 121}, {3, 31}, {4, 5}, {6, 2},
                                        {7, 1}, {8, 1}}));
  EXPECT_EQ(singleKinds, (std::map<int, int>{{EXI_EVENT_START_ELEMENT, 239},
                                             {EXI_EVENT_END_ELEMENT, 92},
                                             {EXI_EVENT_CHARACTERS, 201},
                                             {EXI_EVENT_ATTRIBUTE, 10}}));
  EXPECT_EQ(seByWidth, (std::map<int, int>{{1, 239}, {2, 152}, {3, 74}, {4, 35}, {6, 70},
                                           {7, 81}, {8, 245}}));
  EXPECT_EQ(seStates, 371);
  // Grammars entered by a declared start element; the others are reached
  // through xsi:type, as element content or not at all.
  EXPECT_EQ(pushed.size(), 174u);
  EXPECT_EQ(eeCodes, (std::map<std::pair<int, int>, int>{
                         {{1, 0}, 92}, {{2, 1}, 58}, {{2, 2}, 13}, {{3, 2}, 10}, {{3, 3}, 6},
                         {{3, 4}, 3}, {{6, 35}, 2}, {{4, 8}, 1}, {{2, 0}, 1}, {{3, 6}, 1}}));
  EXPECT_EQ(typedCh, (std::map<std::pair<int, int>, int>{{{1, 0}, 201}, {{2, 1}, 1}}));
  // The 40 mixed-content states of the signature types.
  EXPECT_EQ(untypedCh, (std::map<std::pair<int, int>, int>{
                           {{2, 2}, 16}, {{3, 3}, 13}, {{2, 1}, 4}, {{4, 8}, 3}, {{4, 9}, 2},
                           {{3, 4}, 1}, {{3, 5}, 1}}));
  // Character states by value coding (n-bit integers and enumerations by
  // width and lower bound, date-times by kind).
  std::map<std::pair<int, int>, int> expected = {
      {{EXI_VALUE_BINARY_BASE64, 0}, 25}, {{EXI_VALUE_BINARY_HEX, 0}, 8},
      {{EXI_VALUE_BOOLEAN, 0}, 2},        {{EXI_VALUE_DECIMAL, 0}, 2},
      {{EXI_VALUE_FLOAT, 0}, 4},          {{EXI_VALUE_UNSIGNED_INTEGER, 0}, 20},
      {{EXI_VALUE_INTEGER, 0}, 30},       {{EXI_VALUE_STRING, 0}, 52},
      {{EXI_VALUE_LIST, 0}, 6},           {{EXI_VALUE_NBIT_INTEGER, 2997}, 2},
      {{EXI_VALUE_NBIT_INTEGER, 7000}, 2}, {{EXI_VALUE_NBIT_INTEGER, 8000}, 2},
      {{EXI_VALUE_NBIT_INTEGER, 7872}, 3}, {{EXI_VALUE_ENUMERATION, 1000}, 4},
      {{EXI_VALUE_ENUMERATION, 2000}, 10}, {{EXI_VALUE_ENUMERATION, 3000}, 4},
      {{EXI_VALUE_ENUMERATION, 4000}, 8}, {{EXI_VALUE_ENUMERATION, 5000}, 2}};
  for (int kind = 0; kind < 8; ++kind) expected[{EXI_VALUE_DATETIME, kind}] = 2;
  EXPECT_EQ(codings, expected);
  EXPECT_EQ(attributesPerState, (std::map<int, int>{{1, 23}, {2, 4}, {3, 2}}));
  EXPECT_EQ(startTagsWithoutEe, 187);
  for (uint16_t i = 0; i < dinGrammar.contentMoveCount; ++i) {
    contentSources.insert(dinGrammar.contentMoves[i].from);
    contentTargets.insert(dinGrammar.contentMoves[i].to);
  }
  EXPECT_EQ(contentSources.size(), 260u);
  EXPECT_EQ(contentTargets.size(), 189u);
}

int16_t typeGrammar(uint16_t uri, uint16_t local) {
  for (uint16_t i = 0; i < dinGrammar.typeCount; ++i) {
    if (dinGrammar.types[i].uriId == uri && dinGrammar.types[i].localNameId == local) {
      return dinGrammar.types[i].state;
    }
  }
  return -1;
}

int16_t globalGrammar(uint16_t qnameId) {
  for (uint16_t i = 0; i < dinGrammar.globalElementCount; ++i) {
    if (dinGrammar.globalElements[i].qnameId == qnameId) return dinGrammar.globalElements[i].state;
  }
  return -1;
}

int16_t contentOf(int16_t s) {
  ExiCoderState state{};
  RuntimeNameTable runtime{};
  exiInitCoderState(&state, &dinGrammar, &runtime, StringValueTable{});
  exiTopGrammar(&state) = s;
  EXPECT_EQ(exi__MoveToElementContentRule(&state), EXI_OK);
  return exiTopGrammar(&state);
}

// Which first states share a grammar and where their content begins.
TEST(DinGrammarTables, ElementContentOfSharedAndOwnStartStates) {
  // SessionSetupReq enters the grammar of its type; BodyElement, whose
  // type has derived types, has a start state of its own.
  EXPECT_EQ(globalGrammar(DIN_QNAME_body_SessionSetupReq), typeGrammar(5, 107));
  EXPECT_NE(globalGrammar(DIN_QNAME_def_BodyElement), typeGrammar(7, 1));
  EXPECT_EQ(typeGrammar(7, 3), DIN_STATE_BODY);
  // unsignedInt and the eight element declarations of that type: nine
  // start states, one element content.
  const int16_t unsignedInt = typeGrammar(3, 43);
  std::set<int16_t> starts = {unsignedInt};
  auto child = [](int16_t s, uint16_t q) {
    for (uint32_t c = 0; c < stateOf(s).count; ++c) {
      if (production(s, c).event == EXI_EVENT_START_ELEMENT && production(s, c).qnameId == q) {
        return production(s, c).pushed;
      }
    }
    return int16_t{-1};
  };
  const int16_t interval = typeGrammar(6, 111);  // RelativeTimeIntervalType
  starts.insert(child(interval, DIN_QNAME_types_start));
  const int16_t start = child(interval, DIN_QNAME_types_start);
  EXPECT_NE(start, unsignedInt);
  EXPECT_EQ(contentOf(start), contentOf(unsignedInt));
  std::set<int16_t> contents;
  for (uint16_t i = 0; i < dinGrammar.contentMoveCount; ++i) {
    if (dinGrammar.contentMoves[i].to == contentOf(unsignedInt)) {
      contents.insert(dinGrammar.contentMoves[i].from);
    }
  }
  EXPECT_EQ(contents.size(), 9u);
  // SignatureValue: its start tag and the state after its Id attribute
  // move to the start of the binary value's own grammar, which moves on to
  // its content state.
  const int16_t sigValue = globalGrammar(DIN_QNAME_ds_SignatureValue);
  ASSERT_EQ(stateOf(sigValue).count, 2);
  EXPECT_EQ(stateOf(sigValue).width, 2);
  const int16_t afterId = production(sigValue, 0).next;
  EXPECT_EQ(production(sigValue, 1).event, EXI_EVENT_CHARACTERS);
  EXPECT_EQ(production(sigValue, 1).next, DIN_STATE_SIMPLE_DONE);
  EXPECT_EQ(contentOf(sigValue), contentOf(afterId));
  const int16_t value = contentOf(sigValue);
  EXPECT_EQ(stateOf(value).secondLevel, EXI_SECOND_START_TAG);
  EXPECT_NE(contentOf(value), value);
  // RetrievalMethod: the start tag and the states after each of its two
  // attributes share one content state.
  const int16_t retrieval = globalGrammar(DIN_QNAME_ds_RetrievalMethod);
  const int16_t afterType = production(retrieval, 0).next;
  const int16_t afterUri = production(afterType, 0).next;
  EXPECT_EQ(contentOf(retrieval), contentOf(afterType));
  EXPECT_EQ(contentOf(retrieval), contentOf(afterUri));
  // The empty state refuses every event.
  EXPECT_EQ(stateOf(DIN_STATE_EMPTY).count, 0);
  EXPECT_EQ(stateOf(DIN_STATE_EMPTY).secondLevel, EXI_SECOND_NONE);
}

TEST(DinGrammarTables, XsiTypeAndElementContentRoles) {
  // (MsgBody, SessionSetupReqType) names the grammar that the element
  // SessionSetupReq enters.
  ExiCoderState state{};
  RuntimeNameTable runtime{};
  exiInitCoderState(&state, &dinGrammar, &runtime, StringValueTable{});
  int16_t sessionSetup = production(DIN_STATE_BODY, 29).pushed;
  ASSERT_EQ(exi__PushStack(&state, 0, 0), EXI_OK);
  EXPECT_EQ(exi__HandleXsiType(&state, ExiQNameValue{5, 107}), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), sessionSetup);
  // The start tag of the grammar moves to a content state that offers the
  // same element without the xsi escape productions.
  ASSERT_EQ(exi__MoveToElementContentRule(&state), EXI_OK);
  int16_t content = exiTopGrammar(&state);
  EXPECT_NE(content, sessionSetup);
  EXPECT_EQ(stateOf(content).secondLevel, EXI_SECOND_CONTENT);
  EXPECT_EQ(production(content, 0).qnameId, DIN_QNAME_body_EVCCID);
  // A content state stays where it is.
  ASSERT_EQ(exi__MoveToElementContentRule(&state), EXI_OK);
  EXPECT_EQ(exiTopGrammar(&state), content);
  exiTopGrammar(&state) = kDinStateCount;
  EXPECT_EQ(exi__MoveToElementContentRule(&state), EXI_ERROR_GRAMMAR_STATE);
}

// ------------------------------------------------- hand-written references

const std::vector<uint8_t> kSessionId = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// The message frame up to the body's message code: header byte, V2G_Message
// in DocContent, Header, SessionID (hexBinary of 8 bytes), the end of the
// header (EE is code 2 after SessionID: Notification 0, Signature 1), Body.
BitFields frameStart(uint32_t messageCode) {
  BitFields f = {{8, 0x80}, {7, 77}, {1, 0}, {1, 0}, {1, 0}, {8, 8}};
  for (uint8_t b : kSessionId) f.push_back({8, b});
  BitFields rest = {{1, 0}, {2, 2}, {1, 0}, {6, messageCode}};
  f.insert(f.end(), rest.begin(), rest.end());
  return f;
}

// The ends of the message element, the body and the root.
void frameEnd(BitFields* f) {
  f->push_back({1, 0});
  f->push_back({1, 0});
  f->push_back({1, 0});
}

std::vector<Event> message(uint16_t messageQName, const std::vector<Event>& content) {
  std::vector<Event> e = {se(DIN_QNAME_def_V2G_Message), se(DIN_QNAME_def_Header)};
  for (const Event& x : leaf(DIN_QNAME_hdr_SessionID, bin(kSessionId))) e.push_back(x);
  e.push_back(ee());
  e.push_back(se(DIN_QNAME_def_Body));
  e.push_back(se(messageQName));
  e.insert(e.end(), content.begin(), content.end());
  e.push_back(ee());
  e.push_back(ee());
  e.push_back(ee());
  return e;
}

void append(std::vector<Event>* to, const std::vector<Event>& more) {
  to->insert(to->end(), more.begin(), more.end());
}

// PhysicalValue: Multiplier (3 bits from -3), optional Unit (4-bit index),
// Value (short, an EXI integer).
void physicalBits(BitFields* f, int multiplier, int unit, uint32_t value) {
  // SE(Multiplier), CH, value, EE; the element's own start code is the
  // caller's, as it depends on the state before it.
  f->insert(f->end(), {{1, 0}, {1, 0}, {3, static_cast<uint32_t>(multiplier + 3)}, {1, 0}});
  if (unit >= 0) {
    f->insert(f->end(), {{2, 0}, {1, 0}, {4, static_cast<uint32_t>(unit)}, {1, 0}, {1, 0}});
  } else {
    f->push_back({2, 1});  // Value straight after Multiplier
  }
  // CH, sign 0, value below 128 as one octet, EE of Value, EE of the type.
  f->insert(f->end(), {{1, 0}, {1, 0}, {8, value}, {1, 0}, {1, 0}});
}

std::vector<Event> physical(uint16_t q, int multiplier, int unit, int64_t value) {
  std::vector<Event> e = {se(q)};
  append(&e, leaf(DIN_QNAME_types_Multiplier, num(EXI_VALUE_NBIT_INTEGER, multiplier)));
  if (unit >= 0) append(&e, leaf(DIN_QNAME_types_Unit, num(EXI_VALUE_ENUMERATION, unit)));
  append(&e, leaf(DIN_QNAME_types_Value, num(EXI_VALUE_INTEGER, value)));
  e.push_back(ee());
  return e;
}

// DC_EVStatus with EVReady, EVErrorCode and EVRESSSOC (the two optional
// conditioning flags left out: EVErrorCode is code 2 of 2 bits).
void evStatusBits(BitFields* f, bool ready, uint32_t error, uint32_t soc) {
  f->insert(f->end(), {{1, 0},                                // SE(DC_EVStatus)
                       {1, 0}, {1, 0}, {1, ready}, {1, 0},    // EVReady
                       {2, 2}, {1, 0}, {4, error}, {1, 0},    // EVErrorCode
                       {1, 0}, {1, 0}, {7, soc}, {1, 0},      // EVRESSSOC 0..100
                       {1, 0}});                              // EE
}

std::vector<Event> evStatus(uint16_t q, bool ready, int error, int soc) {
  std::vector<Event> e = {se(q)};
  append(&e, leaf(DIN_QNAME_types_EVReady, num(EXI_VALUE_BOOLEAN, ready)));
  append(&e, leaf(DIN_QNAME_types_EVErrorCode, num(EXI_VALUE_ENUMERATION, error)));
  append(&e, leaf(DIN_QNAME_types_EVRESSSOC, num(EXI_VALUE_NBIT_INTEGER, soc)));
  e.push_back(ee());
  return e;
}

struct Reference {
  const char* name;
  BitFields bits;
  std::vector<Event> events;
};

std::vector<Reference> references() {
  std::vector<Reference> refs;
  {
    // SessionSetupReq (code 29): EVCCID, hexBinary of 6 bytes.
    BitFields f = frameStart(29);
    f.insert(f.end(), {{1, 0}, {1, 0}, {8, 6}});
    for (uint32_t b : {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}) f.push_back({8, b});
    f.push_back({1, 0});  // EE of EVCCID
    frameEnd(&f);
    refs.push_back({"SessionSetupReq", f,
                    message(DIN_QNAME_body_SessionSetupReq,
                            leaf(DIN_QNAME_body_EVCCID,
                                 bin({0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F})))});
  }
  {
    // ChargeParameterDiscoveryReq (code 7): DC_extended (3 of 6, 3 bits),
    // DC_EVChargeParameter (code 1: AC_, DC_, EVChargeParameter) with the
    // power limit and FullSOC and BulkSOC.
    BitFields f = frameStart(7);
    f.insert(f.end(), {{1, 0}, {1, 0}, {3, 3}, {1, 0}, {2, 1}});
    evStatusBits(&f, true, 0, 55);
    f.push_back({1, 0});
    physicalBits(&f, 0, 3, 120);   // EVMaximumCurrentLimit, A
    f.push_back({2, 0});           // EVMaximumPowerLimit
    physicalBits(&f, 2, 7, 50);    // 50 * 10^2 W
    f.push_back({1, 0});
    physicalBits(&f, 0, 5, 100);   // EVMaximumVoltageLimit, V
    f.insert(f.end(), {{3, 2}, {1, 0}, {7, 90}, {1, 0},   // FullSOC
                       {2, 0}, {1, 0}, {7, 80}, {1, 0},   // BulkSOC
                       {1, 0},                            // EE of DC_EVChargeParameter
                       {1, 0}});                          // EE of the request
    f.push_back({1, 0});
    f.push_back({1, 0});
    std::vector<Event> c = leaf(DIN_QNAME_body_EVRequestedEnergyTransferType,
                                num(EXI_VALUE_ENUMERATION, 3));
    c.push_back(se(DIN_QNAME_types_DC_EVChargeParameter));
    append(&c, evStatus(DIN_QNAME_types_DC_EVStatus, true, 0, 55));
    append(&c, physical(DIN_QNAME_types_EVMaximumCurrentLimit, 0, 3, 120));
    append(&c, physical(DIN_QNAME_types_EVMaximumPowerLimit, 2, 7, 50));
    append(&c, physical(DIN_QNAME_types_EVMaximumVoltageLimit, 0, 5, 100));
    append(&c, leaf(DIN_QNAME_types_FullSOC, num(EXI_VALUE_NBIT_INTEGER, 90)));
    append(&c, leaf(DIN_QNAME_types_BulkSOC, num(EXI_VALUE_NBIT_INTEGER, 80)));
    c.push_back(ee());
    refs.push_back({"ChargeParameterDiscoveryReq", f,
                    message(DIN_QNAME_body_ChargeParameterDiscoveryReq, c)});
  }
  {
    // PreChargeReq (code 21): status, target voltage and current.
    BitFields f = frameStart(21);
    evStatusBits(&f, false, 11, 0);
    f.push_back({1, 0});
    physicalBits(&f, -1, -1, 101);  // EVTargetVoltage without a unit
    f.push_back({1, 0});
    physicalBits(&f, -3, 3, 2);     // EVTargetCurrent
    frameEnd(&f);
    std::vector<Event> c = evStatus(DIN_QNAME_body_DC_EVStatus, false, 11, 0);
    append(&c, physical(DIN_QNAME_body_EVTargetVoltage, -1, -1, 101));
    append(&c, physical(DIN_QNAME_body_EVTargetCurrent, -3, 3, 2));
    refs.push_back({"PreChargeReq", f, message(DIN_QNAME_body_PreChargeReq, c)});
  }
  {
    // CurrentDemandReq (code 13): after EVTargetCurrent the voltage limit
    // (code 0 of 3 bits), then BulkChargingComplete (code 2 of 3 bits after
    // the voltage limit), ChargingComplete, RemainingTimeToFullSoC (code 0
    // of 2 bits), EVTargetVoltage (code 1 of 2 bits after it).
    BitFields f = frameStart(13);
    evStatusBits(&f, true, 0, 64);
    f.push_back({1, 0});
    physicalBits(&f, 0, 3, 80);      // EVTargetCurrent
    f.push_back({3, 0});
    physicalBits(&f, 0, 5, 110);     // EVMaximumVoltageLimit
    f.insert(f.end(), {{3, 2}, {1, 0}, {1, 1}, {1, 0},           // BulkChargingComplete true
                       {1, 0}, {1, 0}, {1, 0}, {1, 0},           // ChargingComplete false
                       {2, 0}});
    physicalBits(&f, 1, 2, 12);      // RemainingTimeToFullSoC, s
    f.push_back({2, 1});
    physicalBits(&f, 0, 5, 100);     // EVTargetVoltage
    frameEnd(&f);
    std::vector<Event> c = evStatus(DIN_QNAME_body_DC_EVStatus, true, 0, 64);
    append(&c, physical(DIN_QNAME_body_EVTargetCurrent, 0, 3, 80));
    append(&c, physical(DIN_QNAME_body_EVMaximumVoltageLimit, 0, 5, 110));
    append(&c, leaf(DIN_QNAME_body_BulkChargingComplete, num(EXI_VALUE_BOOLEAN, 1)));
    append(&c, leaf(DIN_QNAME_body_ChargingComplete, num(EXI_VALUE_BOOLEAN, 0)));
    append(&c, physical(DIN_QNAME_body_RemainingTimeToFullSoC, 1, 2, 12));
    append(&c, physical(DIN_QNAME_body_EVTargetVoltage, 0, 5, 100));
    refs.push_back({"CurrentDemandReq", f, message(DIN_QNAME_body_CurrentDemandReq, c)});
  }
  return refs;
}

TEST(DinCodecReference, HandWrittenRequestsDecodeAndEncodeBitForBit) {
  for (const Reference& r : references()) {
    SCOPED_TRACE(r.name);
    std::vector<uint8_t> bytes = packBits(r.bits);
    Decoded d = decode(bytes);
    for (size_t i = 0; i < d.events.size(); ++i) {
      if (i >= r.events.size() || !(d.events[i] == r.events[i])) {
        ADD_FAILURE() << "first difference at event " << i << ": kind "
                      << int(d.events[i].kind) << " qname " << d.events[i].qname << " value "
                      << d.events[i].value.number;
        break;
      }
    }
    ASSERT_EQ(d.rc, EXI_OK);
    EXPECT_FALSE(d.undeclared);
    EXPECT_EQ(d.events, r.events);
    Encoded e = encode(r.events);
    ASSERT_EQ(e.rc, EXI_OK) << "event " << e.failedAt;
    EXPECT_EQ(e.bytes, bytes);
  }
}

TEST(DinCodecReference, EveryTruncatedPrefixFailsCleanly) {
  for (const Reference& r : references()) {
    std::vector<uint8_t> bytes = packBits(r.bits);
    for (size_t n = 0; n < bytes.size(); ++n) {
      Decoded d = decode(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n));
      EXPECT_EQ(d.rc, EXI_ERROR_INPUT_EXHAUSTED) << r.name << " cut at " << n;
    }
  }
}

// ----------------------------------------------------------- round trips

// CurrentDemandRes with every optional member.
std::vector<Event> currentDemandRes() {
  std::vector<Event> c = leaf(DIN_QNAME_body_ResponseCode, num(EXI_VALUE_ENUMERATION, 0));
  c.push_back(se(DIN_QNAME_body_DC_EVSEStatus));
  append(&c, leaf(DIN_QNAME_types_EVSEIsolationStatus, num(EXI_VALUE_ENUMERATION, 1)));
  append(&c, leaf(DIN_QNAME_types_EVSEStatusCode, num(EXI_VALUE_ENUMERATION, 1)));
  append(&c, leaf(DIN_QNAME_types_NotificationMaxDelay, num(EXI_VALUE_UNSIGNED_INTEGER, 0)));
  append(&c, leaf(DIN_QNAME_types_EVSENotification, num(EXI_VALUE_ENUMERATION, 0)));
  c.push_back(ee());
  append(&c, physical(DIN_QNAME_body_EVSEPresentVoltage, 0, 5, 399));
  append(&c, physical(DIN_QNAME_body_EVSEPresentCurrent, 0, 3, 125));
  append(&c, leaf(DIN_QNAME_body_EVSECurrentLimitAchieved, num(EXI_VALUE_BOOLEAN, 0)));
  append(&c, leaf(DIN_QNAME_body_EVSEVoltageLimitAchieved, num(EXI_VALUE_BOOLEAN, 1)));
  append(&c, leaf(DIN_QNAME_body_EVSEPowerLimitAchieved, num(EXI_VALUE_BOOLEAN, 0)));
  append(&c, physical(DIN_QNAME_body_EVSEMaximumVoltageLimit, 0, 5, 500));
  append(&c, physical(DIN_QNAME_body_EVSEMaximumCurrentLimit, 0, 3, 200));
  append(&c, physical(DIN_QNAME_body_EVSEMaximumPowerLimit, 3, 7, 50));
  return message(DIN_QNAME_body_CurrentDemandRes, c);
}

// A ParameterSet entry whose enumerated ValueType attribute is handed over
// as text and so takes the untyped attribute path.
std::vector<Event> serviceDetailRes() {
  std::vector<Event> c = leaf(DIN_QNAME_body_ResponseCode, num(EXI_VALUE_ENUMERATION, 0));
  append(&c, leaf(DIN_QNAME_body_ServiceID, num(EXI_VALUE_UNSIGNED_INTEGER, 2)));
  c.push_back(se(DIN_QNAME_body_ServiceParameterList));
  c.push_back(se(DIN_QNAME_types_ParameterSet));
  append(&c, leaf(DIN_QNAME_types_ParameterSetID, num(EXI_VALUE_INTEGER, -7)));
  c.push_back(se(DIN_QNAME_types_Parameter));
  c.push_back(at(DIN_QNAME_attr_Name, str("Protocol")));
  c.push_back(at(DIN_QNAME_attr_ValueType, str("int")));
  append(&c, leaf(DIN_QNAME_types_intValue, num(EXI_VALUE_INTEGER, 70000)));
  c.push_back(ee());
  c.push_back(se(DIN_QNAME_types_Parameter));
  c.push_back(at(DIN_QNAME_attr_Name, str("")));
  c.push_back(at(DIN_QNAME_attr_ValueType, num(EXI_VALUE_ENUMERATION, 5)));
  append(&c, leaf(DIN_QNAME_types_stringValue, str("https")));
  c.push_back(ee());
  c.push_back(ee());
  c.push_back(ee());
  return message(DIN_QNAME_body_ServiceDetailRes, c);
}

TEST(DinCodecRoundTrip, MessagesWithTheirOptionalContentComeBackUnchanged) {
  for (const auto& events : {currentDemandRes(), serviceDetailRes()}) {
    Encoded e = encode(events);
    ASSERT_EQ(e.rc, EXI_OK) << "event " << e.failedAt;
    ASSERT_GE(e.bytes.size(), 2u);
    EXPECT_EQ(e.bytes[0], 0x80);
    Decoded d = decode(e.bytes);
    ASSERT_EQ(d.rc, EXI_OK);
    EXPECT_EQ(d.events, events);
  }
}

TEST(DinCodecRoundTrip, UntypedAttributeTakesTheEscapeAndThirdLevel) {
  // The Parameter state after Name offers only ValueType: escape 1 (1 bit),
  // AT(qname) untyped at the second level (code 2 of 3 bits), attribute 0
  // at the third level (1 bit), then the literal "int" (length 3 + 2).
  std::vector<Event> events = serviceDetailRes();
  Encoded untyped = encode(events);
  ASSERT_EQ(untyped.rc, EXI_OK);
  TestStream expect = TestStream::output(16);
  BitStream* s = expect.out();
  writeBits(s, 1, 1);
  writeBits(s, 3, 2);
  writeBits(s, 1, 0);
  writeBits(s, 8, 5);
  for (char c : std::string("int")) writeBits(s, 8, static_cast<uint8_t>(c));
  flush(s);
  // Find the pattern in the written bits: the run of 29 bits of the path.
  auto bitsOf = [](const std::vector<uint8_t>& b) {
    std::string out;
    for (uint8_t x : b)
      for (int i = 7; i >= 0; --i) out.push_back(((x >> i) & 1) ? '1' : '0');
    return out;
  };
  std::string want = bitsOf(expect.written()).substr(0, 1 + 3 + 1 + 8 + 24);
  EXPECT_NE(bitsOf(untyped.bytes).find(want), std::string::npos);
}

// ---------------------------------------------------------------- refusals

TEST(DinCodecRefusals, EncoderRefusesWhatTheSchemaDoesNotAllow) {
  std::vector<Event> good = message(
      DIN_QNAME_body_PreChargeReq,
      [] {
        std::vector<Event> c = evStatus(DIN_QNAME_body_DC_EVStatus, true, 0, 10);
        append(&c, physical(DIN_QNAME_body_EVTargetVoltage, 0, 5, 1));
        append(&c, physical(DIN_QNAME_body_EVTargetCurrent, 0, 3, 1));
        return c;
      }());
  ASSERT_EQ(encode(good).rc, EXI_OK);
  // Index of the first event of EVTargetVoltage and of its Multiplier value.
  size_t voltage = 0;
  while (!(good[voltage].kind == SE && good[voltage].qname == DIN_QNAME_body_EVTargetVoltage)) {
    ++voltage;
  }
  size_t multiplier = voltage + 2;
  struct Case {
    const char* what;
    std::vector<Event> events;
    int32_t rc;
  };
  auto edit = [&](auto f) {
    std::vector<Event> e = good;
    f(e);
    return e;
  };
  std::vector<Case> cases = {
      {"missing mandatory element", edit([&](auto& e) {
         e.erase(e.begin() + static_cast<long>(voltage),
                 e.begin() + static_cast<long>(voltage) + 11);
       }),
       EXI_ERROR_START_ELEMENT},
      {"element not declared here", edit([&](auto& e) { e[voltage].qname = DIN_QNAME_body_EVCCID; }),
       EXI_ERROR_START_ELEMENT},
      {"multiplier -4", edit([&](auto& e) { e[multiplier].value.number = -4; }),
       EXI_ERROR_VALUE_OUT_OF_RANGE},
      {"multiplier +4", edit([&](auto& e) { e[multiplier].value.number = 4; }),
       EXI_ERROR_VALUE_OUT_OF_RANGE},
      {"unit index beyond the enumeration",
       edit([&](auto& e) { e[multiplier + 3].value.number = 10; }), EXI_ERROR_VALUE_OUT_OF_RANGE},
      {"wrong value tag", edit([&](auto& e) { e[multiplier].value.type = EXI_VALUE_UNSIGNED_INTEGER; }),
       EXI_ERROR_UNSUPPORTED_EVENT},
      {"end element before mandatory content",
       edit([&](auto& e) { e[voltage + 1] = ee(); }), EXI_ERROR_UNSUPPORTED_EVENT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode(c.events).rc, c.rc) << c.what;
  }
  for (int m : {-3, 3}) {
    EXPECT_EQ(encode(edit([&](auto& e) { e[multiplier].value.number = m; })).rc, EXI_OK) << m;
  }
}

TEST(DinCodecRefusals, DecoderRefusesMalformedStreams) {
  std::vector<uint8_t> valid = packBits(references()[0].bits);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int32_t rc;
  };
  // SessionID with a 9th byte announced: within the 64-byte buffer it reads
  // fine and then the grammar fails; 65 bytes overrun the buffer.
  BitFields longId = {{8, 0x80}, {7, 77}, {1, 0}, {1, 0}, {1, 0}, {8, 0xC1}, {8, 0x00}};
  // A root element beyond the declared ones.
  BitFields beyond = {{8, 0x80}, {7, 82}};
  // An undeclared element (SE(*) at the second level) in the header.
  // Its built-in grammar then takes nothing but the escape: the end element
  // that closes it is refused.
  BitFields undeclared = {{8, 0x80}, {7, 77}, {1, 0}, {1, 1}, {3, 5}, {4, 1}, {8, 4},
                          {8, 'X'}, {8, 'y'}, {8, 'z'}, {2, 0}};
  // A FaultMsg of 65 characters in the header's Notification: FaultCode
  // (2-bit index), then FaultMsg as a literal of length 65 + 2.
  BitFields longMsg = {{8, 0x80}, {7, 77}, {1, 0}, {1, 0}, {1, 0}, {8, 8}};
  for (int i = 0; i < 8; ++i) longMsg.push_back({8, 0});
  for (auto field : BitFields{{1, 0}, {2, 0}, {1, 0}, {1, 0}, {2, 2}, {1, 0}, {2, 0}, {1, 0},
                              {8, 67}}) {
    longMsg.push_back(field);
  }
  for (int i = 0; i < 65; ++i) longMsg.push_back({8, 'a'});
  // A body message code beyond the escape (37 to 63 have no production).
  BitFields badBody = frameStart(40);
  std::vector<Case> cases = {
      {"binary longer than the buffer", packBits(longId), EXI_ERROR_BINARY_TOO_LONG},
      {"DocContent code beyond the declared ones", packBits(beyond), EXI_ERROR_EVENT_CODE_LEVEL1},
      {"undeclared element", packBits(undeclared), EXI_ERROR_UNDECLARED_END_BUILTIN},
      {"string longer than the buffer", packBits(longMsg), EXI_ERROR_STRING_TOO_LONG},
      {"body code beyond the escape", packBits(badBody), EXI_ERROR_EVENT_CODE_LEVEL1},
      {"EXI cookie", {0x24, 0x45, 0x58, 0x49}, EXI_ERROR_COOKIE},
      {"empty input", {}, EXI_ERROR_INPUT_EXHAUSTED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.bytes).rc, c.rc) << c.what;
  }
  EXPECT_EQ(decode(valid).rc, EXI_OK);
}

TEST(DinCodecRoundTrip, StringFillingTheWholeBufferComesBack) {
  std::vector<Event> events = serviceDetailRes();
  for (Event& e : events) {
    if (e.kind == CH && e.value.text == "https") e.value.text = std::string(64, 'a');
  }
  Encoded e = encode(events);
  ASSERT_EQ(e.rc, EXI_OK);
  Decoded d = decode(e.bytes);
  ASSERT_EQ(d.rc, EXI_OK);
  EXPECT_EQ(d.events, events);
}

TEST(DinCodecRefusals, ListTypesAreRefusedNotMisread) {
  // xsi:type IDREFS on the SessionID of the header, then characters: a list
  // value is refused by the decoder instead of leaving its items to be read
  // as events.
  BitFields f = {{8, 0x80}, {7, 77}, {1, 0}, {1, 0},
                 {1, 1}, {3, 3},           // escape, AT(*)
                 {4, 3}, {8, 0}, {1, 1},   // xsi (URI 2), local-name hit, "type"
                 {4, 4}, {8, 0}, {6, 4},   // value: XML Schema (URI 3), hit, IDREFS
                 {1, 0}, {8, 3}};          // CH, item count 3
  EXPECT_EQ(decode(packBits(f)).rc, EXI_ERROR_LIST_NOT_SUPPORTED);
  // The encoder refuses a list in any state whatever its count.
  ExiCoderState state{};
  RuntimeNameTable runtime{};
  exiInitCoderState(&state, &dinGrammar, &runtime, StringValueTable{});
  ExiValue v{};
  v.type = EXI_VALUE_LIST;
  v.list = ExiList{EXI_VALUE_STRING, 0};
  ExiValueCoding list{EXI_VALUE_LIST, 0, 0, 0, 0};
  TestStream out = TestStream::output(8);
  EXPECT_EQ(exiEncodeTypedValue(out.out(), &state, list, 0, &v), EXI_ERROR_LIST_NOT_SUPPORTED);
}

}  // namespace

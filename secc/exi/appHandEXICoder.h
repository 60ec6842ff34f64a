// Grammar of the supportedAppProtocol schema (EXI 1.0, default options) as
// data tables for the event decoder and encoder.
#pragma once

#include "EXICoder.h"

// Grammar states named by their role.
enum AppHandGrammarState : int16_t {
  APPHAND_STATE_DOCUMENT = 0,
  APPHAND_STATE_SIMPLE_DONE = 2,        // after a simple value: EE
  APPHAND_STATE_APP_PROTOCOL = 5,       // AppProtocol, start
  APPHAND_STATE_DOC_CONTENT = 13,
  APPHAND_STATE_DOC_END = 14,
  APPHAND_STATE_REQ = 15,               // supportedAppProtocolReq, start
  APPHAND_STATE_RES = 16,               // supportedAppProtocolRes, start
  APPHAND_STATE_PROTOCOL_NAMESPACE = 18,
  APPHAND_STATE_VERSION_MINOR = 35,
  APPHAND_STATE_REQ_FULL = 39,          // after the 20th entry
  APPHAND_STATE_FRAGMENT_CONTENT = 42,
  APPHAND_STATE_PRIORITY = 43,
  APPHAND_STATE_RESPONSE_CODE = 44,
  APPHAND_STATE_SCHEMA_ID = 45,
  APPHAND_STATE_VERSION_MAJOR = 46,
  APPHAND_STATE_STRING = 58,
  APPHAND_STATE_RES_AFTER_CODE = 66,
  APPHAND_STATE_FRAGMENT = 105,
  APPHAND_STATE_ENTRY_DONE = 127,       // after Priority
  APPHAND_STATE_RES_DONE = 129,         // after SchemaID of the response
};

constexpr uint16_t kAppHandStateCount = 146;

extern const ExiGrammar appHandGrammar;

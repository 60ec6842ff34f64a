// Name tables, string-value tables and the grammar runtime, on the
// handshake grammar's tables.
#include <gtest/gtest.h>

#include "BitOutputStream.h"
#include "EXICoder.h"
#include "EncoderChannel.h"
#include "NameTable.h"
#include "StringTable.h"
#include "appHandEXICoder.h"
#include "appHandQNames.h"
#include "exi_test_util.h"

namespace {

class CoderStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exiInitNameTableRuntime(&runtime);
    counters[3] = 42;  // stale count from an earlier document
    exiInitCoderState(&state, &appHandGrammar, &runtime, {7, 77, counters});
  }
  RuntimeNameTable runtime;
  uint16_t counters[77];
  ExiCoderState state;
};

TEST_F(CoderStateTest, InitStartsAFreshDocument) {
  EXPECT_EQ(state.stackIndex, 0);
  EXPECT_EQ(state.grammarStack[0], APPHAND_STATE_DOCUMENT);
  EXPECT_EQ(state.numberOfQNames, kAppHandPrepopulatedQNames);
  EXPECT_EQ(state.stringTable.numberOfGlobalStrings, 0);
  EXPECT_EQ(counters[3], 0);
}

TEST_F(CoderStateTest, QNameLookupAndLearning) {
  uint16_t id = 0, uri = 0, local = 0;
  ASSERT_EQ(exiGetQNameID(&state, 4, 6, &id), 0);
  EXPECT_EQ(id, APPHAND_QNAME_supportedAppProtocolReq);
  ASSERT_EQ(exiGetEQName(&state, 12, &uri, &local), 0);
  EXPECT_EQ(uri, 2);
  EXPECT_EQ(local, 1);
  EXPECT_EQ(exiGetEQName(&state, 67, &uri, &local), EXI_ERROR_OUT_OF_BOUNDS);
  EXPECT_EQ(exiGetQNameID(&state, 0, 7, &id), EXI_ERROR_OUT_OF_BOUNDS);
  // Slots 67 to 75 can be learnt; slot 76 never is.
  for (uint16_t n = 0; n < 9; ++n) {
    ASSERT_EQ(exiAddEQName(&state, &id, 0, static_cast<uint16_t>(7 + n)), 0);
    EXPECT_EQ(id, 67 + n);
  }
  EXPECT_EQ(exiAddEQName(&state, &id, 0, 99), EXI_ERROR_OUT_OF_BOUNDS);
  ASSERT_EQ(exiGetQNameID(&state, 0, 7, &id), 0);
  EXPECT_EQ(id, 67);
}

TEST_F(CoderStateTest, RuntimeNamesAreBoundedByTheirTable) {
  const PrepopulatedNameTable* pre = &state.nameTablePrepopulated;
  RuntimeNameTable* rt = &state.nameTableRuntime;
  uint16_t n = 0;
  ASSERT_EQ(exiGetLocalNameSize(pre, rt, 4, &n), 0);
  EXPECT_EQ(n, 8);
  uint16_t local = 0;
  ASSERT_EQ(exiAddLocalName(pre, rt, 4, &local), 0);
  EXPECT_EQ(local, 8);
  ASSERT_EQ(exiGetLocalNameSize(pre, rt, 4, &n), 0);
  EXPECT_EQ(n, 9);
  EXPECT_EQ(exiGetLocalNameSize(pre, rt, 5, &n), EXI_ERROR_OUT_OF_BOUNDS);
  ASSERT_EQ(exiAddUri(pre, rt), 0);
  ASSERT_EQ(exiGetUriSize(pre, rt, &n), 0);
  EXPECT_EQ(n, 6);
  ASSERT_EQ(exiGetLocalNameSize(pre, rt, 5, &n), 0);
  EXPECT_EQ(n, 0);
  // 2 entries used; 23 more fit, the 26th addition is refused.
  for (int i = 0; i < 23; ++i) ASSERT_EQ(exiAddLocalName(pre, rt, 5, &local), 0);
  EXPECT_EQ(local, 22);
  EXPECT_EQ(exiAddLocalName(pre, rt, 5, &local), EXI_ERROR_OUT_OF_BOUNDS);
  EXPECT_EQ(exiAddUri(pre, rt), EXI_ERROR_OUT_OF_BOUNDS);
  EXPECT_EQ(rt->addedUris + rt->addedLocalNames, kExiRuntimeNameEntries);
  exiInitNameTableRuntime(rt);
  EXPECT_EQ(exiGetLocalNameSize(pre, rt, 5, &n), EXI_ERROR_OUT_OF_BOUNDS);
}

TEST_F(CoderStateTest, StringValuesAreLearntAndHitsResolved) {
  // Literal "ab" under qname 2, literal "c" under 3, then a local hit on
  // qname 2 (1 value: 0 bits), a global hit on value 1 (2 values: 1 bit).
  TestStream t = TestStream::output(32);
  BitStream* s = t.out();
  const std::pair<uint32_t, uint32_t> bits[] = {{8, 4}, {8, 'a'}, {8, 'b'}, {8, 3}, {8, 'c'},
                                                {8, 0}, {8, 1},   {1, 1},   {8, 0}, {8, 1}, {1, 0}};
  for (auto [n, v] : bits) writeBits(s, n, v);
  flush(s);
  TestStream in = TestStream::input(t.written());
  in.in();
  uint32_t cps[8];
  ExiStringValue v{};
  v.chars = ExiCharBuffer{8, cps, 0};
  const struct {
    uint16_t qname;
    uint32_t kind;
    const char* text;
  } expected[] = {{2, EXI_STRING_LITERAL, "ab"},
                  {3, EXI_STRING_LITERAL, "c"},
                  {2, EXI_STRING_LOCAL_HIT, "ab"},
                  {5, EXI_STRING_GLOBAL_HIT, "c"},
                  {5, EXI_STRING_LOCAL_HIT, nullptr},  // nothing learnt under 5
  };
  for (const auto& e : expected) {
    int32_t rc = decodeStringValue(&in.stream, &state, e.qname, &v);
    EXPECT_EQ(v.kind, e.kind);
    if (e.text == nullptr) {
      EXPECT_EQ(rc, EXI_ERROR_OUT_OF_BOUNDS);
      continue;
    }
    ASSERT_EQ(rc, 0);
    std::string got;
    for (uint16_t i = 0; i < v.chars.length; ++i) got += static_cast<char>(cps[i]);
    EXPECT_EQ(got, e.text);
  }
  EXPECT_EQ(state.stringTable.numberOfGlobalStrings, 2);
  EXPECT_EQ(counters[2], 1);
}

TEST_F(CoderStateTest, StringValuesBeyondThePoolAreCountedButNotResolved) {
  // kExiValuePoolEntries one-character values fill the pool; the next is
  // counted, and a global hit on it fails.
  TestStream t = TestStream::output(200);
  BitStream* s = t.out();
  const uint32_t values = kExiValuePoolEntries + 1;
  for (uint32_t i = 0; i < values; ++i) {
    writeBits(s, 8, 3);
    writeBits(s, 8, 'a' + (i % 26));
  }
  uint16_t bits = 0;
  exiGetCodingLength(values, &bits);
  writeBits(s, 8, 1);
  writeBits(s, bits, values - 1);
  flush(s);
  TestStream in = TestStream::input(t.written());
  in.in();
  uint32_t cps[4];
  ExiStringValue v{};
  v.chars = ExiCharBuffer{4, cps, 0};
  for (uint32_t i = 0; i < values; ++i) ASSERT_EQ(decodeStringValue(&in.stream, &state, 2, &v), 0);
  EXPECT_EQ(state.stringTable.numberOfGlobalStrings, values);
  EXPECT_EQ(decodeStringValue(&in.stream, &state, 2, &v), EXI_ERROR_OUT_OF_BOUNDS);
}

TEST_F(CoderStateTest, StringValueEncoderKinds) {
  TestStream t = TestStream::output(16);
  uint32_t cps[] = {'x', 'y', 'z', 'w', 'v'};
  ExiStringValue v{EXI_STRING_LITERAL, {5, cps, 5}, 0, 0};
  ASSERT_EQ(encodeStringValue(t.out(), &state, 2, &v), 0);
  EXPECT_EQ(t.bytes[0], 7);  // length + 2: a literal of 5 characters
  v.kind = EXI_STRING_LOCAL_HIT;
  v.localId = 1;  // only one value known
  EXPECT_EQ(encodeStringValue(&t.stream, &state, 2, &v), EXI_ERROR_OUT_OF_BOUNDS);
  v.kind = 3;
  EXPECT_EQ(encodeStringValue(&t.stream, &state, 2, &v), EXI_ERROR_STRING_KIND);
}

TEST_F(CoderStateTest, GrammarStackBounds) {
  for (int i = 0; i < kExiStackSize - 1; ++i) ASSERT_EQ(exi__PushStack(&state, 2, 0), 0);
  EXPECT_EQ(exi__PushStack(&state, 2, 0), EXI_ERROR_STACK_OVERFLOW);
  EXPECT_EQ(state.stackIndex, kExiStackSize - 1);
  for (int i = 0; i < kExiStackSize - 1; ++i) ASSERT_EQ(exi__PopStack(&state), 0);
  EXPECT_EQ(exi__PopStack(&state), EXI_ERROR_OUT_OF_BOUNDS);
}

TEST_F(CoderStateTest, GlobalAndBuiltInElementGrammars) {
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, APPHAND_QNAME_supportedAppProtocolRes), 0);
  EXPECT_EQ(state.grammarStack[state.stackIndex], APPHAND_STATE_RES);
  const std::pair<uint16_t, int16_t> undeclared[] = {{70, -1}, {70, -1}, {71, -3}};
  for (auto [qname, grammar] : undeclared) {
    ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, qname), 0);
    EXPECT_EQ(state.grammarStack[state.stackIndex], grammar);
    EXPECT_EQ(state.elementStack[state.stackIndex], qname);
    exi__PopStack(&state);
  }
  // 29 pairs at most: 27 more fit after the two above.
  for (uint16_t q = 100; q < 127; ++q) {
    ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, q), 0);
    exi__PopStack(&state);
  }
  EXPECT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, 200), EXI_ERROR_RUNTIME_GRAMMARS_FULL);
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, 70), 0);  // known ones still enter
}

TEST_F(CoderStateTest, ElementContentMovesAndXsiType) {
  const std::pair<int16_t, int16_t> moves[] = {
      {APPHAND_STATE_REQ, 94}, {APPHAND_STATE_APP_PROTOCOL, 30}, {APPHAND_STATE_RES, 117},
      {APPHAND_STATE_SIMPLE_DONE, APPHAND_STATE_SIMPLE_DONE}, {-1, -2}, {-2, -2}};
  for (auto [from, to] : moves) {
    state.grammarStack[0] = from;
    ASSERT_EQ(exi__MoveToElementContentRule(&state), 0);
    EXPECT_EQ(state.grammarStack[0], to) << from;
  }
  state.grammarStack[0] = 800;
  EXPECT_EQ(exi__MoveToElementContentRule(&state), EXI_ERROR_GRAMMAR_STATE);

  const std::pair<ExiQNameValue, int16_t> types[] = {
      {{4, 0}, APPHAND_STATE_APP_PROTOCOL}, {{4, 2}, APPHAND_STATE_PRIORITY},
      {{3, 39}, APPHAND_STATE_STRING},      {{2, 0}, 31},  // not a type: unchanged
      {{3, 12}, 31}};                                       // anyType: unchanged
  for (auto [type, grammar] : types) {
    state.grammarStack[0] = 31;
    ASSERT_EQ(exi__HandleXsiType(&state, type), 0);
    EXPECT_EQ(state.grammarStack[0], grammar);
  }
}

TEST_F(CoderStateTest, AttributesAreLearntInBuiltInGrammarsOnly) {
  ASSERT_EQ(exi__LearnAttribute(&state, 12, 2, 1), 0);  // schema grammar: nothing
  ASSERT_EQ(exi__RetrieveAndPushGlobalGrammar(&state, 70), 0);
  ASSERT_EQ(exi__LearnAttribute(&state, 12, 2, 1), 0);
  ASSERT_EQ(exi__LearnAttribute(&state, 12, 2, 1), 0);
  EXPECT_EQ(state.runtimeGrammars[0].learnedCount, 1);
  EXPECT_EQ(state.runtimeGrammars[0].xsiTypeCode, 1u);
  ASSERT_EQ(exi__LearnAttribute(&state, 7, 1, 0), 0);
  EXPECT_EQ(state.runtimeGrammars[0].learnedCount, 2);
  EXPECT_EQ(exi__IsStartContent(-1), 1);
  EXPECT_EQ(exi__IsStartContent(-2), 0);
  EXPECT_EQ(exi__HandleXsiNilTrue(), EXI_ERROR_XSI_NIL_TRUE);
}

}  // namespace

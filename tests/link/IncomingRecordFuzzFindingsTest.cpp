// Findings of the fuzzing of the incoming message handler, each kept as a
// test of its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "LinkTestSupport.h"
#include "SSConnectionMsg.h"
#include "UpgrfromStartUpHandler.h"

namespace {

std::mutex valuesLock;
std::vector<std::uint32_t> dimValues;

void IgnoreAnswer(shUpgradeResponse_t, void*) {}
void RecordDim(shBackLigth_t set, void*)
{
    std::lock_guard<std::mutex> g(valuesLock);
    dimValues.push_back(static_cast<std::uint32_t>(set));
}
void IgnoreTurnOff(void*) {}

}  // namespace

// A back-light record with a value other than 0 or 1 (the peer can send any
// 32-bit value) reached the callback as an enumeration value outside its
// range: undefined behaviour, which the undefined-behaviour sanitizer stops
// on. The value must arrive unchanged, and be well defined.
TEST(IncomingRecordFuzzFindings, BackLightValueOutsideOnOffReachesTheCallbackUnchanged)
{
    // Compiles only while the enumeration has a fixed underlying type, the
    // property that makes every 32-bit value a valid back-light value.
    constexpr shBackLigth_t outside{7u};
    static_assert(static_cast<std::uint32_t>(outside) == 7u, "the value is kept");
    SKIP_WITHOUT_PRIVATE_NETWORK();
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_EQ(shCreateInputMsgLoop(IgnoreAnswer, RecordDim, IgnoreTurnOff, nullptr), 0);
    const std::string updater = SS_CONNECTOR_SOFTWAREUPGRADE;
    ASSERT_TRUE(Eventually([&] { return RawSend(updater, 100, Le32Bytes(100), nullptr) == 4; }, 10));

    const std::vector<std::uint32_t> values = {7u, 2u, 0x80000000u, 0xFFFFFFFFu, 0u, 1u};
    for (std::uint32_t value : values) {
        Bytes record = Le32Bytes(SS_MSGTYPE_DIMSCREEN);
        const Bytes v = Le32Bytes(value);
        record.insert(record.end(), v.begin(), v.end());
        Bytes reply;
        ASSERT_EQ(RawSend(updater, SS_MSGTYPE_DIMSCREEN, record, &reply), 4) << value;
        EXPECT_EQ(Hex(reply), "00000000") << value;
    }
    std::lock_guard<std::mutex> g(valuesLock);
    EXPECT_EQ(dimValues, values);
}

// The simulator must hold the miniport's side of the contract, or tests built on it prove
// nothing: refusals, notifications and population files are checked here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/miniport_channel.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

using namespace channel;

struct Signals {
    std::vector<std::pair<uint64_t, int32_t>> calls;
    static void Record(void* self, uint64_t address, int32_t* slot) {
        static_cast<Signals*>(self)->calls.emplace_back(address, *slot);
    }
};

struct Core : ::testing::Test {
    void SetUp() override { sim::AddAdapter(*pop, 0, 0x6A31, 2, 1); }
    bool Send(std::vector<uint8_t>& buf, int position = 0) {
        return sim::HandleRequest(*pop, position, buf.data(), buf.size(), buf.size(), &hook);
    }
    std::vector<uint8_t> Make(uint32_t command) {
        Request r(command);
        return {r.bytes().begin(), r.bytes().end()};
    }
    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    Signals signals;
    sim::SignalHook hook{&Signals::Record, &signals};
};

TEST_F(Core, RefusesWhatIsNotOurs) {
    auto good = Make(MPCMD_GET_CONTROLLER_INFO);
    EXPECT_TRUE(Send(good));
    auto badSignature = good;
    badSignature[10] = 'X';
    EXPECT_FALSE(Send(badSignature));
    auto badControl = good;
    badControl[16] = 0x89;
    EXPECT_FALSE(Send(badControl));
    auto unknown = good;
    unknown[28] = 7;
    EXPECT_FALSE(Send(unknown));
    std::vector<uint8_t> truncated(good.begin(), good.begin() + 60);
    EXPECT_FALSE(Send(truncated));
    auto badLength = good;
    badLength[24] = 79;  // Length must be N - 28
    EXPECT_FALSE(Send(badLength));
    auto badDataLength = good;
    badDataLength[32] = 75;  // DataLength must be N - 32
    EXPECT_FALSE(Send(badDataLength));
    EXPECT_FALSE(Send(good, 5));  // no device there
    pop->adapters[0].foreign = 1;
    EXPECT_FALSE(Send(good));
    EXPECT_EQ(pop->adapters[0].counters.requests, 8u);
}

TEST_F(Core, LeavesRequestFieldsAndAnswersWithTheSuccessValue) {
    auto info = Make(MPCMD_GET_CONTROLLER_INFO);
    info[36] = 3;  // the Controller byte comes back as sent
    ASSERT_TRUE(Send(info));
    wire::ByteView v(info.data(), info.size());
    EXPECT_EQ(v.U8(36), 3);
    EXPECT_EQ(v.U32(20), 74u);
    EXPECT_EQ(v.U32(41), 0x6A31u);
    EXPECT_EQ(v.U16(102), 2);

    auto count = Make(MPCMD_GET_ADAPTER_COUNT);
    sim::AddAdapter(*pop, 3, 0x6A12, 1, 1);
    sim::AddAdapter(*pop, 4, 0x1111, 1, 1).foreign = 1;
    ASSERT_TRUE(Send(count));
    EXPECT_EQ(wire::ByteView(count.data(), count.size()).U32(20), 2u);  // foreign ones not counted
}

TEST_F(Core, SignalsRegisteredEventsUntilUnregistered) {
    uint8_t record[40];
    sim::MakeEventRecord(record, 0x101, 2, 0, 0, 0);
    ASSERT_TRUE(sim::QueueEvent(*pop, 0, record, &hook));
    EXPECT_TRUE(signals.calls.empty());  // nobody registered yet

    auto reg = Make(MPCMD_REGISTER_EVENT_DPC);
    wire::ByteView r(reg.data(), reg.size());
    r.Put64(36, 0xFFFF800012345678ull);
    r.Put32(44, 2);
    ASSERT_TRUE(Send(reg));
    EXPECT_EQ(r.U32(20), 1u);
    // Records already waiting are announced at once.
    ASSERT_EQ(signals.calls.size(), 1u);
    EXPECT_EQ(signals.calls[0].first, 0xFFFF800012345678u);
    EXPECT_EQ(signals.calls[0].second, 2);

    ASSERT_TRUE(sim::QueueEvent(*pop, 0, record, &hook));
    EXPECT_EQ(signals.calls.size(), 2u);

    auto unreg = Make(MPCMD_UNREGISTER_EVENT_DPC);
    ASSERT_TRUE(Send(unreg));
    ASSERT_TRUE(sim::QueueEvent(*pop, 0, record, &hook));
    EXPECT_EQ(signals.calls.size(), 2u);

    auto zero = Make(MPCMD_REGISTER_EVENT_DPC);  // no address: refused
    ASSERT_TRUE(Send(zero));
    EXPECT_NE(wire::ByteView(zero.data(), zero.size()).U32(20), 1u);
}

TEST_F(Core, BatchOfRecordsIsSignalledOnceAndAFullQueueRefusesTheRest) {
    auto reg = Make(MPCMD_REGISTER_EVENT_DPC);
    wire::ByteView(reg.data(), reg.size()).Put64(36, 0xFFFF800012345678ull);
    ASSERT_TRUE(Send(reg));
    std::vector<uint8_t> batch(40 * 40);
    for (uint32_t i = 0; i < 40; ++i) sim::MakeEventRecord(&batch[40 * i], 0x102, 1, 0, 0, i);
    EXPECT_EQ(sim::QueueEvents(*pop, 0, batch.data(), 8, false, &hook), 8u);
    EXPECT_TRUE(signals.calls.empty()) << "no signal without the flag";
    EXPECT_EQ(sim::QueueEvents(*pop, 0, batch.data() + 8 * 40, 32, true, &hook), 32u);
    EXPECT_EQ(signals.calls.size(), 1u) << "one signal for the batch";
    EXPECT_EQ(pop->adapters[0].queuedEvents, 40u);
    EXPECT_EQ(wire::ByteView(pop->adapters[0].eventRecords[39], 40).U32(28), 39u) << "in order";
    // The places that are left, of kEventQueue.
    std::vector<uint8_t> rest(sim::kEventQueue * 40);
    EXPECT_EQ(sim::QueueEvents(*pop, 0, rest.data(), sim::kEventQueue, true, &hook),
              static_cast<uint32_t>(sim::kEventQueue - 40));
    EXPECT_EQ(sim::QueueEvents(*pop, 0, batch.data(), 1, false, &hook), 0u);
    EXPECT_EQ(sim::QueueEvents(*pop, 7, batch.data(), 1, true, &hook), 0u) << "no adapter there";
}

// The strict miniports promise a notification only for records that arrive while one is
// registered; the generous one announces waiting records again and again.
TEST_F(Core, SignallingModesAnnounceOnlyWhatTheyPromise) {
    struct Case {
        sim::SignalMode mode;
        size_t atRegistration, afterPartialRead, behindOthers, intoEmptyQueue;
    };
    for (const Case c : {Case{sim::kSignalGenerous, 1, 1, 1, 1}, Case{sim::kSignalEdge, 0, 0, 0, 1},
                         Case{sim::kSignalNoRegistration, 0, 1, 1, 1}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        pop = sim::NewPopulation();
        sim::AddAdapter(*pop, 0, 0x6A31, 2, 1).signalling = c.mode;
        signals.calls.clear();
        std::vector<uint8_t> batch(25 * 40);
        for (uint32_t i = 0; i < 25; ++i) sim::MakeEventRecord(&batch[40 * i], 0x102, 1, 0, 0, i);
        ASSERT_EQ(sim::QueueEvents(*pop, 0, batch.data(), 25, true, &hook), 25u);
        auto reg = Make(MPCMD_REGISTER_EVENT_DPC);
        wire::ByteView(reg.data(), reg.size()).Put64(36, 0xFFFF800012345678ull);
        ASSERT_TRUE(Send(reg));
        EXPECT_EQ(signals.calls.size(), c.atRegistration) << "records waiting at registration";

        signals.calls.clear();
        auto read = Make(MPCMD_READ_EVENTS);
        ASSERT_TRUE(Send(read));
        EXPECT_EQ(pop->adapters[0].queuedEvents, 5u);
        EXPECT_EQ(signals.calls.size(), c.afterPartialRead) << "five left after a read";

        signals.calls.clear();
        EXPECT_TRUE(sim::QueueEvent(*pop, 0, batch.data(), &hook));
        EXPECT_EQ(sim::QueueEvents(*pop, 0, batch.data(), 2, true, &hook), 2u);
        EXPECT_EQ(signals.calls.size(), 2 * c.behindOthers) << "records behind others";

        auto drain = Make(MPCMD_READ_EVENTS);
        ASSERT_TRUE(Send(drain));
        ASSERT_EQ(pop->adapters[0].queuedEvents, 0u);
        signals.calls.clear();
        EXPECT_TRUE(sim::QueueEvent(*pop, 0, batch.data(), &hook));
        EXPECT_EQ(signals.calls.size(), c.intoEmptyQueue) << "a record into the empty queue";
        ASSERT_TRUE(Send(drain));
        EXPECT_EQ(sim::QueueEvents(*pop, 0, batch.data(), 3, true, &hook), 3u);
        EXPECT_EQ(signals.calls.size(), 2 * c.intoEmptyQueue) << "a batch into the empty queue";
    }
}

TEST(Population, SignallingIsReadPerAdapter) {
    auto pop = sim::NewPopulation();
    std::string error;
    ASSERT_TRUE(sim::LoadPopulationJson(
        R"({"adapters":[{"position":0},{"position":1,"signalling":"edge"},
                        {"position":2,"signalling":"no_registration_signal"},
                        {"position":3,"signalling":"generous"}]})",
        *pop, &error))
        << error;
    EXPECT_EQ(pop->adapters[0].signalling, sim::kSignalGenerous);
    EXPECT_EQ(pop->adapters[1].signalling, sim::kSignalEdge);
    EXPECT_EQ(pop->adapters[2].signalling, sim::kSignalNoRegistration);
    EXPECT_EQ(pop->adapters[3].signalling, sim::kSignalGenerous);
    EXPECT_FALSE(sim::LoadPopulationJson(R"({"adapters":[{"position":0,"signalling":"level"}]})",
                                         *pop, &error));
    EXPECT_NE(error.find("level"), std::string::npos) << error;
}

TEST_F(Core, LegacyDeviceNamesAdaptersByTheControllerByte) {
    pop->legacyDevice = 1;
    sim::AddAdapter(*pop, 6, 0x6A22, 1, 1);
    auto info = Make(MPCMD_GET_CONTROLLER_INFO);
    info[36] = 1;
    ASSERT_TRUE(sim::OpenPosition(*pop, sim::kLegacyPosition));
    ASSERT_TRUE(sim::HandleRequest(*pop, sim::kLegacyPosition, info.data(), info.size(),
                                   info.size(), nullptr));
    EXPECT_EQ(wire::ByteView(info.data(), info.size()).U32(41), 0x6A22u);
    EXPECT_EQ(sim::PositionFromName("\\\\.\\kirndev"), sim::kLegacyPosition);
    EXPECT_EQ(sim::PositionFromName("\\\\.\\SCSI7:"), 7);
    EXPECT_EQ(sim::PositionFromName("\\\\.\\Scsi7"), sim::kNoPosition);
    EXPECT_EQ(sim::PositionFromName("\\\\.\\Scsi10:"), sim::kNoPosition);
}

TEST(BiosImage, PassesTheUpdateChecksAndCarriesItsVersion) {
    std::vector<uint8_t> image(sim::kBiosSize);
    sim::FillBiosImage(image.data(), 0x6A32, "2.01.0.7");
    uint8_t sum = 0;
    for (uint8_t b : image) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(image[0x20] | image[0x21] << 8, 0x6A32);
    EXPECT_EQ(image[0x22] | image[0x23] << 8, 0x1E7C);
    EXPECT_EQ(FindBiosVersion(image), "2.01.0.7");
}

TEST(PopulationFile, DefaultLoads) {
    auto pop = sim::NewPopulation();
    std::string error;
    ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
    EXPECT_TRUE(pop->adapters[0].foreign);
    EXPECT_EQ(pop->adapters[1].pciDeviceId, 0x6A31u);
    EXPECT_EQ(pop->adapters[1].enclosures[0].bayLocation, 0x35);
    EXPECT_EQ(pop->adapters[1].queuedEvents, 1u);
    EXPECT_STREQ(pop->adapters[2].devices[1][1].model, "KESTREL KD500S");
}

TEST(PopulationFile, RejectsWhatItCannotHoldAndSaysWhy) {
    auto pop = sim::NewPopulation();
    const char* kBad[] = {
        "{",                                                        // not JSON
        R"({"adapters":[{"position":10}]})",                        // no such position
        R"({"adapters":[{"position":1},{"position":1}]})",          // twice
        R"({"adapters":[{"position":1,"pci_device_id":"0xZZ"}]})",  // not a number
        R"({"adapters":[{"position":1,"ports":70000}]})",           // out of range
        R"({"adapters":[{"position":1,"devices":[{"port":8,"device":0}]}]})",
        R"({"adapters":[{"position":1,"devices":[{"port":0,"device":0,"model":"12345678901234567890123"}]}]})",
        R"({"adapters":[{"position":1,"faults":[{"command":"MPCMD_NOPE"}]}]})",
    };
    for (const char* text : kBad) {
        std::string error;
        EXPECT_FALSE(sim::LoadPopulationJson(text, *pop, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_FALSE(pop->adapters[1].exists) << "a failed load leaves nothing half-made";
    }
    std::string error;
    ASSERT_TRUE(sim::LoadPopulationJson(
        R"({"adapters":[{"position":3,"faults":[{"command":"MPCMD_GET_SMART_STATUS","kind":"return_code_off","delta":-2}],
             "devices":[{"port":0,"device":0,"model":"1234567890123456789012"}]}]})",
        *pop, &error))
        << error;
    const auto& f = pop->adapters[3].faults[sim::CommandIndex(MPCMD_GET_SMART_STATUS)];
    EXPECT_EQ(f.kind, sim::kFaultReturnCodeOff);
    EXPECT_EQ(f.delta, -2);
    EXPECT_EQ(std::memcmp(pop->adapters[3].devices[0][0].model, "1234567890123456789012", 22), 0);
}

}  // namespace

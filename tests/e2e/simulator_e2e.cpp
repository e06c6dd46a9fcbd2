// End to end: the simulator driver's own contract, as the programs and the other end-to-end
// tests rely on it. Raw CreateFileA/DeviceIoControl, no channel code: which names exist, which
// requests fail the call, and how registered notifications are run.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "channel/protocol.h"
#include "e2e_support.h"
#include "sim/population.h"

namespace {

using namespace channel;

class Device {
  public:
    explicit Device(const char* name)
        : h_(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr)),
          error_(h_.valid() ? 0 : GetLastError()) {}
    bool valid() const { return h_.valid(); }
    DWORD open_error() const { return error_; }

    // One request with `buf` as input and output; returns DeviceIoControl's result and keeps
    // its error.
    bool Send(std::vector<uint8_t>& buf, DWORD code = kIoctlScsiMiniport) {
        DWORD returned = 0xdeadf00d;
        SetLastError(0xdeadf00d);
        const BOOL ok =
            DeviceIoControl(h_.get(), code, buf.data(), static_cast<DWORD>(buf.size()), buf.data(),
                            static_cast<DWORD>(buf.size()), &returned, nullptr);
        last_error = ok ? 0 : GetLastError();
        return ok != FALSE;
    }
    DWORD last_error = 0;

  private:
    simctl::ScopedHandle h_;
    DWORD error_;
};

std::vector<uint8_t> Request(uint32_t command) {
    std::vector<uint8_t> buf(CommandOf(command).size, 0);
    BuildEnvelope(wire::ByteView(buf.data(), buf.size()), command);
    return buf;
}

uint32_t ReturnCode(const std::vector<uint8_t>& buf) {
    return wire::ByteView(const_cast<uint8_t*>(buf.data()), buf.size()).U32(env::ReturnCode.offset);
}

class SimulatorE2E : public e2e::SimTest {
  protected:
    // Our adapters at Scsi1: and Scsi4:, another vendor's at Scsi2:, one that does not open
    // at Scsi5:.
    std::unique_ptr<sim::SimPopulation> Population() {
        auto pop = e2e::EmptyPopulation();
        sim::AddDisk(sim::AddAdapter(*pop, 1, 0x6A31, 2, 1), 0, 0, "KESTREL KD160S");
        sim::AddAdapter(*pop, 2, 0x2922, 1, 1).foreign = 1;
        sim::AddAdapter(*pop, 4, 0x6A22, 1, 1, "Second");
        sim::AddAdapter(*pop, 5, 0x6A22, 1, 1).openFails = 1;
        return pop;
    }
};

TEST_F(SimulatorE2E, NamesFollowThePopulation) {
    Load(*Population());
    EXPECT_TRUE(Device("\\\\.\\Scsi1:").valid());
    EXPECT_TRUE(Device("\\\\.\\Scsi2:").valid());
    EXPECT_TRUE(Device("\\\\.\\Scsi4:").valid());
    for (const char* missing :
         {"\\\\.\\Scsi0:", "\\\\.\\Scsi3:", "\\\\.\\Scsi5:", "\\\\.\\KIRNDEV"}) {
        Device d(missing);
        EXPECT_FALSE(d.valid()) << missing;
        EXPECT_EQ(d.open_error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << missing;
    }

    // A new population takes the old names away and gives the new ones.
    auto next = e2e::EmptyPopulation();
    sim::AddAdapter(*next, 0, 0x6A31, 1, 1);
    next->legacyDevice = 1;
    Load(*next);
    EXPECT_TRUE(Device("\\\\.\\Scsi0:").valid());
    EXPECT_TRUE(Device("\\\\.\\KIRNDEV").valid());
    EXPECT_FALSE(Device("\\\\.\\Scsi1:").valid());
    EXPECT_FALSE(Device("\\\\.\\Scsi4:").valid());

    auto back = ReadBack();
    EXPECT_EQ(back->adapters[0].counters.opens, 1u);
    EXPECT_EQ(back->adapters[0].counters.closes, 1u);
    EXPECT_EQ(back->legacyCounters.opens, 1u);
}

TEST_F(SimulatorE2E, AnswersOnlyItsOwnSignatureAndControlCode) {
    Load(*Population());
    auto oursHolder = std::make_unique<Device>("\\\\.\\Scsi1:");
    Device& ours = *oursHolder;
    ASSERT_TRUE(ours.valid());

    auto count = Request(MPCMD_GET_ADAPTER_COUNT);
    ASSERT_TRUE(ours.Send(count)) << "error " << ours.last_error;
    // The miniport drives three adapters of ours (one of them cannot be opened); the foreign
    // one is not its own.
    EXPECT_EQ(ReturnCode(count), 3u);

    auto info = Request(MPCMD_GET_CONTROLLER_INFO);
    info[controller_info::Controller.offset] = 0;
    ASSERT_TRUE(ours.Send(info));
    EXPECT_EQ(ReturnCode(info), 74u);
    EXPECT_EQ(wire::ByteView(info.data(), info.size()).U32(controller_info::PciDeviceId.offset),
              0x6A31u);

    auto wrongSignature = Request(MPCMD_GET_ADAPTER_COUNT);
    wrongSignature[env::Signature.offset + 6] = '3';
    EXPECT_FALSE(ours.Send(wrongSignature));

    auto wrongControlCode = Request(MPCMD_GET_ADAPTER_COUNT);
    wrongControlCode[env::ControlCode.offset] = 0x89;
    EXPECT_FALSE(ours.Send(wrongControlCode));

    auto otherIoctl = Request(MPCMD_GET_ADAPTER_COUNT);
    EXPECT_FALSE(ours.Send(otherIoctl, 0x00041018));  // IOCTL_SCSI_GET_ADDRESS

    auto shortBuffer = Request(MPCMD_GET_DEVICE_INFO);
    shortBuffer.resize(60);
    EXPECT_FALSE(ours.Send(shortBuffer));

    {
        Device foreign("\\\\.\\Scsi2:");
        ASSERT_TRUE(foreign.valid());
        auto probe = Request(MPCMD_GET_ADAPTER_COUNT);
        EXPECT_FALSE(foreign.Send(probe));
    }
    oursHolder.reset();

    auto back = ReadBack();
    EXPECT_EQ(back->adapters[1].counters.requests, 5u)
        << "other control codes never reach the miniport";
    EXPECT_EQ(back->adapters[2].counters.requests, 1u);
}

TEST_F(SimulatorE2E, InjectedFaultsReachTheCaller) {
    Load(*Population());
    ASSERT_TRUE(
        e2e::Control().SetFault(4, MPCMD_GET_CONTROLLER_NAME, sim::kFaultReturnCodeOff, 41));
    ASSERT_TRUE(e2e::Control().SetFault(4, MPCMD_GET_DRIVER_VERSION, sim::kFaultCallFails));
    Device d("\\\\.\\Scsi4:");
    ASSERT_TRUE(d.valid());
    auto name = Request(MPCMD_GET_CONTROLLER_NAME);
    ASSERT_TRUE(d.Send(name));
    EXPECT_EQ(ReturnCode(name), 42u);
    auto version = Request(MPCMD_GET_DRIVER_VERSION);
    EXPECT_FALSE(d.Send(version));

    ASSERT_TRUE(e2e::Control().SetFault(4, MPCMD_GET_CONTROLLER_NAME, sim::kFaultNone));
    auto again = Request(MPCMD_GET_CONTROLLER_NAME);
    ASSERT_TRUE(d.Send(again));
    EXPECT_EQ(ReturnCode(again), 1u);

    EXPECT_FALSE(e2e::Control().SetFault(10, MPCMD_GET_CONTROLLER_NAME, sim::kFaultCallFails));
    EXPECT_FALSE(e2e::Control().SetFault(4, 999, sim::kFaultCallFails));
}

// Between MPCMD_REGISTER_EVENT_DPC and MPCMD_UNREGISTER_EVENT_DPC the driver runs the
// registered KDPC's deferred routine for queued records, its first argument pointing at the
// slot index. The driver's own probe KDPC stands in for the bridge's here.
TEST_F(SimulatorE2E, RegisteredDeferredRoutineRunsForQueuedEvents) {
    Load(*Population());
    simctl::SimControl::ProbeDpc before;
    ASSERT_TRUE(e2e::Control().QueryProbeDpc(before));
    ASSERT_NE(before.address, 0u);

    uint8_t record[events::kRecordSize];
    sim::MakeEventRecord(record, 0x101, 2, 0, 0, 0);
    // Not registered yet: the record waits, nothing runs.
    ASSERT_TRUE(e2e::Control().QueueEvent(1, record));
    simctl::SimControl::ProbeDpc probe;
    ASSERT_TRUE(e2e::Control().QueryProbeDpc(probe));
    EXPECT_EQ(probe.calls, before.calls);

    auto device = std::make_unique<Device>("\\\\.\\Scsi1:");
    Device& d = *device;
    ASSERT_TRUE(d.valid());
    auto reg = Request(MPCMD_REGISTER_EVENT_DPC);
    wire::ByteView(reg.data(), reg.size()).Put64(event_dpc::DpcAddress.offset, before.address);
    wire::ByteView(reg.data(), reg.size()).Put32(event_dpc::DpcSlot.offset, 3);
    ASSERT_TRUE(d.Send(reg));
    EXPECT_EQ(ReturnCode(reg), 1u);
    // A record was already waiting: registering announces it.
    ASSERT_TRUE(e2e::Control().QueryProbeDpc(probe));
    EXPECT_EQ(probe.calls, before.calls + 1);
    EXPECT_EQ(probe.lastSlot, 3);
    EXPECT_EQ(probe.lastArgument2, 0u);

    ASSERT_TRUE(e2e::Control().QueueEvent(1, record));
    ASSERT_TRUE(e2e::Control().QueryProbeDpc(probe));
    EXPECT_EQ(probe.calls, before.calls + 2);

    auto read = Request(MPCMD_READ_EVENTS);
    ASSERT_TRUE(d.Send(read));
    EXPECT_EQ(ReturnCode(read), 808u);
    EXPECT_EQ(wire::ByteView(read.data(), read.size()).U32(events::EventCount.offset), 2u);
    EXPECT_EQ(wire::ByteView(read.data(), read.size())
                  .U32(events::kFirstRecord + events::EventCode.offset),
              0x101u);

    auto unreg = Request(MPCMD_UNREGISTER_EVENT_DPC);
    ASSERT_TRUE(d.Send(unreg));
    ASSERT_TRUE(e2e::Control().QueueEvent(1, record));
    ASSERT_TRUE(e2e::Control().QueryProbeDpc(probe));
    EXPECT_EQ(probe.calls, before.calls + 2) << "ran after MPCMD_UNREGISTER_EVENT_DPC";

    // The test's own signal request runs the routine with the slot it names.
    ASSERT_TRUE(e2e::Control().SignalDpc(before.address, 2));
    ASSERT_TRUE(e2e::Control().QueryProbeDpc(probe));
    EXPECT_EQ(probe.calls, before.calls + 3);
    EXPECT_EQ(probe.lastSlot, 2);

    device.reset();
    auto back = ReadBack();
    EXPECT_EQ(back->adapters[1].queuedEvents, 1u);
    EXPECT_EQ(back->adapters[1].signalsSent, 2u);
}

TEST_F(SimulatorE2E, ControlDeviceRefusesMalformedRequests) {
    Load(*e2e::EmptyPopulation());
    auto pop = e2e::EmptyPopulation();
    pop->magic = 0;
    EXPECT_FALSE(e2e::Control().LoadPopulation(*pop));
    EXPECT_FALSE(e2e::Control().QueueEvent(7, std::vector<uint8_t>(40).data()))
        << "no adapter at Scsi7:";
    EXPECT_FALSE(e2e::Control().SignalDpc(0, 0));
}

}  // namespace

int main(int argc, char** argv) {
    return e2e::Main(argc, argv);
}

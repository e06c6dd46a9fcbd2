// A device layer for the request channel whose every answer comes from the fuzzer: whether a
// device opens, whether each DeviceIoControl call succeeds, and every byte of each reply.
//
// It also checks what the system sends before the reply is written: every request carries a
// sound envelope for its command and is exactly that command's size, and goes to a device
// that is open. It keeps the last request and reply so that a target can compare what an
// operation made of a reply with a reference computed from the same bytes, and it counts
// handles so that one left open shows.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "channel/device_access.h"
#include "channel/protocol.h"
#include "fuzz_check.h"

namespace halv_fuzz {

// One request as the device saw it.
struct Exchange {
    std::string device;            // the name the handle was opened with
    uint32_t command = 0;          // Command of the request
    std::vector<uint8_t> request;  // the buffer as sent
    std::vector<uint8_t> reply;    // the buffer as returned
    bool callSucceeded = false;    // what DeviceIoControl returned
};

class FuzzedDevices final : public channel::DeviceAccess {
  public:
    explicit FuzzedDevices(FuzzedDataProvider& data) : data_(data) {}

    channel::DeviceHandle Open(const char* name) override {
        FUZZ_CHECK(name != nullptr, "a device opened without a name");
        const std::string n(name);
        FUZZ_CHECK(ValidName(n), "device name \"%s\" is neither \\\\.\\Scsi0: .. 8: nor KIRNDEV",
                   name);
        openAttempts.push_back(n);
        // Mostly opens; an exhausted input opens nothing, so every loop ends.
        if (data_.ConsumeIntegralInRange<uint8_t>(0, 7) == 0) return channel::kInvalidDevice;
        const channel::DeviceHandle h = next_ += 0x10;
        open_[h] = n;
        ++opens;
        return h;
    }

    bool MiniportControl(channel::DeviceHandle device, std::span<uint8_t> buffer) override {
        auto it = open_.find(device);
        FUZZ_CHECK(it != open_.end(), "a request on handle %#zx, which is not open",
                   static_cast<size_t>(device));
        CheckEnvelope(buffer);
        Exchange x;
        x.device = it->second;
        x.command = wire::ByteView(buffer.data(), buffer.size()).U32(channel::env::Command.offset);
        x.request.assign(buffer.begin(), buffer.end());

        // Bit 0: the call succeeds. Bit 1: ReturnCode is the command's success value, so that
        // the reply is trusted and its fields read. Bits 2-3: which bytes the fuzzer writes.
        const uint8_t mode = data_.ConsumeIntegral<uint8_t>();
        switch ((mode >> 2) & 3) {
            case 0:  // the request comes back as it was sent
                break;
            case 1:  // the whole buffer, header included
                Fill(buffer, 0, buffer.size());
                break;
            case 2:  // everything after the envelope
                Fill(buffer, channel::env::kPayload, buffer.size());
                break;
            case 3: {  // a run at a chosen place: reaches deep into the BIOS image
                const size_t at = data_.ConsumeIntegralInRange<size_t>(0, buffer.size());
                const size_t n = data_.ConsumeIntegralInRange<size_t>(0, buffer.size() - at);
                Fill(buffer, at, at + n);
                break;
            }
        }
        const auto* entry = channel::FindCommand(x.command);
        if ((mode & 2) && entry && entry->success != channel::Success::AdapterCount)
            wire::ByteView(buffer.data(), buffer.size())
                .Put32(channel::env::ReturnCode.offset, entry->SuccessCode());
        x.callSucceeded = (mode & 1) != 0;
        x.reply.assign(buffer.begin(), buffer.end());
        exchanges.push_back(std::move(x));
        return exchanges.back().callSucceeded;
    }

    void Close(channel::DeviceHandle device) override {
        FUZZ_CHECK(open_.erase(device) == 1, "handle %#zx closed but not open",
                   static_cast<size_t>(device));
        ++closes;
    }

    size_t OpenHandles() const { return open_.size(); }
    bool IsOpen(channel::DeviceHandle h) const { return open_.count(h) != 0; }
    const Exchange* Last() const { return exchanges.empty() ? nullptr : &exchanges.back(); }
    // The ReturnCode of a reply, as a success test sees it.
    static uint32_t ReturnCode(const Exchange& x) {
        return wire::ByteView(const_cast<uint8_t*>(x.reply.data()), x.reply.size())
            .U32(channel::env::ReturnCode.offset);
    }
    // Whether a reply passes its command's success test (DeviceIoControl TRUE and ReturnCode
    // exactly the command's value), computed afresh from the command table.
    static bool Trusted(const Exchange& x) {
        const auto* entry = channel::FindCommand(x.command);
        if (!x.callSucceeded || !entry) return false;
        if (entry->success == channel::Success::AdapterCount) return true;
        return ReturnCode(x) == entry->SuccessCode();
    }

    std::vector<std::string> openAttempts;
    std::vector<Exchange> exchanges;
    int opens = 0;
    int closes = 0;

  private:
    static bool ValidName(const std::string& n) {
        if (n == channel::kLegacyDeviceName) return true;
        return n.size() == 10 && n.compare(0, 8, "\\\\.\\Scsi") == 0 && n[8] >= '0' &&
               n[8] <= '8' && n[9] == ':';
    }

    void CheckEnvelope(std::span<uint8_t> buffer) const {
        using namespace channel;
        const wire::ByteView v(buffer.data(), buffer.size());
        FUZZ_CHECK(buffer.size() >= 32, "a request of %zu bytes", buffer.size());
        const uint32_t command = v.U32(env::Command.offset);
        const auto* entry = FindCommand(command);
        FUZZ_CHECK(entry != nullptr, "unknown command %u sent", command);
        FUZZ_CHECK(buffer.size() == entry->size, "command %u sent in %zu bytes, not %u", command,
                   buffer.size(), entry->size);
        FUZZ_CHECK(v.U32(env::HeaderLength.offset) == 28, "HeaderLength %u",
                   v.U32(env::HeaderLength.offset));
        FUZZ_CHECK(std::memcmp(buffer.data() + env::Signature.offset, env::kSignature, 8) == 0,
                   "signature of command %u", command);
        FUZZ_CHECK(v.U32(env::Timeout.offset) == 30, "Timeout %u", v.U32(env::Timeout.offset));
        FUZZ_CHECK(v.U32(env::ControlCode.offset) == 0x888, "ControlCode %#x",
                   v.U32(env::ControlCode.offset));
        FUZZ_CHECK(v.U32(env::Length.offset) == entry->size - 28, "Length %u of command %u",
                   v.U32(env::Length.offset), command);
        if (entry->hasDataLength)
            FUZZ_CHECK(v.U32(env::DataLength.offset) == entry->size - 32,
                       "DataLength %u of command %u", v.U32(env::DataLength.offset), command);
    }

    void Fill(std::span<uint8_t> buffer, size_t from, size_t to) {
        const std::vector<uint8_t> bytes = data_.ConsumeBytes<uint8_t>(to - from);
        // What the input no longer has is zero, like a miniport that clears its reply.
        for (size_t i = from; i < to; ++i)
            buffer[i] = i - from < bytes.size() ? bytes[i - from] : 0;
    }

    FuzzedDataProvider& data_;
    std::map<channel::DeviceHandle, std::string> open_;
    channel::DeviceHandle next_ = 0x1000;
};

}  // namespace halv_fuzz

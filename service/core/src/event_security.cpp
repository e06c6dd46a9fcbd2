#include "korrin/event_security.h"

namespace korrin {
namespace {

using namespace bridge::device_sd;

// A SID: revision, count of sub-authorities, the 6-byte big-endian identifier authority, then
// the sub-authorities as little-endian 32-bit values.
bool IsNtAuthoritySid(std::span<const uint8_t> sid, std::span<const uint32_t> rids) {
    if (sid.size() != SidSize(rids.size())) return false;
    if (sid[0] != kSidRevision || sid[1] != rids.size()) return false;
    for (size_t i = 2; i < 7; ++i)
        if (sid[i] != 0) return false;
    if (sid[7] != kNtAuthority) return false;
    for (size_t i = 0; i < rids.size(); ++i) {
        const size_t at = 8 + 4 * i;
        const uint32_t rid =
            static_cast<uint32_t>(sid[at]) | (static_cast<uint32_t>(sid[at + 1]) << 8) |
            (static_cast<uint32_t>(sid[at + 2]) << 16) | (static_cast<uint32_t>(sid[at + 3]) << 24);
        if (rid != rids[i]) return false;
    }
    return true;
}

}  // namespace

EventDescriptor AdapterEventDescriptor() {
    EventDescriptor sd{};
    bridge::ByteSpan out(sd.data(), sd.size());
    bridge::BuildDeviceSecurityDescriptor(out);
    out.StoreLe32(kOwnerOffset, event_sd::kOwner);
    const size_t sid = event_sd::kOwner;
    out.StoreU8(sid, kSidRevision);
    out.StoreU8(sid + 1, 2);
    out.StoreU8(sid + 7, kNtAuthority);
    out.StoreLe32(sid + 8, kBuiltinDomainRid);
    out.StoreLe32(sid + 12, kAdministratorsRid);
    return sd;
}

bool IsTrustedEventOwner(std::span<const uint8_t> sid) {
    static constexpr uint32_t kSystem[] = {kLocalSystemRid};
    static constexpr uint32_t kAdministrators[] = {kBuiltinDomainRid, kAdministratorsRid};
    return IsNtAuthoritySid(sid, kSystem) || IsNtAuthoritySid(sid, kAdministrators);
}

}  // namespace korrin

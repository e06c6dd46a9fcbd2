// Who may reach the adapters' named events. The bridge sets the event that the service waits on,
// so whoever else may set or reset it could hide adapter events or wake the monitor at will: the
// events are created with a descriptor for SYSTEM and Administrators only, and an event of that
// name that someone else made first is not used.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <span>

#include "bridge_core.h"

namespace korrin {

// The adapter event's self-relative security descriptor: the bridge device's own descriptor (a
// protected DACL allowing everything to LocalSystem and Administrators, nothing to anyone else)
// followed by an owner, the Administrators group. The owner is set and not left to the creator's
// token, so that the service finds the same owner on the event whether it made it as
// LocalSystem or in debug mode as an administrator, and whatever owner the token defaults to.
namespace event_sd {
inline constexpr size_t kOwner = bridge::device_sd::kSize;
inline constexpr size_t kOwnerSize = bridge::device_sd::SidSize(2);
inline constexpr size_t kSize = kOwner + kOwnerSize;
static_assert(kOwner == 72 && kOwnerSize == 16 && kSize == 88);
static_assert(kOwner % 4 == 0);
}  // namespace event_sd

using EventDescriptor = std::array<uint8_t, event_sd::kSize>;

// The descriptor above.
EventDescriptor AdapterEventDescriptor();

// Whether `sid` (a SID in its binary form) is LocalSystem (S-1-5-18) or the Administrators
// group (S-1-5-32-544): the only owners whose event of the service's name the service uses. A
// SID that is cut short or malformed is neither.
bool IsTrustedEventOwner(std::span<const uint8_t> sid);

}  // namespace korrin

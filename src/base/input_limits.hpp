// How much of each text a host hands in goes into a report. A value past its limit is cut at a
// UTF-8 character boundary, never the report it belongs to; only a breadcrumb too large is
// refused whole, since its data is a structure with no single place to cut.
#pragma once

#include <cstddef>

namespace quillstone::base {

constexpr std::size_t kKiB = 1024;

// Event names, error names and breadcrumb types.
constexpr std::size_t kMaxNameBytes = 1 * kKiB;
// Error messages: longer than a name, far shorter than a stack.
constexpr std::size_t kMaxMessageBytes = 8 * kKiB;
// Properties of one event: beyond the first kMaxProperties in key order, the rest are dropped.
constexpr std::size_t kMaxProperties = 100;
// Each property key and each property value.
constexpr std::size_t kMaxPropertyBytes = 8 * kKiB;
// A breadcrumb's data, measured as the compact JSON text it is sent as.
constexpr std::size_t kMaxBreadcrumbDataBytes = 16 * kKiB;
// The host's text of a breadcrumb's data, before it is parsed. Only padding could bring a text
// this long within the limit above (an escape takes six bytes at most for one), so parsing more
// would be work spent on a breadcrumb that is refused anyway.
constexpr std::size_t kMaxBreadcrumbTextBytes = 1024 * kKiB;
// Objects and arrays inside one another in a breadcrumb's data, the data's own object counted:
// the value is copied and written by recursion, so its depth is what a host's stack must hold.
constexpr int kMaxBreadcrumbDepth = 128;
// Stack text the host passes to capture.
constexpr std::size_t kMaxStackBytes = 256 * kKiB;
// The current page, and so the "to" of its route breadcrumb.
constexpr std::size_t kMaxPageBytes = 2 * kKiB;
// The user id keeps 120 characters as the user perceives them; one such character can be any
// number of combining marks long, so its bytes are bounded too, well above 120 of the longest
// emoji sequences.
constexpr std::size_t kMaxUserIdGraphemes = 120;
constexpr std::size_t kMaxUserIdBytes = 8 * kKiB;

}  // namespace quillstone::base

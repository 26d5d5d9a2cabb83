// Whether this build carries AddressSanitizer (the sanitizer pass of
// scripts/test, with libFuzzer's coverage too). Its programs run several
// times slower, so a deadline of real I/O, there only to end a test that
// hangs, is longer in it.
#pragma once

namespace talvane::testing {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumented = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif
#else
constexpr bool kInstrumented = false;
#endif

constexpr int kInstrumentedSlowdown = 4;
constexpr int realIoDeadline(int ms) { return kInstrumented ? kInstrumentedSlowdown * ms : ms; }

}  // namespace talvane::testing

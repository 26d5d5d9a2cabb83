// For targets that call into Qt's file and text classes on every input:
// AddressSanitizer records where each allocation was made, and unwinding
// through libraries built without frame pointers gives stacks that differ
// with whatever lies on the stack, so its store of stacks grows without end
// and every allocation gets slower (fuzz_registry fell from 366 to under 100
// runs a second within 200,000 runs, a third of its time in that store).
// Two frames keep it bounded; ASAN_OPTIONS=malloc_context_size=30 brings the
// full allocation stacks back to look into a finding.
#pragma once

extern "C" __attribute__((used)) const char* __asan_default_options() { return "malloc_context_size=2"; }

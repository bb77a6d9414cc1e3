// SPDX-License-Identifier: MIT
// AddressSanitizer's defaults for the libFuzzer binaries; ASAN_OPTIONS still
// overrides them.
//
// Allocation and free stacks are kept to their two innermost frames. ASan
// records each distinct stack for good, and its fast unwinder follows frame
// pointers, which Debian's libjsoncpp and libstdc++ do not keep: past their
// frames it reads whatever lies on the stack, so nearly every input recorded
// new "stacks", and a run grew by about 150 bytes per input until libFuzzer's
// memory limit ended it. The stack of a crash itself is still unwound in
// full, and scripts/fuzz replays each crashing input with full allocation
// stacks.
extern "C" const char *__asan_default_options()
{
    return "malloc_context_size=2";
}

// This process's peak resident memory, for tests that bound what a hostile peer can make
// the code under test hold.
#pragma once

namespace testsupport {

// The peak resident memory in kB (VmHWM), or -1.
long PeakMemoryKb();
// Resets that peak to the present size.
void ResetPeakMemory();

}  // namespace testsupport

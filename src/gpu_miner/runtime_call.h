#pragma once
// For GpuMiner's members: a runtime call whose failure is reported as a runtime-call fault.

// True when the call succeeded; a failure is printed and the caller gives up the step.
#define CUDA_OK(call) call_succeeded((call), __LINE__)
// During set-up, which cannot go on without the call: a failure is printed, then thrown.
#define CUDA_SET_UP(call) set_up_call((call), __LINE__)

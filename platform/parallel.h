#pragma once
// Splits a run of rows over the machine's cores. The call returns when every row is done.
// Small jobs run on the calling thread alone.

#include <functional>

namespace platform {

// Number of threads that ParallelFor uses: the hardware's count unless set. 1 = calling thread only.
int WorkerCount();
void SetWorkerCount(int count);  // 0 = back to the hardware's count

// Calls body(begin, end) on disjoint ranges that together cover [0, count).
// minPerTask keeps tiny ranges on one thread.
void ParallelFor(int count, const std::function<void(int, int)>& body, int minPerTask = 64);

}  // namespace platform

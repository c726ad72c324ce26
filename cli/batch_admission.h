#pragma once
// Which --batch jobs may run at the same time: each job's working set is estimated from its
// source's header, and jobs run side by side only while their sum fits into the memory the
// process had when the batch started. A job that does not fit beside the running ones waits for
// them; one that cannot fit even alone is refused with the figures.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "formats/row_reader.h"
#include "imagefiles/save_result.h"
#include "platform/memory_budget.h"
#include "platform/status.h"

namespace cli {

// The memory a job composing this source takes at its peak: three bitmaps of the source's size
// (the picture, the scratch surface and the result), the file's bytes while it is decoded, and
// an allowance for the encoder and the threads. 0 when the header does
// not tell the size (the job then relies on the checks made when it allocates).
std::uint64_t EstimateJobBytes(const std::string& source);

// The picture size in a PNG's, JPEG's, GIF's or BMP's header (read from the first 4 MiB; Qt's
// own PNG reader is not used: it reads every chunk before the image data, a 2 GiB one too).
// False for other files and when the header does not tell.
bool HeaderSize(const std::string& path, std::uint64_t& width, std::uint64_t& height);

// A job's working set by the route it takes (cli/row_route.h). By rows: its bands in flight, its
// writer's bands and its reader's buffers (a progressive JPEG's coefficients), which grow with
// the width, not the area; the shared texture is not counted. Otherwise EstimateJobBytes.
struct JobEstimate {
    std::uint64_t bytes = 0;
    formats::RowSource rows;  // the opened source when it goes by rows, for the job to use
};
JobEstimate EstimateJob(const std::string& source, const std::string& ext,
                        const imagefiles::OutputSettings& settings);

class BatchAdmission {
  public:
    explicit BatchAdmission(const platform::MemoryRoom& room) : room_(room) {}

    // Waits until a job of `bytes` fits beside those running and counts it in; fails at once,
    // naming both figures, when it could not fit even alone.
    platform::Status Admit(std::uint64_t bytes);
    void Release(std::uint64_t bytes);

  private:
    const platform::MemoryRoom room_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::uint64_t inUse_ = 0;
};

// A single job (SOURCE FLOATING OUTPUT), checked before anything is decoded: the source's job as
// EstimateJob gave it for its route plus the floating picture's bitmap, against the memory there
// is now. Fails naming both figures. Sizes the headers do not tell, or that the loaders refuse
// anyway (beyond the pixel limit on the whole route, with their own reason), are left to them.
platform::Status CheckSingleJob(const JobEstimate& job, const std::string& source,
                                const std::string& floating);

}  // namespace cli

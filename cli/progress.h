#pragma once
// Batch progress on stderr. On a terminal one line that updates in place (count, percent, elapsed
// time, the file in hand); otherwise, for logs and pipes, one line a finished file.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "platform/progress.h"

namespace cli {

class BatchProgress {
  public:
    explicit BatchProgress(std::size_t total);
    ~BatchProgress();  // leaves the updating line on the screen
    BatchProgress(const BatchProgress&) = delete;
    BatchProgress& operator=(const BatchProgress&) = delete;

    // A job took up source. Only the updating line shows it.
    void Started(const std::string& source);
    // A source is finished. A failure stays on the terminal as a line of its own.
    void Finished(bool ok, const std::string& source, const std::string& output);

  private:
    void Draw(const std::string& file);  // with mutex_ held

    std::size_t total_, done_ = 0;
    bool terminal_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
};

// A single job's progress on stderr: on a terminal, once the job has run for half a second, one
// line that updates in place (percent, rows, elapsed time, the file) from the platform::Progress
// that the job's steps advance; into a pipe or a log, nothing.
class JobProgress {
  public:
    explicit JobProgress(std::string file);
    ~JobProgress();  // stops the line; leaves it on the screen when it was shown
    JobProgress(const JobProgress&) = delete;
    JobProgress& operator=(const JobProgress&) = delete;

    // Install this on the job's thread (platform::ScopedProgress).
    platform::Progress* progress() { return &progress_; }

  private:
    void Run();

    std::string file_;
    platform::Progress progress_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false, shown_ = false;
    std::thread drawer_;
};

}  // namespace cli

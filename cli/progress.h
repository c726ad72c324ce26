#pragma once
// Batch progress on stderr. On a terminal one line that updates in place (count, percent, elapsed
// time, the file in hand); otherwise, for logs and pipes, one line a finished file.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

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

}  // namespace cli

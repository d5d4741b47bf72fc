// PNG files of RGB images, written to memory with libpng and zlib.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/capture.h"

namespace kex::platform::x11 {

// The compressed image data of one band of rows, and what the zlib trailer needs of it.
struct CompressedBand {
  std::vector<std::uint8_t> bytes;  // only the first `used` hold data; grown, never shrunk
  std::size_t used = 0;
  std::uint32_t adler = 0;      // of the band's uncompressed bytes
  std::size_t inputLength = 0;  // how many there were
  bool ok = false;
};

// Runs one job at a time on a thread of its own, started once and kept, so that handing over
// work costs a wake-up rather than a thread start. start and wait: the owner's thread; the job:
// the helper thread. job_, pending_ and stopping_ are guarded by mutex_.
class HelperThread {
 public:
  HelperThread();
  ~HelperThread();
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // False when the thread could not be started; the caller then does the work itself.
  [[nodiscard]] bool available() const { return thread_.joinable(); }
  // Hands the job over; the previous one must have been waited for.
  void start(std::function<void()> job);
  // Returns once the job handed over last has finished.
  void wait();

 private:
  void serve();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last, so that it starts after the members it uses exist
};

// Request thread; a tall image's lower half is compressed on the encoder's helper thread at the
// same time as the upper half, and waited for before encode returns. Keeps its buffers
// between calls. Favours speed over size: no filters and the fastest deflate level, since
// screenshots are flat enough that heavier settings save little and cost about four times the
// time.
class PngEncoder {
 public:
  // Nothing when the image is malformed or libpng or zlib fails.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> encode(const Image& image);

 private:
  [[nodiscard]] bool compress(const Image& image);
  [[nodiscard]] bool assembleImageData();

  // The upper half (or the whole image) and the lower half. Each is written by one thread
  // only, and read by the request thread after joining the other.
  CompressedBand bands_[2];
  std::vector<std::uint8_t> histories_[2];  // each band's dictionary
  std::vector<std::uint8_t> imageData_;     // the IDAT payload, one zlib stream; grown only
  std::size_t imageDataSize_ = 0;           // how much of imageData_ it fills
  std::vector<std::uint8_t> output_;
  HelperThread helper_;
};

}  // namespace kex::platform::x11

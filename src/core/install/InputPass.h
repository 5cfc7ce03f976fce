// One read of the input image on a thread of its own, beside the first steps of a run: the
// whole file's SHA-256 for the receipt and, from the same bytes, the MD5 of the archive files
// whose digests the patch names. The MD5 step then only compares, and the image is read once
// where it used to be read again for each digest.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qpt {

class TInputPass {
 public:
  struct TRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
  };

  TInputPass() = default;
  ~TInputPass();  // stops the pass and waits for it
  TInputPass(const TInputPass&) = delete;
  TInputPass& operator=(const TInputPass&) = delete;

  // Starts reading image: the whole of it when wholeSha256 is asked for, else only the ranges.
  // Once per object. beforeRead, when given, is called on the pass's thread first. rangesFirst
  // reads the ranges on their own first and the whole image after: the ranges' digests come
  // sooner, with no second digest sharing the cores with them, for one more read of the ranges.
  void Start(const std::filesystem::path& image, bool wholeSha256, std::vector<TRange> md5Ranges,
             std::function<void()> beforeRead = {}, bool rangesFirst = false);

  // Whether range i's MD5 is known (or known to be missing).
  bool Md5Ready(std::size_t i) const;
  // Waits for range i's MD5, 32 upper-case hexadecimal digits (as FileMD5 writes it); empty
  // when the image could not be read or the pass was stopped.
  std::string Md5(std::size_t i);
  // Waits for the whole image's SHA-256, lower-case hexadecimal; empty when not asked for, the
  // image could not be read, or the pass was stopped.
  std::string Sha256();
  // Asks the pass to end early and waits for it; what it has not worked out stays empty.
  void Stop();

 private:
  void Run(const std::filesystem::path& image, bool wholeSha256, bool rangesFirst);
  void Publish(std::optional<std::string>& slot, std::string value);
  // Marks everything still open as missing.
  void PublishRest();

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<TRange> ranges_;
  std::vector<std::optional<std::string>> md5_;
  std::optional<std::string> sha256_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qpt

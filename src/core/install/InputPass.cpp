#include "core/install/InputPass.h"

#include <memory>

#include "core/common/Common.h"
#include "ctr/FilePass.h"
#include "ctr/Md5.h"

namespace qpt {

namespace {

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& digest, bool upperCase) {
  return HexText(digest.data(), digest.size(), upperCase);
}

}  // namespace

TInputPass::~TInputPass() { Stop(); }

void TInputPass::Start(const std::filesystem::path& image, bool wholeSha256, std::vector<TRange> md5Ranges,
                       std::function<void()> beforeRead, bool rangesFirst) {
  ranges_ = std::move(md5Ranges);
  md5_.assign(ranges_.size(), std::nullopt);
  if (!wholeSha256) sha256_ = std::string();
  thread_ = std::thread([this, image, wholeSha256, rangesFirst, beforeRead = std::move(beforeRead)] {
    if (beforeRead) beforeRead();
    Run(image, wholeSha256, rangesFirst);
  });
}

bool TInputPass::Md5Ready(std::size_t i) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return i >= md5_.size() || md5_[i].has_value();
}

std::string TInputPass::Md5(std::size_t i) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (i >= md5_.size()) return std::string();
  ready_.wait(lock, [&] { return md5_[i].has_value(); });
  return *md5_[i];
}

std::string TInputPass::Sha256() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable() && !sha256_) return std::string();
  ready_.wait(lock, [&] { return sha256_.has_value(); });
  return *sha256_;
}

void TInputPass::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void TInputPass::Publish(std::optional<std::string>& slot, std::string value) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!slot) slot = std::move(value);
  }
  ready_.notify_all();
}

void TInputPass::PublishRest() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& md5 : md5_) {
      if (!md5) md5 = std::string();
    }
    if (!sha256_) sha256_ = std::string();
  }
  ready_.notify_all();
}

void TInputPass::Run(const std::filesystem::path& image, bool wholeSha256, bool rangesFirst) {
  std::vector<std::unique_ptr<ctr::Md5>> md5;
  std::vector<ctr::PassRange> ranges;
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    md5.push_back(std::make_unique<ctr::Md5>());
    ctr::Md5& hash = *md5.back();
    // A range that cannot be read has no digest; the step that needs it reads its own copy.
    ranges.push_back({ranges_[i].offset, ranges_[i].size,
                      [&hash](const std::uint8_t* data, std::size_t n) { hash.Update(data, n); },
                      [this, &hash, i](const ctr::Status& read) {
                        Publish(md5_[i], read ? Hex(hash.Final(), true) : std::string());
                      }});
  }
  ctr::Sha256 sha;
  ctr::Status read = ctr::Status::Ok();
  if (rangesFirst && wholeSha256 && !ranges.empty()) {
    read = ctr::RunFilePass(image, std::move(ranges), nullptr, &stop_);
    if (read) read = ctr::RunFilePass(image, {}, &sha, &stop_);
  } else {
    read = ctr::RunFilePass(image, std::move(ranges), wholeSha256 ? &sha : nullptr, &stop_);
  }
  if (read && wholeSha256) Publish(sha256_, Hex(sha.Final(), false));
  PublishRest();
}

}  // namespace qpt

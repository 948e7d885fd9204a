// The sending side of one page: renders the planned page, encodes it piece by piece, counts and
// hashes the bytes handed out (64-bit FNV-1a) and keeps them when asked, and knows where a
// page that is to break off stops. Owned and used by the connection that sends the page.
#ifndef CAVIX_SIM_PAGETRANSFER_H
#define CAVIX_SIM_PAGETRANSFER_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/PageEncoder.h"
#include "sim/PageImage.h"
#include "sim/ScannerModel.h"

namespace cavixsim {

class PageTransfer {
 public:
  PageTransfer(const PagePlan& plan, bool keepBytes, std::shared_ptr<const PnmImage> file);

  // The next at most `len` bytes of the attachment; 0 at the end, after a failure, or where
  // a breaking page stops.
  size_t Read(uint8_t* buf, size_t len);
  // Whether the page stopped at its break-off point.
  bool BrokeOff() const { return brokeOff_; }
  // Whether a breaking page has handed out everything up to its break-off point.
  bool ReachedBreak() const { return plan_.breakOff && breakAt_ > 0 && bytes_ >= breakAt_; }
  // Whether every byte of the page was handed out.
  bool Finished() const {
    if (cachedPage_) return bytes_ == cachedPage_->size();
    return encoder_.Finished() && !brokeOff_ && !encoder_.Failed();
  }
  const PagePlan& plan() const { return plan_; }
  uint64_t bytes() const { return bytes_; }
  // 64-bit FNV-1a of the bytes handed out so far.
  uint64_t hash() const;
  std::vector<uint8_t>& data() { return data_; }

  static uint64_t Fnv1a(const uint8_t* p, size_t n, uint64_t hash = 0xcbf29ce484222325ull);
  // Pages drawn and encoded by this process so far (those sent from the page cache not
  // counted); any thread.
  static uint64_t PagesEncoded();

 private:
  PagePlan plan_;
  PageImage image_;
  PageEncoder encoder_;
  bool keep_;
  uint64_t bytes_ = 0;
  uint64_t hash_ = 0xcbf29ce484222325ull;
  std::vector<uint8_t> data_;
  uint64_t breakAt_ = 0;  // bytes after which the page breaks off (raw); rows for JPEG
  bool brokeOff_ = false;
  // Page cache (plans marked cached, chart pages only): the bytes of an identical page sent
  // before, or the bytes being gathered to be kept once this page is whole.
  std::string cacheKey_;
  std::shared_ptr<const std::vector<uint8_t>> cachedPage_;
  uint64_t cachedHash_ = 0;  // the kept page's whole hash
  std::vector<uint8_t> gathered_;
};

}  // namespace cavixsim

#endif

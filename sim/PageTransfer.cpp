#include "sim/PageTransfer.h"

#include <atomic>
#include <cstring>
#include <map>

#include "platform/Mutex.h"

namespace cavixsim {

namespace {

// Pages kept for plans marked cached, by everything that shapes their bytes. Shared by all
// connections of the process; emptied when it would grow past its limit.
Mutex g_cacheLock;
std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> g_cache GUARDED_BY(g_cacheLock);
std::map<std::string, uint64_t> g_cacheHashes GUARDED_BY(g_cacheLock);  // each kept page's hash
size_t g_cacheBytes GUARDED_BY(g_cacheLock) = 0;
constexpr size_t kCacheLimit = size_t(256) << 20;
std::atomic<uint64_t> g_pagesEncoded{0};

int PrintedSheet(const PagePlan& p) { return p.printedSheet > 0 ? p.printedSheet : p.sheet; }

std::string CacheKey(const PagePlan& p) {
  const Ticket& t = p.ticket;
  const int fields[] = {t.format, t.compressionQualityFactor, t.inputSource, t.contentType, t.mediaWidth,
                        t.mediaHeight, t.regionX, t.regionY, t.regionWidth, t.regionHeight, t.colorProcessing,
                        t.resolutionX, t.resolutionY, t.imageProcessingRemoval, PrintedSheet(p), p.side,
                        int(p.padLines), p.padDark ? 1 : 0, p.jpegQuality};
  return std::string(reinterpret_cast<const char*>(fields), sizeof fields);
}

}  // namespace

uint64_t PageTransfer::hash() const {
  if (!cachedPage_ || bytes_ == cachedPage_->size()) return cachedPage_ ? cachedHash_ : hash_;
  return Fnv1a(cachedPage_->data(), size_t(bytes_));
}

uint64_t PageTransfer::PagesEncoded() { return g_pagesEncoded.load(std::memory_order_relaxed); }

uint64_t PageTransfer::Fnv1a(const uint8_t* p, size_t n, uint64_t hash) {
  for (size_t i = 0; i < n; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

PageTransfer::PageTransfer(const PagePlan& plan, bool keepBytes, std::shared_ptr<const PnmImage> file)
    : plan_(plan),
      image_(plan.ticket, PrintedSheet(plan), plan.side, plan.padDark, file),
      encoder_(image_, plan.ticket.format, plan.padLines, plan.jpegQuality),
      keep_(keepBytes) {
  if (plan.cached && !plan.breakOff && !file) {
    cacheKey_ = CacheKey(plan);
    MutexLock guard(g_cacheLock);
    auto hit = g_cache.find(cacheKey_);
    if (hit != g_cache.end()) {
      cachedPage_ = hit->second;
      cachedHash_ = g_cacheHashes[cacheKey_];
    }
  }
  if (!cachedPage_) g_pagesEncoded.fetch_add(1, std::memory_order_relaxed);
  if (plan.breakOff) {
    // Raw pages break after half their bytes; JPEG pages once half their rows are encoded.
    const uint64_t known = encoder_.KnownSize();
    breakAt_ = known ? known / 2 : 0;
  }
}

size_t PageTransfer::Read(uint8_t* buf, size_t len) {
  if (brokeOff_) return 0;
  if (plan_.breakOff) {
    const uint64_t known = encoder_.KnownSize();
    if (known) {
      if (bytes_ >= breakAt_) {
        brokeOff_ = true;
        return 0;
      }
      len = size_t(std::min<uint64_t>(len, breakAt_ - bytes_));
    } else if (bytes_ > 0 && encoder_.RowsEncoded() * 2 >= encoder_.RowCount()) {
      brokeOff_ = true;
      return 0;
    }
  }
  size_t n = 0;
  if (cachedPage_) {
    // A kept page is hashed only if it stops short (see hash()): sending it costs the copy.
    n = size_t(std::min<uint64_t>(len, cachedPage_->size() - bytes_));
    std::memcpy(buf, cachedPage_->data() + bytes_, n);
  } else {
    n = encoder_.Read(buf, len);
    hash_ = Fnv1a(buf, n, hash_);
    if (!cacheKey_.empty()) {
      gathered_.insert(gathered_.end(), buf, buf + n);
      if (encoder_.Finished() && !encoder_.Failed()) {
        MutexLock guard(g_cacheLock);
        if (g_cacheBytes + gathered_.size() > kCacheLimit) {
          g_cache.clear();
          g_cacheHashes.clear();
          g_cacheBytes = 0;
        }
        g_cacheBytes += gathered_.size();
        g_cache[cacheKey_] = std::make_shared<const std::vector<uint8_t>>(std::move(gathered_));
        g_cacheHashes[cacheKey_] = hash_;
        cacheKey_.clear();
      }
    }
  }
  bytes_ += n;
  if (keep_) data_.insert(data_.end(), buf, buf + n);
  return n;
}

}  // namespace cavixsim

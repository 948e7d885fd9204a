#include "sim/PageTransfer.h"

namespace cavixsim {

uint64_t PageTransfer::Fnv1a(const uint8_t* p, size_t n, uint64_t hash) {
  for (size_t i = 0; i < n; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

PageTransfer::PageTransfer(const PagePlan& plan, bool keepBytes, std::shared_ptr<const PnmImage> file)
    : plan_(plan),
      image_(plan.ticket, plan.sheet, plan.side, plan.padDark, std::move(file)),
      encoder_(image_, plan.ticket.format, plan.padLines, plan.jpegQuality),
      keep_(keepBytes) {
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
  size_t n = encoder_.Read(buf, len);
  hash_ = Fnv1a(buf, n, hash_);
  bytes_ += n;
  if (keep_) data_.insert(data_.end(), buf, buf + n);
  return n;
}

}  // namespace cavixsim

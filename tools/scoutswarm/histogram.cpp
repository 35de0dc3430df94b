#include "scoutswarm/histogram.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace scoutswarm {

size_t Histogram::bucketOf(uint64_t v) {
  v = std::min(v, kMaxValue);
  if (v < 128) return static_cast<size_t>(v);
  const int top = std::bit_width(v) - 1;  // 7..39
  const int shift = top - 6;              // keeps 7 significant bits: 64..127
  return 128 + static_cast<size_t>(top - 7) * kSubBuckets + static_cast<size_t>((v >> shift) - 64);
}

uint64_t Histogram::lowest(size_t i) {
  if (i < 128) return i;
  const size_t octave = (i - 128) / kSubBuckets;  // 0 for 2^7
  const uint64_t sub = (i - 128) % kSubBuckets + 64;
  return sub << (octave + 1);
}

uint64_t Histogram::highest(size_t i) { return i + 1 < kBuckets ? lowest(i + 1) - 1 : kMaxValue; }

void Histogram::record(uint64_t v) {
  v = std::min(v, kMaxValue);
  ++counts_[bucketOf(v)];
  min_ = count_ ? std::min(min_, v) : v;
  max_ = std::max(max_, v);
  ++count_;
}

void Histogram::addBucket(size_t index, uint64_t n) {
  if (index >= kBuckets || n == 0) return;
  counts_[index] += n;
  min_ = count_ ? std::min(min_, lowest(index)) : lowest(index);
  max_ = std::max(max_, highest(index));
  count_ += n;
}

void Histogram::merge(const Histogram& o) {
  if (o.count_ == 0) return;
  for (size_t i = 0; i < kBuckets; ++i) counts_[i] += o.counts_[i];
  min_ = count_ ? std::min(min_, o.min_) : o.min_;
  max_ = std::max(max_, o.max_);
  count_ += o.count_;
}

uint64_t Histogram::percentile(double percent) const {
  if (count_ == 0) return 0;
  // The rank of the value, 1-based: the smallest one with `percent` at or below it.
  const double want = std::ceil(percent / 100.0 * static_cast<double>(count_));
  const uint64_t rank = std::clamp<uint64_t>(static_cast<uint64_t>(want), 1, count_);
  uint64_t seen = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    seen += counts_[i];
    if (seen >= rank) return std::clamp(highest(i), min_, max_);
  }
  return max_;
}

}  // namespace scoutswarm

// Latency histogram with a fixed log-linear bucket layout, so that two
// histograms (from two runs or two machines) merge exactly by adding counts.
//
// Values are whole microseconds. Values below 128 have a bucket each; above,
// every power of two is split into 64 buckets, so a bucket is at most 1/64
// (1.6 %) of its value wide. Percentiles report the upper bound of the bucket
// that holds the rank, capped at the exact maximum. Values above kMaxValue
// (about 12.7 days) are counted as kMaxValue. Recording allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace scoutswarm {

class Histogram {
 public:
  static constexpr uint64_t kMaxValue = (uint64_t{1} << 40) - 1;
  static constexpr size_t kSubBuckets = 64;
  // 0..127 one bucket each; then 64 per power of two from 2^7 to 2^39.
  static constexpr size_t kBuckets = 128 + 33 * kSubBuckets;

  void record(uint64_t micros);
  // Adds `count` values that fall into bucket `index` (for reading reports).
  void addBucket(size_t index, uint64_t count);
  void merge(const Histogram& other);
  // Sets the exact extremes kept beside the buckets (for reading reports).
  void setExtremes(uint64_t min, uint64_t max) {
    if (count_) min_ = min, max_ = max;
  }

  uint64_t count() const { return count_; }
  uint64_t max() const { return max_; }
  uint64_t min() const { return count_ ? min_ : 0; }
  // The value at or below which `percent` of the values lie; 0 when empty.
  uint64_t percentile(double percent) const;
  uint64_t bucketCount(size_t index) const { return counts_[index]; }

  // Bucket layout: the bucket of a value, and a bucket's lowest and highest value.
  static size_t bucketOf(uint64_t micros);
  static uint64_t lowest(size_t index);
  static uint64_t highest(size_t index);

  bool operator==(const Histogram&) const = default;

 private:
  std::array<uint64_t, kBuckets> counts_{};
  uint64_t count_ = 0;
  uint64_t min_ = 0;
  uint64_t max_ = 0;
};

}  // namespace scoutswarm

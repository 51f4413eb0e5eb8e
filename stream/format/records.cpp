// SPDX-License-Identifier: GPL-2.0-or-later
#include "format/records.h"

#include <xxhash.h>

#include <algorithm>

#include "common/big_endian.h"

namespace kob {

void RecordsEncoder::add(std::int64_t offset, std::uint64_t position,
                         std::uint32_t dataSize, std::uint32_t payloadSize,
                         std::uint32_t backLink, std::uint32_t checksum) {
  if (records % kBlockRecords == 0) {
    unsigned char milestone[kIndexMilestone];
    putBigEndian<8>(milestone, static_cast<std::uint64_t>(offset));
    putBigEndian<8>(milestone + 8, position);
    milestones.insert(milestones.end(), milestone, milestone + kIndexMilestone);
  }
  unsigned char record[kIndexRecord];
  encodeHeader(record, dataSize, payloadSize, backLink);
  putBigEndian<4>(record + kHeaderSize, checksum);
  bytes.insert(bytes.end(), record, record + kIndexRecord);
  ++records;
}

bool RecordsEncoder::write(const unsigned char* before, std::size_t beforeSize,
                           const Sink& sink) const {
  unsigned char sum[kIndexSum];
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) return false;
  XXH3_64bits_reset(state);
  XXH3_64bits_update(state, before, beforeSize);
  XXH3_64bits_update(state, milestones.data(), milestones.size());
  putBigEndian<8>(sum, XXH3_64bits_digest(state));
  XXH3_freeState(state);
  if (!sink(milestones.data(), milestones.size()) || !sink(sum, sizeof sum)) {
    return false;
  }
  for (std::size_t from = 0; from < bytes.size();
       from += kIndexRecord * kBlockRecords) {
    const std::size_t length =
        std::min<std::size_t>(kIndexRecord * kBlockRecords, bytes.size() - from);
    putBigEndian<8>(sum, XXH3_64bits(bytes.data() + from, length));
    if (!sink(bytes.data() + from, length) || !sink(sum, sizeof sum)) {
      return false;
    }
  }
  return true;
}

}  // namespace kob

// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include "format/format.h"

namespace {

TEST(BigEndianFields, StoreTheHighByteFirst) {
  unsigned char bytes[2];
  kob::encodeUInt2(bytes, 300);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 0x2C);
  kob::encodeUInt2(bytes, 0xABCD);
  EXPECT_EQ(bytes[0], 0xAB);
  EXPECT_EQ(bytes[1], 0xCD);
}

TEST(BigEndianFields, DropBitsAboveSixteen) {
  unsigned char bytes[2];
  kob::encodeUInt2(bytes, 0x1ABCD);
  EXPECT_EQ(bytes[0], 0xAB);
  EXPECT_EQ(bytes[1], 0xCD);
}

TEST(BigEndianFields, ReadBackAsUnsignedValues) {
  const unsigned char highBitSet[2] = {0xFF, 0xFE};
  EXPECT_EQ(kob::decodeUInt2(highBitSet), 0xFFFEu);
  for (std::uint32_t value : {0u, 1u, 255u, 256u, 300u, 0x8000u, 0xFFFFu}) {
    unsigned char bytes[2];
    kob::encodeUInt2(bytes, value);
    EXPECT_EQ(kob::decodeUInt2(bytes), value);
  }
}

}  // namespace

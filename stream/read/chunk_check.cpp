// SPDX-License-Identifier: GPL-2.0-or-later
#include "read/chunk_check.h"

#include "common/big_endian.h"
#include "format/codec.h"
#include "index/chunk_index.h"

namespace kob {

Failure readChunkHeader(ReadWindow& window, const ChunkClaim& claim,
                        ChunkHeader& header) {
  std::uint32_t previous = claim.previousPayloadSize;
  if (!claim.linkKnown) {
    // The chunk before is lost: the header's own back-link is taken as it
    // stands. The bytes stay in the window for the read below.
    ReadWindow::Bytes bytes;
    if (const int error =
            window.fetch(claim.offset, kHeaderSize, claim.ahead, bytes)) {
      return Failure::ofError(error);
    }
    previous = bytes.size >= kHeaderSize ? decodeUInt2(bytes.data + 4) : 0;
  }
  return readHeaderAt(window, claim.offset, previous, claim.ahead, header);
}

Failure readChunkPayload(ReadWindow& window, const ChunkClaim& claim,
                         const ChunkHeader& header,
                         const unsigned char*& payload) {
  ReadWindow::Bytes bytes;
  if (const int error = window.fetch(
          claim.offset + static_cast<std::int64_t>(kHeaderSize),
          header.payloadSize + kHeaderSize, claim.ahead, bytes)) {
    return Failure::ofError(error);
  }
  if (bytes.size < header.payloadSize) return Failure::ofDamage(Damage::CutShort);
  // Checked whenever it is read, even when only its start is decoded: the
  // payload is read whole either way.
  if (claim.hasChecksum &&
      payloadChecksum(bytes.data, header.payloadSize) != claim.checksum) {
    return Failure::ofDamage(Damage::ChecksumMismatch);
  }
  payload = bytes.data;
  return {};
}

Failure fetchChunk(ReadWindow& window, const ChunkClaim& claim,
                   unsigned char* out, CheckedChunk& chunk) {
  chunk = CheckedChunk();
  Failure failure = readChunkHeader(window, claim, chunk.header);
  if (failure.failed()) return failure;
  chunk.headerSound = true;
  if (chunk.header.isEndMarker()) return {};
  failure = readChunkPayload(window, claim, chunk.header, chunk.payload);
  if (failure.failed()) return failure;
  return Failure::ofDamage(expandPayload(chunk.payload,
                                         chunk.header.payloadSize, out,
                                         chunk.header.dataSize));
}

}  // namespace kob

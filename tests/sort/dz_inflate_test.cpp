// Tests for inflating ##DZ payloads and reversing their byte transposition.
#include "sort/dz_inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "block/format.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Deflate(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 6), Z_OK);
  out.resize(size);
  return out;
}

// The writer's side of zip type 1: rows of `columns` bytes stored column by column, tail as is.
Bytes Transpose(const Bytes& data, size_t columns) {
  const size_t rows = data.size() / columns;
  Bytes out(data);
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < columns; ++c) out[c * rows + r] = data[r * columns + c];
  return out;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

DZInput Input(const Bytes& payload, uint8_t zipType = fmt::kZipDeflate, uint32_t columns = 0) {
  return DZInput{payload.data(), payload.size(), payload.size(), zipType, columns};
}

// The n inflated bytes, or nothing on failure.
std::optional<Bytes> Inflated(const DZInput& in, uint64_t n, InflateBuffers& buffers) {
  std::unique_ptr<uint8_t[]> out = InflateFragment(in, n, buffers);
  if (!out) return std::nullopt;
  return Bytes(out.get(), out.get() + n);
}

TEST(DzInflate, DeflateOnlyReturnsTheInflatedBytes) {
  const Bytes data = Random(5000, 1);
  const Bytes payload = Deflate(data);
  // Only zip type 1 transposes; every other value means deflate only, whatever the parameter.
  for (uint8_t zipType : {uint8_t{0}, uint8_t{7}, uint8_t{255}}) {
    InflateBuffers buffers;
    EXPECT_EQ(Inflated(Input(payload, zipType, 3), data.size(), buffers), data) << int{zipType};
  }
}

TEST(DzInflate, ReadsOnlyDataLengthBytesOfTheStoredPayload) {
  const Bytes data = Random(300, 2);
  Bytes payload = Deflate(data);
  const uint64_t streamSize = payload.size();
  payload.insert(payload.end(), 16, 0xEE);  // stored bytes behind the stream
  InflateBuffers buffers;
  DZInput in{payload.data(), payload.size(), streamSize, fmt::kZipDeflate, 0};
  EXPECT_EQ(Inflated(in, data.size(), buffers), data);

  // A dataLength that cuts the stream short is a truncated stream, even with the rest stored.
  in.dataLength = streamSize - 4;
  EXPECT_EQ(InflateFragment(in, data.size(), buffers), nullptr);
}

TEST(DzInflate, FailedStreamsDoNotSpoilTheNextOnes) {
  // The decoder state kept in the buffers is reused after every kind of failure.
  const Bytes data = Random(20000, 12);
  const Bytes plain = Deflate(data);
  const Bytes transposed = Deflate(Transpose(data, 16));
  Bytes corrupt = plain;
  corrupt[corrupt.size() / 2] ^= 0x10;
  const Bytes truncated(plain.begin(), plain.begin() + plain.size() / 3);
  InflateBuffers buffers;
  // The last one is a good stream asked for one byte more than it holds.
  const Bytes* const failing[] = {&corrupt, &truncated, &plain};
  for (const Bytes* bad : failing) {
    const uint64_t n = bad == &plain ? data.size() + 1 : data.size();
    EXPECT_EQ(InflateFragment(Input(*bad), n, buffers), nullptr);
    EXPECT_TRUE(Inflated(Input(plain), data.size(), buffers) == data);
    EXPECT_TRUE(Inflated(Input(transposed, fmt::kZipTransposeDeflate, 16), data.size(), buffers) ==
                data);
  }
  // The buffers, decoder included, move with their owner.
  InflateBuffers moved = std::move(buffers);
  EXPECT_TRUE(Inflated(Input(plain), data.size(), moved) == data);
}

TEST(DzInflate, TransposedRowsAreRestoredAndTheTailStays) {
  // Three records of three bytes and one tail byte T.
  const Bytes stored = {0xA0, 0xB0, 0xC0, 0xA1, 0xB1, 0xC1, 0xA2, 0xB2, 0xC2, 0x7E};
  const Bytes expected = {0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0xC0, 0xC1, 0xC2, 0x7E};
  InflateBuffers buffers;
  EXPECT_EQ(Inflated(Input(Deflate(stored), fmt::kZipTransposeDeflate, 3), 10, buffers), expected);
}

TEST(DzInflate, MalformedBlocksFail) {
  const Bytes data = Random(4000, 5);
  const Bytes payload = Deflate(data);
  InflateBuffers buffers;

  const Bytes truncated(payload.begin(), payload.end() - 10);
  EXPECT_EQ(InflateFragment(Input(truncated), data.size(), buffers), nullptr);
  Bytes badCheck = payload;
  badCheck.back() ^= 0x01;  // last byte of the Adler-32 trailer
  EXPECT_EQ(InflateFragment(Input(badCheck), data.size(), buffers), nullptr);
  EXPECT_EQ(InflateFragment(Input(Random(500, 6)), data.size(), buffers), nullptr);

  // Fewer stored bytes than the stream claims: refused without inflating.
  DZInput shortStored = Input(payload);
  shortStored.payloadSize = payload.size() - 1;
  EXPECT_EQ(InflateFragment(shortStored, data.size(), buffers), nullptr);

  // Transposition with zero columns.
  EXPECT_EQ(InflateFragment(Input(payload, fmt::kZipTransposeDeflate, 0), data.size(), buffers),
            nullptr);
}

TEST(DzInflate, OutputLengthMustMatchTheStreamExactly) {
  const Bytes data(4000, 0xFF);
  const Bytes payload = Deflate(data);
  InflateBuffers buffers;
  EXPECT_EQ(InflateFragment(Input(payload), data.size() - 1, buffers), nullptr);  // needs more
  EXPECT_EQ(InflateFragment(Input(payload), data.size() + 1, buffers), nullptr);  // ends early

  // After a full fragment the buffer holds its bytes; a shorter stream must not pass them on.
  ASSERT_NE(InflateFragment(Input(payload), data.size(), buffers), nullptr);
  EXPECT_EQ(InflateFragment(Input(Deflate(Bytes(100, 0x11))), 200, buffers), nullptr);
}

TEST(DzInflate, ImpossibleLengthsAreRefusedBeforeAllocating) {
  const Bytes payload = Deflate(Bytes(1000, 0));
  InflateBuffers buffers;
  const uint64_t limit = kMaxInflateRatio * payload.size() + kInflateSlack;
  EXPECT_EQ(InflateFragment(Input(payload), limit + 1, buffers), nullptr);
  EXPECT_EQ(InflateFragment(Input(payload), 0xFFFFFFFFull, buffers), nullptr);
  EXPECT_EQ(InflateFragment(Input(payload), 0x100000000ull, buffers), nullptr);

  // A dataLength above 32 bits is refused whatever is stored.
  DZInput huge = Input(payload);
  huge.payloadSize = huge.dataLength = 0x100000000ull;
  EXPECT_EQ(InflateFragment(huge, 1000, buffers), nullptr);

  EXPECT_TRUE(buffers.inflate.empty());
  EXPECT_TRUE(buffers.untranspose.empty());
}

}  // namespace
}  // namespace qm

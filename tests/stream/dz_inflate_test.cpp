// Tests for inflating ##DZ payloads and reversing their byte transposition.
#include "stream/dz_inflate.h"

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

TEST(DzInflate, TransposedRowsAreRestoredAndTheTailStays) {
  // Three records of three bytes and one tail byte.
  const Bytes stored = {0xA0, 0xB0, 0xC0, 0xA1, 0xB1, 0xC1, 0xA2, 0xB2, 0xC2, 0x7E};
  const Bytes expected = {0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0xC0, 0xC1, 0xC2, 0x7E};
  InflateBuffers buffers;
  EXPECT_EQ(Inflated(Input(Deflate(stored), fmt::kZipTransposeDeflate, 3), 10, buffers), expected);
}

// Every kind of malformed block fails, and the decoder state kept in the buffers is reused
// after each failure for good streams, plain and transposed.
TEST(DzInflate, MalformedBlocksFailAndDoNotSpoilTheNextOnes) {
  const Bytes data = Random(20000, 12);
  Bytes transposed(data);  // the writer's side of zip type 1: rows of 16 bytes column by column
  for (size_t r = 0; r < data.size() / 16; ++r)
    for (size_t c = 0; c < 16; ++c) transposed[c * (data.size() / 16) + r] = data[r * 16 + c];
  const Bytes plain = Deflate(data), packed = Deflate(transposed), garbage = Random(500, 6);
  Bytes corrupt = plain, badCheck = plain;
  corrupt[corrupt.size() / 2] ^= 0x10;
  badCheck.back() ^= 0x01;  // last byte of the Adler-32 trailer
  const Bytes cutInMiddle(plain.begin(), plain.begin() + plain.size() / 3), cutAtEnd(plain.begin(), plain.end() - 10);
  DZInput shortStored = Input(plain);
  shortStored.payloadSize = plain.size() - 1;  // fewer stored bytes than the stream claims: not inflated
  const uint64_t n = data.size();
  const struct { const char* what; DZInput in; uint64_t n; } cases[] = {
      {"corrupt stream", Input(corrupt), n},         {"cut in the middle", Input(cutInMiddle), n},
      {"cut before the end", Input(cutAtEnd), n},    {"bad check value", Input(badCheck), n},
      {"no stream at all", Input(garbage), n},       {"stored bytes short", shortStored, n},
      {"zero columns", Input(plain, fmt::kZipTransposeDeflate, 0), n},
      {"stream ends early", Input(plain), n + 1},    {"stream holds more", Input(plain), n - 1}};
  InflateBuffers buffers;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(InflateFragment(c.in, c.n, buffers), nullptr);
    EXPECT_TRUE(Inflated(Input(plain), n, buffers) == data);
    EXPECT_TRUE(Inflated(Input(packed, fmt::kZipTransposeDeflate, 16), n, buffers) == data);
  }
  // After a full fragment the buffer holds its bytes; a shorter stream must not pass them on.
  EXPECT_EQ(InflateFragment(Input(Deflate(Bytes(100, 0x11))), 200, buffers), nullptr);
  // The buffers, decoder included, move with their owner.
  InflateBuffers moved = std::move(buffers);
  EXPECT_TRUE(Inflated(Input(plain), n, moved) == data);
}

TEST(DzInflate, ImpossibleLengthsAreRefusedBeforeAllocating) {
  const Bytes payload = Deflate(Bytes(1000, 0));
  InflateBuffers buffers;
  for (uint64_t n : {uint64_t{kMaxInflateRatio * payload.size() + kInflateSlack + 1}, uint64_t{0xFFFFFFFF}, uint64_t{1} << 32})
    EXPECT_EQ(InflateFragment(Input(payload), n, buffers), nullptr) << n;
  // A dataLength above 32 bits is refused whatever is stored.
  DZInput huge = Input(payload);
  huge.payloadSize = huge.dataLength = 0x100000000ull;
  EXPECT_EQ(InflateFragment(huge, 1000, buffers), nullptr);
  EXPECT_TRUE(buffers.inflate.empty());
  EXPECT_TRUE(buffers.untranspose.empty());
}

}  // namespace
}  // namespace qm

#include "engine/jpeg_markers.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/engine_test_support.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

struct FrameSize {
  bool found = false;
  uint32_t width = 0, height = 0;
};

// The frame walk over `length` bytes at `offset` of a file in memory, from
// just after the first two bytes.
FrameSize Walk(const Bytes& file, int64_t offset, int64_t length, FrameWalkRules rules) {
  MemoryJpegReader reader(file.data(), file.size());
  FrameSize out;
  out.found = FindJpegFrame(reader, offset + 2, offset + length, rules, &out.width, &out.height);
  return out;
}

FrameSize Strict(const Bytes& file, int64_t offset, int64_t length) {
  return Walk(file, offset, length, kStrictFrameWalk);
}

FrameSize WholeFile(const Bytes& file, FrameWalkRules rules) {
  return Walk(file, 0, static_cast<int64_t>(file.size()), rules);
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// SOI, then `between`, then a baseline frame header of 16 x 8.
Bytes FrameAfter(const Bytes& between) {
  Bytes out = {0xFF, 0xD8};
  out.insert(out.end(), between.begin(), between.end());
  const Bytes frame = {0xFF, 0xC0, 0, 11, 8, 0, 8, 0, 16, 1, 1, 0x11, 0};
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

}  // namespace

TEST(JpegFrameWalk, ReadsTheFrameHeaderOfAnyProcessWithinTheStream) {
  const Bytes jpeg = Jpeg(72, 40, 3, JpegApp::Exif);
  FrameSize size = Strict(jpeg, 0, static_cast<int64_t>(jpeg.size()));
  ASSERT_TRUE(size.found);
  EXPECT_EQ(size.width, 72u);
  EXPECT_EQ(size.height, 40u);
  // Progressive (SOF2) and fill bytes before a marker.
  Bytes progressive = InsertSegmentAfterSoi(jpeg, 0xFE, Text("comment"));
  progressive.insert(progressive.begin() + 2, 0xFF);
  for (size_t i = 2; i + 1 < progressive.size(); ++i)
    if (progressive[i] == 0xFF && progressive[i + 1] == 0xC0) progressive[i + 1] = 0xC2;
  size = Strict(progressive, 0, static_cast<int64_t>(progressive.size()));
  ASSERT_TRUE(size.found);
  EXPECT_EQ(size.width, 72u);
  // Placed inside a larger file.
  const Bytes placed = AtOffset(1000, jpeg);
  size = Strict(placed, 1000, static_cast<int64_t>(jpeg.size()));
  ASSERT_TRUE(size.found);
  EXPECT_EQ(size.height, 40u);
  // TEM and restart markers stand alone; Huffman tables (C4) and
  // arithmetic conditioning (CC) share the frame range without being frames:
  // guards taking a table's bytes for the image's size.
  const Bytes tables = FrameAfter(
      {0xFF, 0x01, 0xFF, 0xD3, 0xFF, 0xC4, 0, 4, 0x7F, 0x7F, 0xFF, 0xCC, 0, 4, 0x7F, 0x7F});
  for (FrameWalkRules rules : {kStrictFrameWalk, kLenientFrameWalk}) {
    size = WholeFile(tables, rules);
    ASSERT_TRUE(size.found);
    EXPECT_EQ(size.width, 16u);
    EXPECT_EQ(size.height, 8u);
  }
}

TEST(JpegFrameWalk, HostileStreamsGiveNoSize) {
  const Bytes jpeg = Jpeg(72, 40);
  const int64_t size = static_cast<int64_t>(jpeg.size());
  // A stream cut before its frame header: guards reading past the preview.
  EXPECT_FALSE(Strict(jpeg, 0, 40).found);
  // A stream said to be longer than the data it lies in: guards reading
  // beyond the data on the strength of a stored length.
  EXPECT_FALSE(Strict(Bytes(jpeg.begin(), jpeg.begin() + 40), 0, size).found);
  EXPECT_FALSE(Strict(jpeg, size - 10, 100).found);
  // A segment length of 0 or 1: guards a walk that does not move forward.
  Bytes stalled = jpeg;
  stalled[4] = 0;
  stalled[5] = 1;
  EXPECT_FALSE(Strict(stalled, 0, size).found);
  EXPECT_FALSE(WholeFile(stalled, kLenientFrameWalk).found);
  // The scan or the end of the image before any frame header: guards reading
  // entropy-coded data as markers.
  EXPECT_FALSE(WholeFile({0xFF, 0xD8, 0xFF, 0xDA, 0, 2, 0xFF, 0xD9}, kStrictFrameWalk).found);
  EXPECT_FALSE(WholeFile(FrameAfter({0xFF, 0xD9}), kLenientFrameWalk).found);
  // A frame of height 0 is found, with its zero: the callers refuse it.
  const Bytes zero_height = {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 0, 0, 16, 1, 1, 0x11, 0};
  const FrameSize zero = WholeFile(zero_height, kStrictFrameWalk);
  EXPECT_TRUE(zero.found);
  EXPECT_EQ(zero.height, 0u);
  // Bytes that are no markers at all: guards a placeholder text taken for
  // a JPEG.
  EXPECT_FALSE(WholeFile(Text("<Dummy preview image data>"), kLenientFrameWalk).found);
  EXPECT_FALSE(Strict(Text("<Dummy preview image data>"), 0, 26).found);
}

TEST(JpegFrameWalk, WhatTheLenientRulesForgive) {
  // A second SOI: passed over by the lenient walk, read as a segment (whose
  // length is the next marker's bytes) by the strict one.
  const Bytes repeated_soi = FrameAfter({0xFF, 0xD8});
  EXPECT_TRUE(WholeFile(repeated_soi, kLenientFrameWalk).found);
  EXPECT_FALSE(WholeFile(repeated_soi, kStrictFrameWalk).found);
  // A frame header whose size fields lie inside the data but whose segment
  // runs past the end: guards the strict walk reading beyond the preview.
  Bytes cut = FrameAfter({});
  cut.resize(cut.size() - 2);
  const FrameSize lenient = WholeFile(cut, kLenientFrameWalk);
  ASSERT_TRUE(lenient.found);
  EXPECT_EQ(lenient.width, 16u);
  EXPECT_FALSE(WholeFile(cut, kStrictFrameWalk).found);
  // A frame header too short to hold its size: the lenient walk reads the
  // bytes after it as long as they lie in the data.
  Bytes short_frame = {0xFF, 0xD8, 0xFF, 0xC0, 0, 2, 0xFF, 0x00, 0x09, 0x00, 0x05};
  const FrameSize forgiving = WholeFile(short_frame, kLenientFrameWalk);
  ASSERT_TRUE(forgiving.found);
  EXPECT_EQ(forgiving.height, 0x09u);
  EXPECT_EQ(forgiving.width, 0x05u);
  EXPECT_FALSE(WholeFile(short_frame, kStrictFrameWalk).found);
}

TEST(JpegSegmentHeader, MissingBytesReadAsAllOnes) {
  const Bytes bytes = {0xFF, 0xE1, 0x12};
  const MemorySource source(bytes);
  InputStream in(&source);
  const JpegSegmentHeader header = ReadJpegSegmentHeader(in);
  EXPECT_EQ(header.bytes_read, 3u);
  EXPECT_EQ(header.prefix, 0xFF);
  EXPECT_EQ(header.code, 0xE1);
  EXPECT_EQ(header.length, 0x12FF);
  EXPECT_EQ(in.Tell(), 3);
  const JpegSegmentHeader past_end = ReadJpegSegmentHeader(in);
  EXPECT_EQ(past_end.bytes_read, 0u);
}

TEST(JpegFrameFields, DecodedBigEndian) {
  const uint8_t fields[kFrameFieldsLength] = {12, 0x01, 0x02, 0x03, 0x04, 3};
  const JpegFrameHeader frame = DecodeJpegFrameHeader(fields);
  EXPECT_EQ(frame.precision, 12);
  EXPECT_EQ(frame.height, 0x0102);
  EXPECT_EQ(frame.width, 0x0304);
  EXPECT_EQ(frame.components, 3);
}

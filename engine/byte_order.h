// Loads and stores of 16, 32 and 64-bit values in memory, in either byte
// order. Every reader of the engine that assembles a multi-byte value goes
// through these; none depends on the order of the machine it runs on.
#pragma once

#include <cstdint>
#include <cstring>

namespace engine {

// TIFF byte order marks. Where the engine takes an order mark as an
// argument, 0x4949 ("II") means little-endian and any other value
// big-endian, as the TIFF readers have always taken it.
constexpr uint16_t kLittleEndianMark = 0x4949;  // "II"
constexpr uint16_t kBigEndianMark = 0x4D4D;     // "MM"

inline uint16_t LoadBigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint16_t LoadLittleEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint32_t LoadLittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t LoadBigEndian64(const uint8_t* p) {
  return (static_cast<uint64_t>(LoadBigEndian32(p)) << 32) | LoadBigEndian32(p + 4);
}

inline uint64_t LoadLittleEndian64(const uint8_t* p) {
  return (static_cast<uint64_t>(LoadLittleEndian32(p + 4)) << 32) | LoadLittleEndian32(p);
}

inline void StoreBigEndian16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void StoreLittleEndian16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
  StoreBigEndian16(p, static_cast<uint16_t>(v >> 16));
  StoreBigEndian16(p + 2, static_cast<uint16_t>(v));
}

inline void StoreLittleEndian32(uint8_t* p, uint32_t v) {
  StoreLittleEndian16(p, static_cast<uint16_t>(v));
  StoreLittleEndian16(p + 2, static_cast<uint16_t>(v >> 16));
}

// The same by order mark.
inline uint16_t Load16(const uint8_t* p, uint16_t order) {
  return order == kLittleEndianMark ? LoadLittleEndian16(p) : LoadBigEndian16(p);
}

inline uint32_t Load32(const uint8_t* p, uint16_t order) {
  return order == kLittleEndianMark ? LoadLittleEndian32(p) : LoadBigEndian32(p);
}

inline uint64_t Load64(const uint8_t* p, uint16_t order) {
  return order == kLittleEndianMark ? LoadLittleEndian64(p) : LoadBigEndian64(p);
}

inline void Store16(uint8_t* p, uint16_t v, uint16_t order) {
  if (order == kLittleEndianMark)
    StoreLittleEndian16(p, v);
  else
    StoreBigEndian16(p, v);
}

inline void Store32(uint8_t* p, uint32_t v, uint16_t order) {
  if (order == kLittleEndianMark)
    StoreLittleEndian32(p, v);
  else
    StoreBigEndian32(p, v);
}

// Byte order of the machine the engine runs on, as a TIFF order mark.
inline uint16_t HostByteOrder() {
  const uint16_t probe = 1;
  uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first ? kLittleEndianMark : kBigEndianMark;
}

}  // namespace engine

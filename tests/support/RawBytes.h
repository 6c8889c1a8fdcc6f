#pragma once

// Bytes that hostile peers send, written by hand in little endian: element
// headers, and sequences nested deeper than DCMTK could build them without
// recursing as deep.

#include <cstdint>
#include <string>

namespace rawbytes {

// The value in that many bytes, little endian.
inline std::string put(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

// An element's header, implicit VR, or explicit VR with a 4-byte length
// (OB, SQ) when vr is given.
inline std::string header(std::uint16_t group, std::uint16_t element, std::uint32_t length,
                          const char* vr = nullptr) {
  return put(group, 2) + put(element, 2) + (vr != nullptr ? std::string(vr, 2) + put(0, 2) : "") +
         put(length, 4);
}

// Referenced Series Sequences nested depth deep with undefined lengths, all
// closed at the end.
inline std::string nested(int depth, bool explicitVR) {
  const std::string open = header(0x0008, 0x1115, 0xFFFFFFFF, explicitVR ? "SQ" : nullptr) +
                           header(0xFFFE, 0xE000, 0xFFFFFFFF);
  const std::string close = header(0xFFFE, 0xE00D, 0) + header(0xFFFE, 0xE0DD, 0);
  std::string out;
  out.reserve((open.size() + close.size()) * static_cast<std::size_t>(depth));
  for (int i = 0; i < depth; ++i) out += open;
  for (int i = 0; i < depth; ++i) out += close;
  return out;
}

}  // namespace rawbytes

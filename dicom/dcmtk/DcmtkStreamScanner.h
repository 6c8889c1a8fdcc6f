#pragma once

// A look at a received data set's encoding before DCMTK parses it.
//
// DCMTK's parser descends recursively into sequences, on the receiving
// thread's stack, and reserves an element's whole declared length before its
// value arrives. A peer that nests sequences thousands deep, or declares a
// gigantic element, could therefore crash the station or take its memory
// with a few hundred kilobytes. The scanner walks the element headers of
// the byte stream as it arrives, PDV by PDV, keeping only a few bytes of
// state, and says when the object goes beyond the station's limits, before
// those bytes reach the parser.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dicom::dcmtk {

struct ScanLimits {
  int maxDepth = 64;                           // sequences inside sequences
  std::uint64_t maxElementBytes = 1ull << 31;  // one element's declared value
};

class StreamScanner {
 public:
  StreamScanner(E_TransferSyntax xfer, ScanLimits limits);
  ~StreamScanner();
  StreamScanner(const StreamScanner&) = delete;
  StreamScanner& operator=(const StreamScanner&) = delete;

  // Looks at the next bytes of the data set. Returns an empty string while
  // the object stays within the limits, the reason once it does not (every
  // later call returns the same reason).
  QString feed(const std::uint8_t* data, std::size_t size);

  // True once the header of the top-level Pixel Data has been seen: every
  // attribute before it has arrived.
  bool reachedPixelData() const { return reachedPixelData_; }
  // How many bytes of the stream came before that header.
  std::uint64_t pixelDataOffset() const { return pixelDataOffset_; }
  // The top-level Study Instance UID once its value has passed (trailing
  // padding removed); empty before, or when the object has none.
  const std::string& studyInstanceUID() const { return studyUID_; }

 private:
  struct Container {
    enum class Kind { Sequence, Item, PixelSequence } kind;
    std::uint64_t end;  // stream offset of its end; kUndefined until a delimiter
  };
  static constexpr std::uint64_t kUndefined = ~std::uint64_t{0};

  QString scan(const std::uint8_t* data, std::size_t size);
  QString header();
  QString open(Container::Kind kind, std::uint32_t length, std::uint64_t valueStart);
  int depth() const;
  std::uint16_t u16(std::size_t at) const;
  std::uint32_t u32(std::size_t at) const;

  bool explicitVR_;
  bool bigEndian_;
  ScanLimits limits_;
  std::vector<Container> stack_;
  std::uint8_t head_[12] = {};
  std::size_t headSize_ = 0;
  std::uint64_t offset_ = 0;  // bytes of the (inflated) stream looked at
  std::uint64_t skip_ = 0;    // value bytes still to pass over
  bool reachedPixelData_ = false;
  bool capturing_ = false;  // passing over the Study Instance UID's value
  std::string studyUID_;
  std::uint64_t pixelDataOffset_ = 0;
  QString problem_;

  struct Inflater;
  std::unique_ptr<Inflater> inflater_;  // the deflated transfer syntax only
};

}  // namespace dicom::dcmtk

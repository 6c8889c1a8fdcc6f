#include "DcmtkStreamScanner.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dctag.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace dicom::dcmtk {
namespace {

constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFFu;

// Explicit VRs whose length field is 4 bytes after 2 reserved bytes.
bool hasLongLength(char a, char b) {
  static const char* const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                      "SV", "UC", "UN", "UR", "UT", "UV"};
  return std::any_of(std::begin(kLong), std::end(kLong),
                     [a, b](const char* vr) { return vr[0] == a && vr[1] == b; });
}

}  // namespace

// Inflates the deflated transfer syntax's stream for the scan only; the
// parser inflates the original bytes on its own.
struct StreamScanner::Inflater {
  z_stream stream{};
  bool ended = false;
  Inflater() { inflateInit2(&stream, -MAX_WBITS); }
  ~Inflater() { inflateEnd(&stream); }
};

StreamScanner::StreamScanner(E_TransferSyntax xfer, ScanLimits limits)
    : explicitVR_(DcmXfer(xfer).isExplicitVR()),
      bigEndian_(DcmXfer(xfer).isBigEndian()),
      limits_(limits) {
  if (DcmXfer(xfer).getStreamCompression() != ESC_none) inflater_ = std::make_unique<Inflater>();
}

StreamScanner::~StreamScanner() = default;

QString StreamScanner::feed(const std::uint8_t* data, std::size_t size) {
  if (!problem_.isEmpty() || size == 0) return problem_;
  if (!inflater_) {
    problem_ = scan(data, size);
    return problem_;
  }
  if (inflater_->ended) return problem_;
  z_stream& z = inflater_->stream;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  std::uint8_t out[65536];
  while (z.avail_in > 0 && problem_.isEmpty()) {
    z.next_out = out;
    z.avail_out = sizeof out;
    const int status = inflate(&z, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      problem_ = "the deflated data set cannot be inflated";
      break;
    }
    problem_ = scan(out, sizeof out - z.avail_out);
    if (status == Z_STREAM_END) {
      inflater_->ended = true;
      break;
    }
    if (status == Z_BUF_ERROR) break;
  }
  return problem_;
}

QString StreamScanner::scan(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    if (skip_ > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, size));
      if (capturing_) {
        studyUID_.append(reinterpret_cast<const char*>(data), n);
        if (n == skip_) {
          capturing_ = false;
          while (!studyUID_.empty() && (studyUID_.back() == '\0' || studyUID_.back() == ' ')) {
            studyUID_.pop_back();
          }
        }
      }
      skip_ -= n;
      offset_ += n;
      data += n;
      size -= n;
      continue;
    }
    // Collect a header: 8 bytes tell the tag and, in explicit VR, whether
    // the length takes 4 more.
    const bool longForm = headSize_ >= 8 && explicitVR_ && u16(0) != 0xFFFE &&
                          hasLongLength(static_cast<char>(head_[4]), static_cast<char>(head_[5]));
    const std::size_t need = longForm ? 12 : 8;
    const std::size_t n = std::min(need - headSize_, size);
    std::memcpy(head_ + headSize_, data, n);
    headSize_ += n;
    offset_ += n;
    data += n;
    size -= n;
    if (headSize_ < need) continue;
    if (need == 8 && explicitVR_ && u16(0) != 0xFFFE &&
        hasLongLength(static_cast<char>(head_[4]), static_cast<char>(head_[5]))) {
      continue;  // the long form: 4 more bytes
    }
    QString problem = header();
    headSize_ = 0;
    if (!problem.isEmpty()) return problem;
  }
  return QString();
}

QString StreamScanner::header() {
  const std::uint64_t valueStart = offset_;
  // Containers of defined length end where their length says.
  while (!stack_.empty() && stack_.back().end != kUndefined &&
         valueStart - headSize_ >= stack_.back().end) {
    stack_.pop_back();
  }
  const std::uint16_t group = u16(0);
  const std::uint16_t element = u16(2);
  if (group == 0xFFFE) {
    const std::uint32_t length = u32(4);
    if (element == 0xE000) {
      if (!stack_.empty() && stack_.back().kind == Container::Kind::PixelSequence) {
        if (length == kUndefinedLength) return "a pixel data fragment of undefined length";
        if (length > limits_.maxElementBytes) return "a pixel data fragment above the size limit";
        skip_ = length;
        return QString();
      }
      // An item stands in a sequence and nowhere else: items nested in
      // items would be nesting the depth limit does not count.
      if (stack_.empty() || stack_.back().kind != Container::Kind::Sequence) {
        return "an item outside a sequence";
      }
      return open(Container::Kind::Item, length, valueStart);
    }
    if (element == 0xE00D) {
      if (!stack_.empty() && stack_.back().kind == Container::Kind::Item) stack_.pop_back();
      return QString();
    }
    if (element == 0xE0DD) {
      while (!stack_.empty()) {
        const Container::Kind kind = stack_.back().kind;
        stack_.pop_back();
        if (kind != Container::Kind::Item) break;
      }
    }
    return QString();
  }

  std::uint32_t length = 0;
  bool sequence = false;
  if (explicitVR_) {
    const char a = static_cast<char>(head_[4]), b = static_cast<char>(head_[5]);
    length = headSize_ == 12 ? u32(8) : u16(6);
    sequence = (a == 'S' && b == 'Q') || (length == kUndefinedLength);
  } else {
    length = u32(4);
    sequence = length == kUndefinedLength || DcmTag(group, element).getEVR() == EVR_SQ;
  }
  const bool pixelData = DcmTagKey(group, element) == DCM_PixelData;
  if (pixelData && stack_.empty()) {
    reachedPixelData_ = true;
    pixelDataOffset_ = valueStart - headSize_;
  }
  if (pixelData && length == kUndefinedLength) {
    return open(Container::Kind::PixelSequence, length, valueStart);
  }
  if (sequence) return open(Container::Kind::Sequence, length, valueStart);
  if (length > limits_.maxElementBytes) {
    return QString("element (%1,%2) declares %3 bytes, above the limit of %4")
        .arg(group, 4, 16, QChar('0'))
        .arg(element, 4, 16, QChar('0'))
        .arg(length)
        .arg(limits_.maxElementBytes);
  }
  skip_ = length;
  // A UID is at most 64 bytes; the study's is read on the way past.
  if (stack_.empty() && DcmTagKey(group, element) == DCM_StudyInstanceUID && length <= 64) {
    studyUID_.clear();
    capturing_ = length > 0;
  }
  return QString();
}

QString StreamScanner::open(Container::Kind kind, std::uint32_t length, std::uint64_t valueStart) {
  if (kind != Container::Kind::Item && depth() + 1 > limits_.maxDepth) {
    return QString("sequences nested deeper than %1 levels").arg(limits_.maxDepth);
  }
  stack_.push_back({kind, length == kUndefinedLength ? kUndefined : valueStart + length});
  return QString();
}

int StreamScanner::depth() const {
  return static_cast<int>(std::count_if(stack_.begin(), stack_.end(), [](const Container& c) {
    return c.kind != Container::Kind::Item;
  }));
}

std::uint16_t StreamScanner::u16(std::size_t at) const {
  // Items and delimiters are little endian in every transfer syntax but
  // big endian explicit, where everything is big endian.
  if (bigEndian_) return static_cast<std::uint16_t>((head_[at] << 8) | head_[at + 1]);
  return static_cast<std::uint16_t>(head_[at] | (head_[at + 1] << 8));
}

std::uint32_t StreamScanner::u32(std::size_t at) const {
  if (bigEndian_) {
    return (std::uint32_t{head_[at]} << 24) | (std::uint32_t{head_[at + 1]} << 16) |
           (std::uint32_t{head_[at + 2]} << 8) | head_[at + 3];
  }
  return head_[at] | (std::uint32_t{head_[at + 1]} << 8) | (std::uint32_t{head_[at + 2]} << 16) |
         (std::uint32_t{head_[at + 3]} << 24);
}

}  // namespace dicom::dcmtk

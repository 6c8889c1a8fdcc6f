#pragma once

// Synthetic mammography studies for the tests, the benchmarks and the demo
// archive: Digital Mammography X-Ray Image Storage - For Presentation
// objects with a plausible breast shape, written in any of the transfer
// syntaxes the station has to handle.

#include <QString>
#include <cstdint>
#include <vector>

namespace samples {

// What each image's header says about its view (Image Laterality, View
// Position, View Code Sequence) against its Series Description.
enum class HeaderViews {
  Consistent,     // all three, agreeing with the label
  Contradicting,  // all three, of the next view in L CC, R CC, L MLO, R MLO
  Absent,         // none of them
  CodeOnly,       // the View Code Sequence only, agreeing
};

enum class Syntax {
  ExplicitLittle,
  ImplicitLittle,
  Deflated,
  JpegLossless,
  JpegLs,
  Rle,
  Jpeg2000Lossless,
  Jpeg2000,  // lossy, at about 10 : 1
};

struct StudySpec {
  QString patientName = "Doe^Jane";
  QString patientID = "P0001";
  QString birthDate = "19600305";
  QString sex = "F";
  QString studyDate = "20240115";
  QString studyTime = "093000";
  QString studyDescription = "Mammography screening";
  QString accessionNumber = "A0001";
  // "" (no Specific Character Set; text written as Latin-1 bytes, which is
  // what unmarked objects from the field usually hold), "ISO_IR 100"
  // (Latin-1) or "ISO_IR 192" (UTF-8). Text is encoded accordingly.
  QString specificCharacterSet;
  QString studyInstanceUID;                          // empty: generated
  int rows = 4096, columns = 3328, bitsStored = 14;  // BitsAllocated 16
  QString photometric = "MONOCHROME2";               // or "MONOCHROME1"
  Syntax syntax = Syntax::ExplicitLittle;
  // JPEG 2000: the longest fragment of the pixel data in KiB, 0 for one
  // fragment per frame. Archives split codestreams either way.
  int fragmentKiB = 0;
  // Views cycle L CC, R CC, L MLO, R MLO (ImageLaterality, ViewPosition,
  // SeriesDescription); one series per view.
  int images = 4;
  HeaderViews headerViews = HeaderViews::Consistent;
  // Breast tomosynthesis objects written after the images, each one
  // multi-frame object of frames x tomoRows x tomoColumns 16-bit pixels,
  // labelled like the images (L CC, R CC, ...), in tomoSyntax (JPEG 2000:
  // one codestream per frame, split as fragmentKiB says). Their window is
  // in the functional groups the frames share, or with perFrameWindows one
  // of each frame's own, all different, in the per-frame groups.
  int tomoObjects = 0;
  int tomoFrames = 50;
  int tomoRows = 2457, tomoColumns = 1890;
  Syntax tomoSyntax = Syntax::ExplicitLittle;
  bool perFrameWindows = false;
  bool withWindow = true;  // WindowCenter/Width present
  unsigned seed = 1;       // same seed, same pixels
};

struct WrittenImage {
  QString path;
  QString sopInstanceUID;
  QString seriesDescription;
};

// Writes one study into folder (created when missing), one file per image.
// Throws std::runtime_error when the study cannot be made or written.
std::vector<WrittenImage> writeStudy(const StudySpec& spec, const QString& folder);

// The view label of the n-th image (0-based): "L CC", "R CC", "L MLO", "R MLO", ...
QString viewLabel(int index);

// The transfer syntax UID the syntax is written with.
QString transferSyntaxUID(Syntax syntax);

// Parses "explicit", "implicit", "deflated", "jpeg-lossless", "jpeg-ls",
// "rle", "jpeg2000-lossless", "jpeg2000"; returns false for anything else.
bool parseSyntax(const QString& name, Syntax& syntax);
QString syntaxName(Syntax syntax);

// The stored pixel values of the n-th image of a study, row by row, as they
// are written before any compression (MONOCHROME1 already inverted). Lets a
// test check that an object came back with the exact pixels it was made with.
std::vector<std::uint16_t> pixels(const StudySpec& spec, int index);

}  // namespace samples

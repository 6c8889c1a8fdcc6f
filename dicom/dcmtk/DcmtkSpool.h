#pragma once

// A received compressed object kept on the disk once its picture is decoded:
// the station holds its attributes, and its compressed fragments stay in a
// file of the station's own until something needs them (a store sends them
// as they arrived, a closer look decodes them again), and leave memory again
// afterwards.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <memory>

namespace dicom::dcmtk {

class SpoolFile {
 public:
  // Writes the object as it is to an unnamed file beside the executable
  // (it has no name and goes with the process, however the process ends)
  // and replaces it by the same object read back from there, its values
  // larger than 4 KiB left on the disk until they are used. Null, with the
  // object untouched, when the file cannot be made, written or read (the
  // object then stays in memory, as it arrived), and on systems without
  // unnamed files.
  static std::unique_ptr<SpoolFile> keep(std::unique_ptr<DcmFileFormat>& file);
  ~SpoolFile();
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

 private:
  explicit SpoolFile(int descriptor) : descriptor_(descriptor) {}
  int descriptor_;
};

// Takes out of memory again the values of an object kept by SpoolFile that
// a decode or a store loaded; nothing for an object in memory.
void releaseLoadedValues(DcmFileFormat& file);

}  // namespace dicom::dcmtk

#pragma once

#include <cstdint>

namespace dicom::dcmtk {

// What one receiver accepts; the README lists them with what the operator
// sees when each is reached.
struct ReceiverLimits {
  int associations = 16;  // served at once for any sender; one more is rejected at once
  // Served at once beyond those for the archive (associations calling from
  // its AE title while a retrieval or read-back from it runs), so that its
  // sub-operations get through when other senders hold every other slot.
  int archiveAssociations = 4;
  int waiting = 64;                           // connections still sending their association request
  int objectSeconds = 600;                    // one object, from its command to its last byte
  int maxDepth = 64;                          // sequences nested in sequences
  std::uint64_t objectBytes = 2ull << 30;     // one data set
  std::uint64_t retrievalBytes = 4ull << 30;  // every object of one retrieval
  int graceSeconds = 5;  // after a retrieval's move returned, for associations already open
};

}  // namespace dicom::dcmtk

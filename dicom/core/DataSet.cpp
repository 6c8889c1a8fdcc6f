#include "DataSet.h"

namespace dicom {

Attribute DataSet::attribute(std::uint32_t group, std::uint32_t element) const {
  auto it = elements_.find(makeTag(group, element));
  if (it == elements_.end()) return Attribute();
  return Attribute(it->second);
}

QString DataSet::text(Tag tag) const {
  auto it = elements_.find(tag);
  return it == elements_.end() ? QString("") : it->second;
}

}  // namespace dicom

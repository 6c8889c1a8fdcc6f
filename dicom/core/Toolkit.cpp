#include "Toolkit.h"

namespace dicom {

void Configuration::setValue(const QString& name, std::int32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_[name] = value;
}

std::int32_t Configuration::value(const QString& name, std::int32_t fallback) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

}  // namespace dicom

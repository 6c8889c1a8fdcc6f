#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "Query.h"
#include "StorageReceiver.h"

namespace dicom {

// Named configuration values of the toolkit, shared by everything it makes.
class Configuration {
 public:
  void setValue(const QString& name, std::int32_t value);
  // The value, or fallback when it was never set.
  std::int32_t value(const QString& name, std::int32_t fallback = 0) const;

 private:
  mutable std::mutex mutex_;
  std::map<QString, std::int32_t> values_;
};

// A short-lived handle on the configuration, as the program's load step uses it.
class Settings {
 public:
  explicit Settings(Configuration& configuration) : configuration_(configuration) {}
  void setValue(const QString& name, std::int32_t value) { configuration_.setValue(name, value); }
  std::int32_t value(const QString& name) const { return configuration_.value(name); }

 private:
  Configuration& configuration_;
};

// The factory of the DICOM layer. The program holds one; only the
// composition root knows which concrete toolkit it is.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  virtual std::unique_ptr<Query> newQuery() = 0;
  virtual std::unique_ptr<StorageReceiver> newReceiver() = 0;

  Settings newSettings() { return Settings(configuration_); }
  Configuration& configuration() { return configuration_; }

 private:
  Configuration configuration_;
};

}  // namespace dicom

#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <map>

namespace modError {

// Keeps the error log readable, and bounded, when a sender keeps sending
// what the station refuses: the first refusal from a sender is logged in
// full; further refusals from it within the next minute are only counted,
// and one summary line tells how many there were once that minute is over.
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RefusalLog(QString procedureLabel,
                      std::chrono::seconds window = std::chrono::minutes(1));

  // A refused object from a sender (its AE title and address).
  void record(const QString& sender, std::int32_t number, const QString& description,
              Clock::time_point now = Clock::now());
  // Writes the summary of every sender whose minute is over.
  void flush(Clock::time_point now = Clock::now());
  // True while refusals wait for their summary.
  bool pending() const { return !senders_.empty(); }

 private:
  struct Sender {
    Clock::time_point since;
    int held = 0;  // refusals counted, not written
    std::int32_t lastNumber = 0;
  };
  void summarise(const QString& sender, const Sender& state);

  QString label_;
  std::chrono::seconds window_;
  std::map<QString, Sender> senders_;
};

}  // namespace modError

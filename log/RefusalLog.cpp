#include "RefusalLog.h"

#include "modError.h"

namespace modError {

RefusalLog::RefusalLog(QString procedureLabel, std::chrono::seconds window)
    : label_(std::move(procedureLabel)), window_(window) {}

void RefusalLog::record(const QString& sender, std::int32_t number, const QString& description,
                        Clock::time_point now) {
  auto it = senders_.find(sender);
  if (it != senders_.end() && now - it->second.since < window_) {
    ++it->second.held;
    it->second.lastNumber = number;
    return;
  }
  if (it != senders_.end()) summarise(sender, it->second);
  LogError(number, description, label_);
  senders_[sender] = Sender{now, 0, number};
}

void RefusalLog::flush(Clock::time_point now) {
  for (auto it = senders_.begin(); it != senders_.end();) {
    if (now - it->second.since < window_) {
      ++it;
      continue;
    }
    summarise(it->first, it->second);
    it = senders_.erase(it);
  }
}

void RefusalLog::summarise(const QString& sender, const Sender& state) {
  if (state.held == 0) return;
  LogError(state.lastNumber,
           QString("The station refused %1 more object(s) from %2 in the %3 s after the refusal "
                   "logged before; they were not logged one by one.")
               .arg(state.held)
               .arg(sender)
               .arg(window_.count()),
           label_);
}

}  // namespace modError

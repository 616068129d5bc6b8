// The rules pack, purge and link apply to both formats alike.

#include <algorithm>
#include <unordered_map>

#include "msgbase/maintenance_internal.h"

namespace drayline {

// ---- KeptNumbers ----

bool KeptNumbers::Kept(uint32_t number) const {
  return std::binary_search(kept_.begin(), kept_.end(), number);
}

bool KeptNumbers::Removed(uint32_t number) const {
  if (number == 0 || Kept(number)) return false;
  if (range_ && number >= range_lo_ && number <= range_hi_) return true;
  return std::binary_search(removed_.begin(), removed_.end(), number);
}

uint32_t KeptNumbers::New(uint32_t kept_number) const {
  if (!renumber_) return kept_number;
  const auto at = std::lower_bound(kept_.begin(), kept_.end(), kept_number);
  return first_new_ + static_cast<uint32_t>(at - kept_.begin());
}

uint32_t KeptNumbers::Pointer(uint32_t number) const {
  if (Kept(number)) return New(number);
  if (Removed(number)) {
    // The nearest earlier message that remains.
    const auto at = std::lower_bound(kept_.begin(), kept_.end(), number);
    return at == kept_.begin() ? 0 : New(*(at - 1));
  }
  if (renumber_ && !kept_.empty() && number > kept_.back()) return New(kept_.back());
  return number;
}

uint32_t KeptNumbers::Link(uint32_t number) const {
  if (Kept(number)) return New(number);
  return Removed(number) ? 0 : number;
}

// ---- Purge ----

int64_t DayNumber(uint16_t year, uint16_t month, uint16_t day) {
  if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
  // Days from civil (proleptic Gregorian), counted from 1970-01-01.
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::vector<uint32_t> SelectPurged(const std::vector<PurgeCandidate>& candidates,
                                   int64_t today, uint32_t max_age, uint32_t max_msgs,
                                   bool keep_unreceived, size_t protected_count) {
  const auto purgeable = [&](size_t i) {
    return i >= protected_count && !(keep_unreceived && !candidates[i].received);
  };
  std::vector<bool> gone(candidates.size(), false);
  size_t left = candidates.size();
  for (size_t i = 0; max_age > 0 && i < candidates.size(); ++i) {
    if (purgeable(i) && today - candidates[i].stored_day > static_cast<int64_t>(max_age)) {
      gone[i] = true;
      --left;
    }
  }
  // The oldest of those left go until max_msgs remain (or none may go).
  for (size_t i = 0; max_msgs > 0 && left > max_msgs && i < candidates.size(); ++i) {
    if (!gone[i] && purgeable(i)) {
      gone[i] = true;
      --left;
    }
  }
  std::vector<uint32_t> out;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (gone[i]) out.push_back(candidates[i].number);
  }
  return out;
}

// ---- Threading ----

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// FNV-1a over the bytes, lower-cased when fold; never 0.
uint64_t Hash(std::string_view text, bool fold) {
  uint64_t h = 1469598103934665603ull;
  for (char c : text) {
    h ^= static_cast<uint8_t>(fold ? Lower(c) : c);
    h *= 1099511628211ull;
  }
  return h == 0 ? 1 : h;
}

}  // namespace

uint64_t IdHash(std::string_view text) { return text.empty() ? 0 : Hash(text, false); }

uint64_t SubjectHash(std::string_view subject) {
  for (;;) {
    if (subject.size() < 4 || Lower(subject[0]) != 'r' || Lower(subject[1]) != 'e' ||
        subject[2] != ':' || subject[3] != ' ') {
      break;
    }
    subject.remove_prefix(4);
  }
  return subject.empty() ? 0 : Hash(subject, true);
}

std::vector<uint32_t> ThreadReplies(const std::vector<ThreadKey>& keys) {
  std::unordered_map<uint64_t, uint32_t> by_msgid;   // earliest message of each MSGID
  std::unordered_map<uint64_t, uint32_t> by_subject;  // latest so far of each subject
  by_msgid.reserve(keys.size());
  for (const ThreadKey& k : keys) {
    if (k.msgid != 0) by_msgid.emplace(k.msgid, k.number);
  }
  std::vector<uint32_t> parent(keys.size(), 0);
  for (size_t i = 0; i < keys.size(); ++i) {
    const ThreadKey& k = keys[i];
    if (k.reply != 0) {
      const auto it = by_msgid.find(k.reply);
      if (it != by_msgid.end() && it->second != k.number) parent[i] = it->second;
    } else if (k.subject != 0) {
      const auto it = by_subject.find(k.subject);
      if (it != by_subject.end()) parent[i] = it->second;
    }
    if (k.subject != 0) by_subject[k.subject] = k.number;
  }
  return parent;
}

std::string ControlValue(std::string_view control, std::string_view kind) {
  const std::string key = "\x01" + std::string(kind) + ": ";
  const size_t at = control.find(key);
  if (at == std::string_view::npos) return {};
  const size_t from = at + key.size();
  size_t end = from;
  while (end < control.size() && control[end] != '\x01' && control[end] != '\r' &&
         control[end] != '\n' && control[end] != '\0') {
    ++end;
  }
  return std::string(control.substr(from, end - from));
}

}  // namespace drayline

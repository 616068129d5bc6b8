// The rules pack, purge and link apply to both formats alike.

#include <algorithm>
#include <bit>
#include <unordered_map>

#include "msgbase/maintenance_internal.h"

namespace drayline {

// ---- KeptNumbers ----

KeptNumbers::KeptNumbers(uint32_t first, std::vector<uint64_t> bits, bool renumber,
                         uint32_t first_new)
    : bits_(std::move(bits)), bits_first_(first), renumber_(renumber), first_new_(first_new) {
  ranks_.reserve(bits_.size());
  for (uint64_t word : bits_) {
    ranks_.push_back(static_cast<uint32_t>(count_));
    count_ += static_cast<size_t>(std::popcount(word));
  }
}

bool KeptNumbers::Kept(uint32_t number) const {
  if (bits_.empty()) return std::binary_search(kept_.begin(), kept_.end(), number);
  const uint64_t i = uint64_t{number} - bits_first_;
  return number >= bits_first_ && i / 64 < bits_.size() && (bits_[i / 64] >> (i % 64) & 1) != 0;
}

size_t KeptNumbers::Rank(uint32_t number) const {
  if (bits_.empty()) return std::lower_bound(kept_.begin(), kept_.end(), number) - kept_.begin();
  if (number <= bits_first_) return 0;
  const uint64_t i = uint64_t{number} - bits_first_;
  if (i / 64 >= bits_.size()) return count_;
  const uint64_t below = (uint64_t{1} << (i % 64)) - 1;
  return ranks_[i / 64] + static_cast<size_t>(std::popcount(bits_[i / 64] & below));
}

uint32_t KeptNumbers::Select(size_t i) const {
  if (bits_.empty()) return kept_[i];
  // The last word whose rank is at most i holds it.
  const auto after = std::upper_bound(ranks_.begin(), ranks_.end(), static_cast<uint32_t>(i));
  const size_t w = static_cast<size_t>(after - ranks_.begin() - 1);
  uint64_t word = bits_[w];
  for (size_t skip = i - ranks_[w]; skip > 0; --skip) word &= word - 1;  // drop the lowest bits
  return static_cast<uint32_t>(bits_first_ + w * 64 + static_cast<size_t>(std::countr_zero(word)));
}

bool KeptNumbers::Removed(uint32_t number) const {
  if (number == 0 || Kept(number)) return false;
  if (range_ && number >= range_lo_ && number <= range_hi_) return true;
  return std::binary_search(removed_.begin(), removed_.end(), number);
}

uint32_t KeptNumbers::New(uint32_t kept_number) const {
  if (!renumber_) return kept_number;
  return first_new_ + static_cast<uint32_t>(Rank(kept_number));
}

uint32_t KeptNumbers::Pointer(uint32_t number) const {
  if (Kept(number)) return New(number);
  if (Removed(number)) {
    // The nearest earlier message that remains.
    const size_t rank = Rank(number);
    return rank == 0 ? 0 : New(Select(rank - 1));
  }
  const size_t count = kept_count();
  if (renumber_ && count > 0 && number > Select(count - 1)) return New(Select(count - 1));
  return number;
}

uint32_t KeptNumbers::Link(uint32_t number) const {
  if (Kept(number)) return New(number);
  return Removed(number) ? 0 : number;
}

int64_t KeptNumbers::Renumbered() const {
  if (!renumber_) return 0;
  int64_t changed = 0;
  const size_t count = kept_count();
  for (size_t i = 0; i < count; ++i) changed += Select(i) != first_new_ + i;
  return changed;
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

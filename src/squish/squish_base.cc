// Placeholder definitions; replaced by the base-file code.
#include "squish/squish_message_base.h"

namespace drayline {

SquishMessageBase::SquishMessageBase(Env* env)
    : env_(env != nullptr ? env : Env::Default()) {}
SquishMessageBase::~SquishMessageBase() { Done(); }
void SquishMessageBase::Done() {}
void SquishMessageBase::SetPath(std::string_view path) { path_ = path; }
bool SquishMessageBase::OpenBase() { return false; }
void SquishMessageBase::CloseBase() {}
bool SquishMessageBase::CreateBase(uint16_t, uint16_t) { return false; }
bool SquishMessageBase::BaseExists() { return false; }
bool SquishMessageBase::LockBase() { return false; }
bool SquishMessageBase::UnlockBase() { return true; }
bool SquishMessageBase::OpenDataFile() { return false; }
bool SquishMessageBase::OpenIndexFile() { return false; }
void SquishMessageBase::CloseDataFile() {}
void SquishMessageBase::CloseIndexFile() {}
IoResult SquishMessageBase::ReadBaseHeader() { return 0; }
IoResult SquishMessageBase::WriteBaseHeader() { return 0; }
void SquishMessageBase::ReadIndex() {}
IoResult SquishMessageBase::WriteIndex() { return 0; }
uint16_t SquishMessageBase::IndexEntries() const { return 0; }
const squish::SquishIndexEntry* SquishMessageBase::IndexEntryAt(int64_t) const {
  return nullptr;
}

}  // namespace drayline

// The one place that knows both storage formats: it puts the engine of a
// format under the message-base layer.

#include "msgbase/factory.h"

#include <string>
#include <utility>

#include "drayline/change_options.h"
#include "drayline/check.h"
#include "jam/jam_engine.h"
#include "msgbase/engine_message_base.h"
#include "squish/squish_engine.h"

namespace drayline {

namespace {

std::unique_ptr<StorageEngine> NewEngine(BaseFormat format, Env* env) {
  return format == BaseFormat::kSquish ? NewSquishEngine(env)
                                       : NewJamEngine(env);
}

bool BaseOfFormatExists(BaseFormat format, Env* env, std::string_view path) {
  std::unique_ptr<StorageEngine> engine = NewEngine(format, env);
  if (engine == nullptr) return false;
  engine->SetPath(path);
  return engine->Exists();
}

}  // namespace

bool ChangeJournalPending(std::string_view path) {
  return Env::Default()->Exists(std::string(path) + std::string(kJournalSuffix));
}

std::unique_ptr<MessageBase> NewMessageBase(BaseFormat format, Env* env) {
  if (env == nullptr) env = Env::Default();
  std::unique_ptr<StorageEngine> engine = NewEngine(format, env);
  if (engine == nullptr) return nullptr;
  return std::make_unique<EngineMessageBase>(std::move(engine), env);
}

std::unique_ptr<MessageBase> NewJamMessageBase(Env* env) {
  return NewMessageBase(BaseFormat::kJam, env);
}

std::unique_ptr<MessageBase> NewSquishMessageBase(Env* env) {
  return NewMessageBase(BaseFormat::kSquish, env);
}

std::unique_ptr<MessageBase> NewJamMessageBase() {
  return NewMessageBase(BaseFormat::kJam, nullptr);
}

std::unique_ptr<MessageBase> NewSquishMessageBase() {
  return NewMessageBase(BaseFormat::kSquish, nullptr);
}

std::unique_ptr<MessageBase> NewMessageBase(BaseFormat format) {
  return NewMessageBase(format, nullptr);
}

Status DetectBaseFormat(Env* env, std::string_view path, BaseFormat* format) {
  if (env == nullptr) env = Env::Default();
  const bool jam = BaseOfFormatExists(BaseFormat::kJam, env, path);
  const bool squish = BaseOfFormatExists(BaseFormat::kSquish, env, path);
  if (jam && squish) {
    return Status::InvalidArgument("both a JAM and a Squish base at " +
                                   std::string(path));
  }
  if (!jam && !squish) {
    return Status::FromIo(io::kFileNotFound,
                          "no message base at " + std::string(path));
  }
  *format = jam ? BaseFormat::kJam : BaseFormat::kSquish;
  return Status();
}

std::unique_ptr<MessageBase> OpenMessageBase(std::string_view path,
                                             Status* status, Env* env,
                                             BaseFormat* format) {
  Status ignored;
  if (status == nullptr) status = &ignored;
  BaseFormat found = BaseFormat::kJam;
  *status = DetectBaseFormat(env, path, &found);
  if (!status->ok()) return nullptr;
  std::unique_ptr<MessageBase> base = NewMessageBase(found, env);
  if (base == nullptr) {
    *status = Status::FromIo(io::kNoZeroBlock, "no memory for the base");
    return nullptr;
  }
  base->SetPath(path);
  if (!base->OpenBase()) {
    *status = base->LastStatus();
    return nullptr;
  }
  if (format != nullptr) *format = found;
  return base;
}

std::unique_ptr<MessageBase> OpenMessageBase(std::string_view path,
                                             Status* status) {
  return OpenMessageBase(path, status, nullptr);
}

}  // namespace drayline

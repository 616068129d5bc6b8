// CheckBase with the file layer and the limits given, for tests (which
// inject changes and locks through the Env) and for tools that tune it.

#ifndef DRAYLINE_MSGBASE_CHECK_INTERNAL_H_
#define DRAYLINE_MSGBASE_CHECK_INTERNAL_H_

#include <cstddef>
#include <string_view>

#include "drayline/check.h"
#include "support/env.h"

namespace drayline {

struct CheckOptions {
  // How long to wait for the lock (retrying every lock_retry_ms) before
  // the problems are reported as read without it, with a note saying so.
  unsigned lock_wait_ms = 1000;
  unsigned lock_retry_ms = 50;
  // Problems listed per base; the rest are counted in one last entry.
  size_t max_problems = 1000;
  // Readings of a base found changed under the lock before the check gives
  // up with kLocked.
  int attempts = 3;
};

// CheckBase of drayline/check.h through env. env must outlive the call.
CheckReport CheckBase(Env* env, std::string_view path, const CheckOptions& options = {});

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_CHECK_INTERNAL_H_

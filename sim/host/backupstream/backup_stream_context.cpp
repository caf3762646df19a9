#include "backup_stream_context.h"

#include <atomic>

#include "backup_stream_emulation.h"

namespace backup_stream {
namespace {
std::atomic<std::size_t> g_live_contexts{0};
}  // namespace

Context::Context(Direction d) : direction(d) { ++g_live_contexts; }

Context::~Context() {
  magic = 0;
  --g_live_contexts;
}

Start BeginCall(LPBYTE buffer, DWORD size, LPDWORD done, BOOL abort, LPVOID* context,
                Direction direction, Context** out) {
  if (done) *done = 0;
  *out = nullptr;
  if (abort) {
    if (context) {
      auto ctx = static_cast<Context*>(*context);
      if (ctx && ctx->magic == Context::kMagic) delete ctx;
      *context = nullptr;
    }
    return Start::kReturnTrue;
  }
  if (!done || !context || (!buffer && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return Start::kReturnFalse;
  }
  auto ctx = static_cast<Context*>(*context);
  if (ctx && (ctx->magic != Context::kMagic || ctx->direction != direction)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return Start::kReturnFalse;
  }
  if (size == 0) return Start::kReturnTrue;
  *out = ctx;
  return Start::kProceed;
}

}  // namespace backup_stream

std::size_t EmulatedBackupLiveContexts() { return backup_stream::g_live_contexts; }

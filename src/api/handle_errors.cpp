// Recording errors in the host's handle.
#include "api/handle_errors.h"

#include <string>

#include "file/xml_text.h"
#include "platform/platform.h"

namespace qm::api {

void RecordError(MDF4Handle* h, int32_t code, std::u16string_view message) {
  if (h == nullptr) return;
  const std::u16string text(message);
  h->errorCode = code;
  h->errorMessage = reinterpret_cast<QM_CHAR16*>(os::AllocMessage(text.c_str()));
}

void RecordGroupNotFound(MDF4Handle* h, const char* name) {
  // A long name is cut so that the message fits its buffer.
  RecordError(h, MDF4_ERR_GROUP, formatTruncated(kMessageCapacity, kMsgGroupNotFound, {FormatArg(name)}));
}

MDF4FileContext* UsableContext(MDF4Handle* h) {
  if (h == nullptr) return nullptr;
  MDF4FileContext* ctx = h->file;
  if (ctx != nullptr && ctx->ready && ctx->file.Direct().IsOpen() && !ctx->damaged) return ctx;
  if (h->errorCode == 0 && ctx != nullptr && ctx->damaged) RecordError(h, MDF4_ERR_WRITE, kMsgWrite);
  if (h->errorCode == 0) RecordError(h, MDF4_ERR_INVALID_ARGUMENT, kMsgInvalid);
  return nullptr;
}

}  // namespace qm::api

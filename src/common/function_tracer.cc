#include "common/function_tracer.h"

#include "common/log.h"
#include "platform/log_controller.h"

namespace Logic {

CFunctionTracer::CFunctionTracer(const char16_t* tag, const char16_t* function,
                                 const char16_t* args)
    : tag_(tag), function_(function), args_(args ? args : u"") {
  Log(kLogTrace, tag_, u"%s(%s) {", function_, args_);
  if (halcy::ILogController* controller = GetLogController()) controller->Indent();
}

CFunctionTracer::~CFunctionTracer() {
  if (halcy::ILogController* controller = GetLogController()) controller->Unindent();
  Log(kLogTrace, tag_, u"} %s(%s)", function_, args_);
}

}  // namespace Logic

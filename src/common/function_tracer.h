// CFunctionTracer writes an entry line "name(args) {" and indents the thread's log, then on
// scope exit unindents and writes "} name(args)", both at level 5 under "function;".
// Lives on one thread (the indent is per thread); the strings must outlive the tracer.
//
//   void CChannel::Connect() { Logic::CFunctionTracer trace(u"function;", u"CChannel::Connect",
//   u""); ... }
#pragma once

namespace Logic {

class CFunctionTracer {
 public:
  CFunctionTracer(const char16_t* tag, const char16_t* function, const char16_t* args);
  ~CFunctionTracer();
  CFunctionTracer(const CFunctionTracer&) = delete;
  CFunctionTracer& operator=(const CFunctionTracer&) = delete;

 private:
  const char16_t* tag_;
  const char16_t* function_;
  const char16_t* args_;
};

}  // namespace Logic

// Messages built from an hcbase tuple, and reading a tuple back out of a message.
//
//   using MsgLoad = IPC::CMessageWithTuple<hcbase::Tuple2<int32_t, std::u16string>>;
//   auto* msg = new MsgLoad(false, 0x07000001, {7, u"C:\\ext\\lib.dll"});
//
//   hcbase::Tuple2<int32_t, std::u16string> args;
//   if (!IPC::ReadTuple(received, &args)) return;  // truncated or malformed: ignored
//
// Member types: int32_t, uint32_t and bool (4 bytes; a bool is carried as an int), int64_t
// and uint64_t (8 bytes), std::u16string (count, then UTF-16 code units).
// Thread-safety: as for IPC::CMessage.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/ipc_message.h"
#include "thread/tuple.h"

namespace IPC {

inline bool WriteParam(CMessage* m, int32_t v) { return m->WriteInt(v); }
inline bool WriteParam(CMessage* m, uint32_t v) { return m->WriteUInt(v); }
inline bool WriteParam(CMessage* m, bool v) { return m->WriteInt(v ? 1 : 0); }
inline bool WriteParam(CMessage* m, int64_t v) { return m->WriteInt64(v); }
inline bool WriteParam(CMessage* m, uint64_t v) { return m->WriteInt64(static_cast<int64_t>(v)); }
inline bool WriteParam(CMessage* m, const std::u16string& v) { return m->WriteString(v); }

inline bool ReadParam(const CMessage& m, const char** it, int32_t* v) { return m.ReadInt(it, v); }
inline bool ReadParam(const CMessage& m, const char** it, uint32_t* v) { return m.ReadUInt(it, v); }
inline bool ReadParam(const CMessage& m, const char** it, bool* v) {
  int32_t i;
  if (!m.ReadInt(it, &i)) return false;
  *v = i != 0;
  return true;
}
inline bool ReadParam(const CMessage& m, const char** it, int64_t* v) { return m.ReadInt64(it, v); }
inline bool ReadParam(const CMessage& m, const char** it, uint64_t* v) {
  int64_t i;
  if (!m.ReadInt64(it, &i)) return false;
  *v = static_cast<uint64_t>(i);
  return true;
}
inline bool ReadParam(const CMessage& m, const char** it, std::u16string* v) {
  return m.ReadString(it, v);
}

inline bool WriteTuple(CMessage*, const hcbase::Tuple0&) { return true; }
template <class A>
bool WriteTuple(CMessage* m, const hcbase::Tuple1<A>& t) {
  return WriteParam(m, t.a);
}
template <class A, class B>
bool WriteTuple(CMessage* m, const hcbase::Tuple2<A, B>& t) {
  return WriteParam(m, t.a) && WriteParam(m, t.b);
}
template <class A, class B, class C>
bool WriteTuple(CMessage* m, const hcbase::Tuple3<A, B, C>& t) {
  return WriteParam(m, t.a) && WriteParam(m, t.b) && WriteParam(m, t.c);
}

// Reads the members in order from the first payload byte; stops at the first that does not
// fit and returns false.
inline bool ReadTuple(const CMessage&, hcbase::Tuple0*) { return true; }
template <class A>
bool ReadTuple(const CMessage& m, hcbase::Tuple1<A>* t) {
  const char* it = nullptr;
  return ReadParam(m, &it, &t->a);
}
template <class A, class B>
bool ReadTuple(const CMessage& m, hcbase::Tuple2<A, B>* t) {
  const char* it = nullptr;
  return ReadParam(m, &it, &t->a) && ReadParam(m, &it, &t->b);
}
template <class A, class B, class C>
bool ReadTuple(const CMessage& m, hcbase::Tuple3<A, B, C>* t) {
  const char* it = nullptr;
  return ReadParam(m, &it, &t->a) && ReadParam(m, &it, &t->b) && ReadParam(m, &it, &t->c);
}

// A message whose payload is the members of `params`, written in order by the constructor.
// The tuple is kept (a heap copy, deleted with the message) so that the sender's arguments
// can be looked at after the fact.
template <class Tuple>
class CMessageWithTuple : public CMessage {
 public:
  CMessageWithTuple(bool sync, uint32_t type, const Tuple& tuple)
      : CMessage(sync, type), params(new Tuple(tuple)) {
    // A failed write leaves a shorter payload, which the receiver refuses as malformed.
    WriteTuple(this, *params);
  }
  ~CMessageWithTuple() override { delete params; }

  Tuple* params;
};

// The first message on every channel: the sender's process id, routing id 0.
class CMsgHello : public CMessageWithTuple<hcbase::Tuple1<int32_t>> {
 public:
  explicit CMsgHello(int32_t process_id)
      : CMessageWithTuple(false, kMessageTypeHello, hcbase::Tuple1<int32_t>{process_id}) {}
};

}  // namespace IPC

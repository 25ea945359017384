// hcbase::Tuple0 to Tuple3: plain aggregates holding copies of a task's bound arguments, and
// DispatchToMethod, which calls a member function with a tuple's members in order.
// Plain data: a tuple belongs to one task and is used on the thread that runs it.
#pragma once

namespace hcbase {

struct Tuple0 {};

template <class A>
struct Tuple1 {
  A a;
};

template <class A, class B>
struct Tuple2 {
  A a;
  B b;
};

template <class A, class B, class C>
struct Tuple3 {
  A a;
  B b;
  C c;
};

// The members are passed as lvalues, so a method that takes a reference sees the tuple's copy.
template <class T, class Method>
void DispatchToMethod(T* object, Method method, Tuple0&) {
  (object->*method)();
}
template <class T, class Method, class A>
void DispatchToMethod(T* object, Method method, Tuple1<A>& t) {
  (object->*method)(t.a);
}
template <class T, class Method, class A, class B>
void DispatchToMethod(T* object, Method method, Tuple2<A, B>& t) {
  (object->*method)(t.a, t.b);
}
template <class T, class Method, class A, class B, class C>
void DispatchToMethod(T* object, Method method, Tuple3<A, B, C>& t) {
  (object->*method)(t.a, t.b, t.c);
}

}  // namespace hcbase

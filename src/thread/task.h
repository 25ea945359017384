// Tasks: the named units of work that cross threads.
//
// `Thread::CTask` carries a name and a `Run`. `CPtrTask` binds a member function of a target
// object with copies of its arguments (an hcbase tuple) and holds a reference on the target
// for its whole life, so the target stays alive until the task has run or been dropped.
// `NewTask` builds one; the name is the text of the member-function reference it runs:
//
//   Thread::CTask* task = Thread::NewTask(this, &CExtensionMgrImpl::InstallExtension_BackThread,
//       u"&CExtensionMgrImpl::InstallExtension_BackThread", id, flags);
//   if (task) Thread::PostTask(Thread::kThreadExtensionManager, task);
//
// `NewFuncTask` wraps any callable as a task named "func": the form a listener callback takes
// when it must run on another thread.
//
// Ownership: whoever receives a posted task (a loop, a proxy, the thread service) owns it and
// deletes it after Run has returned, or without running it when it cannot be delivered.
// A task is run on one thread; building it and handing it over may happen on any thread.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "thread/tuple.h"

namespace Thread {

class CTask {
 public:
  explicit CTask(const char16_t* task_name) : name(task_name) {}
  CTask(const CTask&) = delete;
  CTask& operator=(const CTask&) = delete;
  virtual ~CTask() = default;
  virtual void Run() = 0;

  const char16_t* name;  // a literal: never freed, never parsed
};

// A task bound to a target object, on which it holds one reference.
template <class T>
class CPtrTaskBase : public CTask {
 public:
  CPtrTaskBase(T* task_target, const char16_t* task_name) : CTask(task_name), target(task_target) {
    if (target) target->AddRef();
  }
  ~CPtrTaskBase() override {
    if (target) target->Release();
  }

  T* target;
};

// Calls `method` on the target with the members of `params` (owned, deleted with the task).
// The method's return value, if any, is discarded.
template <class T, class Method, class Params>
class CPtrTask final : public CPtrTaskBase<T> {
 public:
  CPtrTask(T* task_target, Method task_method, const char16_t* task_name, Params* task_params)
      : CPtrTaskBase<T>(task_target, task_name), method(task_method), params(task_params) {}
  ~CPtrTask() override { delete params; }
  void Run() override { hcbase::DispatchToMethod(this->target, method, *params); }

  Method method;
  Params* params;
};

// A task that runs a callable; named "func" unless told otherwise.
template <class F>
class CFuncTask final : public CTask {
 public:
  explicit CFuncTask(F f, const char16_t* task_name = u"func")
      : CTask(task_name), fn(std::move(f)) {}
  void Run() override { fn(); }

  F fn;
};

namespace internal {

template <class... P>
struct TupleFor;
template <>
struct TupleFor<> {
  using Type = hcbase::Tuple0;
};
template <class A>
struct TupleFor<A> {
  using Type = hcbase::Tuple1<A>;
};
template <class A, class B>
struct TupleFor<A, B> {
  using Type = hcbase::Tuple2<A, B>;
};
template <class A, class B, class C>
struct TupleFor<A, B, C> {
  using Type = hcbase::Tuple3<A, B, C>;
};

template <class Method>
struct MethodTraits;
template <class R, class C, class... P>
struct MethodTraits<R (C::*)(P...)> {
  using Params = typename TupleFor<std::decay_t<P>...>::Type;
  static constexpr size_t kArity = sizeof...(P);
};
template <class R, class C, class... P>
struct MethodTraits<R (C::*)(P...) const> : MethodTraits<R (C::*)(P...)> {};

// Converts implicitly (as passing the argument to the method would), but without the
// narrowing check of brace initialisation.
template <class To>
To Implicit(To value) {
  return value;
}

template <class Params>
struct ParamsMaker;
template <>
struct ParamsMaker<hcbase::Tuple0> {
  static hcbase::Tuple0* Make() { return new (std::nothrow) hcbase::Tuple0{}; }
};
template <class A>
struct ParamsMaker<hcbase::Tuple1<A>> {
  template <class X>
  static hcbase::Tuple1<A>* Make(X&& x) {
    return new (std::nothrow) hcbase::Tuple1<A>{Implicit<A>(std::forward<X>(x))};
  }
};
template <class A, class B>
struct ParamsMaker<hcbase::Tuple2<A, B>> {
  template <class X, class Y>
  static hcbase::Tuple2<A, B>* Make(X&& x, Y&& y) {
    return new (std::nothrow)
        hcbase::Tuple2<A, B>{Implicit<A>(std::forward<X>(x)), Implicit<B>(std::forward<Y>(y))};
  }
};
template <class A, class B, class C>
struct ParamsMaker<hcbase::Tuple3<A, B, C>> {
  template <class X, class Y, class Z>
  static hcbase::Tuple3<A, B, C>* Make(X&& x, Y&& y, Z&& z) {
    return new (std::nothrow)
        hcbase::Tuple3<A, B, C>{Implicit<A>(std::forward<X>(x)), Implicit<B>(std::forward<Y>(y)),
                                Implicit<C>(std::forward<Z>(z))};
  }
};

}  // namespace internal

// Builds a CPtrTask that calls `method` on `target` with copies of `args`. Returns null only
// when memory runs out; the caller then posts nothing.
template <class T, class Method, class... A>
CTask* NewTask(T* target, Method method, const char16_t* name, A&&... args) {
  using Traits = internal::MethodTraits<Method>;
  using Params = typename Traits::Params;
  static_assert(Traits::kArity == sizeof...(A), "NewTask: one argument per method parameter");
  // Each argument is copied into the tuple as the method's parameter type, so a reference
  // parameter gets the task's own copy of the value.
  Params* params = internal::ParamsMaker<Params>::Make(std::forward<A>(args)...);
  if (!params) return nullptr;
  CTask* task = new (std::nothrow) CPtrTask<T, Method, Params>(target, method, name, params);
  if (!task) delete params;
  return task;
}

template <class F>
CTask* NewFuncTask(F&& fn, const char16_t* name = u"func") {
  return new (std::nothrow) CFuncTask<std::decay_t<F>>(std::forward<F>(fn), name);
}

}  // namespace Thread

#include "update/carry_info.h"

#include <utility>

#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/threads.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace Logic {

// The download object's event sink. The engine holds it; it holds its object only weakly.
class CarryProxy : public halcy::ComObjectRoot, public IDownloadEvents {
 public:
  HALCY_BEGIN_INTERFACES(CarryProxy)
  HALCY_INTERFACE(CarryProxy, IDownloadEvents)
  HALCY_END_INTERFACES()

  CarryProxy(CCoCarryInfo* owner, uint64_t run) : owner_(owner), run_(run) {}

  // Cuts the link; after it returns no event reaches the object.
  void Detach() {
    base::CAutoLock hold(lock_);
    owner_ = nullptr;
  }

  HRESULT OnStatusChange(LONG status) override {
    if (ComPtr<CCoCarryInfo> owner = Owner()) owner->OnEngineStatus(run_, status);
    return S_OK;
  }
  HRESULT OnProgress(double received, double total) override {
    if (ComPtr<CCoCarryInfo> owner = Owner()) owner->OnEngineProgress(run_, received, total);
    return S_OK;
  }
  HRESULT OnError(HRESULT error) override {
    if (ComPtr<CCoCarryInfo> owner = Owner()) owner->OnEngineError(run_, error);
    return S_OK;
  }

 private:
  // A counted reference to the object, or null once detached. An object whose count already
  // reached zero is about to detach in its FinalRelease, which waits for `lock_`: a first
  // reference taken here (count back to 1) means exactly that, and the object is left alone.
  ComPtr<CCoCarryInfo> Owner() {
    base::CAutoLock hold(lock_);
    if (!owner_ || owner_->AddRef() == 1) return nullptr;
    return AdoptRef(owner_);
  }

  base::CLock lock_;
  CCoCarryInfo* owner_ GUARDED_BY(lock_);
  const uint64_t run_;  // Constant after construction
};

// What Start sets up and Stop takes down.
struct CCoCarryInfo::Connection {
  ComPtr<IDownloadEngine> engine;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  ComPtr<CarryProxy> proxy;
};

CCoCarryInfo::CCoCarryInfo() = default;
CCoCarryInfo::~CCoCarryInfo() = default;

void CCoCarryInfo::FinalRelease() { Stop(1); }

HRESULT CCoCarryInfo::SetText(BSTR text, TextField* field) {
  if (!text) return E_FAIL;
  base::CAutoLock hold(lock_);
  field->text.assign(text, SysStringLen(text));
  field->set = true;
  return S_OK;
}

HRESULT CCoCarryInfo::GetText(const TextField& field, BSTR* out) {
  if (!out) return E_POINTER;
  base::CAutoLock hold(lock_);
  *out = nullptr;
  if (!field.set) return S_OK;
  *out = SysAllocStringLen(field.text.data(), static_cast<UINT>(field.text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

template <class T>
HRESULT CCoCarryInfo::ReadLocked(const T& field, T* out) const {
  if (!out) return E_POINTER;
  base::CAutoLock hold(lock_);
  *out = field;
  return S_OK;
}

HRESULT CCoCarryInfo::SetUrl(BSTR url) { return SetText(url, &url_); }
HRESULT CCoCarryInfo::GetUrl(BSTR* url) { return GetText(url_, url); }
HRESULT CCoCarryInfo::SetFilePath(BSTR path) { return SetText(path, &file_path_); }
HRESULT CCoCarryInfo::GetFilePath(BSTR* path) { return GetText(file_path_, path); }

HRESULT CCoCarryInfo::SetOption(LONG option) {
  base::CAutoLock hold(lock_);
  option_ = option;
  return S_OK;
}

HRESULT CCoCarryInfo::GetStatus(LONG* status) {
  if (!status) return E_INVALIDARG;
  return ReadLocked(status_, status);
}
HRESULT CCoCarryInfo::GetReceived(double* received) { return ReadLocked(received_, received); }
HRESULT CCoCarryInfo::GetTotal(double* total) { return ReadLocked(total_, total); }

HRESULT CCoCarryInfo::SetListener(ICarryListener* listener) {
  if (!listener) return E_FAIL;
  ComPtr<ICarryListener> previous(listener);
  base::CAutoLock hold(lock_);
  listener_.Swap(previous);
  listener_thread_ = GetCurrentThreadId();
  return S_OK;  // `previous` is released after the lock (destroyed after `hold`)
}

HRESULT CCoCarryInfo::ClearListener() {
  ComPtr<ICarryListener> previous;
  base::CAutoLock hold(lock_);
  listener_.Swap(previous);
  return S_OK;
}

HRESULT CCoCarryInfo::Start() {
  {
    base::CAutoLock hold(lock_);
    if (url_.text.empty() || file_path_.text.empty()) return E_INVALIDARG;
    if (engine_) return E_UNEXPECTED;
  }
  Connection connection;
  HRESULT hr = Connect(&connection);
  if (FAILED(hr)) return hr;
  {
    base::CAutoLock hold(lock_);
    engine_ = connection.engine;
    point_ = connection.point;
    cookie_ = connection.cookie;
    proxy_ = connection.proxy;
  }
  hr = connection.engine->Start();
  if (FAILED(hr)) Stop(0);
  return hr;
}

// Creates the engine, subscribes a new sink for a new run and hands it URL and path.
HRESULT CCoCarryInfo::Connect(Connection* connection) {
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = Util::Com::CreateObjectByIID(IDownloadEngine::kIID,
                                            connection->engine.ReleaseAndGetVoidAddress());
  if (SUCCEEDED(hr)) hr = connection->engine.As(&container);
  if (SUCCEEDED(hr)) {
    hr = container->FindConnectionPoint(IDownloadEvents::kIID,
                                        connection->point.ReleaseAndGetAddressOf());
  }
  if (FAILED(hr)) return hr;
  halcy::ScopedBstr url;
  halcy::ScopedBstr path;
  {
    base::CAutoLock hold(lock_);
    url.Reset(SysAllocStringLen(url_.text.data(), static_cast<UINT>(url_.text.size())));
    path.Reset(
        SysAllocStringLen(file_path_.text.data(), static_cast<UINT>(file_path_.text.size())));
    connection->proxy = halcy::MakeComObject<CarryProxy>(this, ++run_);
    status_ = kDownloadIdle;
    received_ = 0.0;
    total_ = 0.0;
  }
  if (!url.Get() || !path.Get() || !connection->proxy) return E_OUTOFMEMORY;
  hr = connection->point->Advise(static_cast<IDownloadEvents*>(connection->proxy.Get()),
                                 &connection->cookie);
  if (SUCCEEDED(hr)) hr = connection->engine->SetUrl(url.Get());
  if (SUCCEEDED(hr)) hr = connection->engine->SetFilePath(path.Get());
  if (FAILED(hr)) Disconnect(connection, 0);
  return hr;
}

void CCoCarryInfo::Disconnect(Connection* connection, LONG flag) {
  if (connection->proxy) connection->proxy->Detach();
  if (connection->engine) connection->engine->Stop(flag ? VARIANT_TRUE : VARIANT_FALSE);
  // Unsubscribing fails only for a subscription that never was; nothing to undo then.
  if (connection->point && connection->cookie) connection->point->Unadvise(connection->cookie);
  *connection = Connection();
}

HRESULT CCoCarryInfo::Stop(LONG flag) {
  Connection connection;
  {
    base::CAutoLock hold(lock_);
    connection.engine = std::move(engine_);
    connection.point = std::move(point_);
    connection.cookie = std::exchange(cookie_, 0);
    connection.proxy = std::move(proxy_);
    ++run_;
    if (connection.engine && status_ != kDownloadComplete && status_ != kDownloadFailed) {
      status_ = kDownloadStopped;
    }
  }
  Disconnect(&connection, flag);
  return S_OK;
}

void CCoCarryInfo::OnEngineStatus(uint64_t run, LONG status) {
  {
    base::CAutoLock hold(lock_);
    if (run != run_) return;
    status_ = status;
  }
  Notify(run, [status](ICarryListener* listener, ICarryInfo* info) {
    listener->OnCarryStatus(info, status);
  });
}

void CCoCarryInfo::OnEngineProgress(uint64_t run, double received, double total) {
  {
    base::CAutoLock hold(lock_);
    if (run != run_) return;
    received_ = received;
    total_ = total;
  }
  Notify(run, [received, total](ICarryListener* listener, ICarryInfo* info) {
    listener->OnCarryProgress(info, received, total);
  });
}

void CCoCarryInfo::OnEngineError(uint64_t run, HRESULT error) {
  Notify(run, [error](ICarryListener* listener, ICarryInfo* info) {
    listener->OnCarryError(info, error);
  });
}

template <class F>
void CCoCarryInfo::Notify(uint64_t run, F call) {
  DWORD thread_id;
  {
    base::CAutoLock hold(lock_);
    if (!listener_) return;
    thread_id = listener_thread_;
  }
  if (thread_id == GetCurrentThreadId()) {
    DeliverNow(run, call);
    return;
  }
  ComPtr<CCoCarryInfo> self(this);  // the task keeps the object until it has run
  Thread::CTask* task =
      Thread::NewFuncTask([self, run, call] { self->DeliverNow(run, call); }, u"FunName");
  // The thread service owns the task whatever the result; a thread that is gone means the
  // listener's thread has ended and there is nobody left to tell.
  if (task) Thread::PostTaskToThread(thread_id, task);
}

template <class F>
void CCoCarryInfo::DeliverNow(uint64_t run, const F& call) {
  ComPtr<ICarryListener> listener;
  {
    base::CAutoLock hold(lock_);
    if (run != run_) return;
    listener = listener_;
  }
  // The listener's result is its own business: a notification has no one to report to.
  if (listener) call(listener.Get(), static_cast<ICarryInfo*>(this));
}

}  // namespace Logic

// The system's accessible object of a control (oleacc's proxy, which knows
// its role, state, value and place) wrapped so that only its name differs.
// oleacc.dll (and oleaut32.dll for the name's string) are loaded when an
// assistive technology first asks, not at every start of the program.
#include <windows.h>
// after windows.h, which it needs
#include <oleacc.h>

#include <atomic>
#include <string>

#include "platform/win32/accessible.h"

namespace platform::win32 {

namespace {

struct Oleacc {
  using CreateStdFn = HRESULT(WINAPI*)(HWND, LONG, REFIID, void**);
  using LresultFn = LRESULT(WINAPI*)(REFIID, WPARAM, LPUNKNOWN);
  using AllocStringFn = BSTR(WINAPI*)(const OLECHAR*, UINT);
  CreateStdFn createStd = nullptr;
  LresultFn lresult = nullptr;
  AllocStringFn allocString = nullptr;
  Oleacc() {
    HMODULE oleacc = ::LoadLibraryW(L"oleacc.dll");
    HMODULE oleaut = ::LoadLibraryW(L"oleaut32.dll");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    if (oleacc) createStd = reinterpret_cast<CreateStdFn>(::GetProcAddress(oleacc, "CreateStdAccessibleObject"));
    if (oleacc) lresult = reinterpret_cast<LresultFn>(::GetProcAddress(oleacc, "LresultFromObject"));
    if (oleaut) allocString = reinterpret_cast<AllocStringFn>(::GetProcAddress(oleaut, "SysAllocStringLen"));
#pragma GCC diagnostic pop
  }
  bool Usable() const { return createStd && lresult && allocString; }
};

const Oleacc& O() {
  static const Oleacc oleacc;
  return oleacc;
}

// The interface ids by __uuidof: the import library of oleacc.dll also has a
// symbol IID_IAccessible (the DLL's export), which the linker may pick first.
bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

// COM objects are freed by their own Release, never through a pointer to
// the interface: its destructor is not virtual by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class NamedAccessible final : public IAccessible {
public:
  NamedAccessible(IAccessible* inner, std::wstring name) : inner_(inner), name_(std::move(name)) {}
  NamedAccessible(const NamedAccessible&) = delete;
  NamedAccessible& operator=(const NamedAccessible&) = delete;

  // IUnknown: one identity for IUnknown, IDispatch and IAccessible; anything
  // else (IEnumVARIANT for the children, for one) is the inner object's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IDispatch)) ||
        IsEqualIID(iid, __uuidof(IAccessible))) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return inner_->GetTypeInfoCount(count); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return inner_->GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return inner_->GetIDsOfNames(iid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* info, UINT* argError) override {
    return inner_->Invoke(id, iid, lcid, flags, params, result, info, argError);
  }

  // IAccessible
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (!IsSelf(child)) return inner_->get_accName(child, name);
    if (!name) return E_POINTER;
    *name = O().allocString(name_.data(), static_cast<UINT>(name_.size()));
    return *name ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override { return inner_->get_accParent(parent); }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override { return inner_->get_accChildCount(count); }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
    return inner_->get_accChild(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    return inner_->get_accValue(child, value);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
    return inner_->get_accDescription(child, text);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    return inner_->get_accRole(child, role);
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    return inner_->get_accState(child, state);
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override { return inner_->get_accHelp(child, help); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
    return inner_->get_accHelpTopic(file, child, topic);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* keys) override {
    return inner_->get_accKeyboardShortcut(child, keys);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override { return inner_->get_accFocus(child); }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override { return inner_->get_accSelection(children); }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
    return inner_->get_accDefaultAction(child, action);
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override { return inner_->accSelect(flags, child); }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) override {
    return inner_->accLocation(left, top, width, height, child);
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
    return inner_->accNavigate(direction, start, end);
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
    return inner_->accHitTest(x, y, child);
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override { return inner_->accDoDefaultAction(child); }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override { return inner_->put_accName(child, name); }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
    return inner_->put_accValue(child, value);
  }

private:
  ~NamedAccessible() { inner_->Release(); }
  IAccessible* inner_;
  std::wstring name_;
  std::atomic<ULONG> refs_{1};
};
#pragma GCC diagnostic pop

}  // namespace

LRESULT AnswerWithName(HWND window, WPARAM wParam, LPARAM lParam, const std::wstring& name) {
  if (static_cast<LONG>(lParam) != OBJID_CLIENT || !O().Usable()) return 0;
  IAccessible* inner = nullptr;
  if (FAILED(O().createStd(window, OBJID_CLIENT, __uuidof(IAccessible), reinterpret_cast<void**>(&inner))) || !inner)
    return 0;
  auto* named = new NamedAccessible(inner, name);
  LRESULT answer = O().lresult(__uuidof(IAccessible), wParam, static_cast<IAccessible*>(named));
  named->Release();  // the answer holds its own reference
  return answer > 0 ? answer : 0;
}

}  // namespace platform::win32

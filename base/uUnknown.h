// Reference-counted interface objects. Ownership is std::shared_ptr; "asking an object for an
// interface" is a checked cross-cast, so an object that implements several interfaces hands out
// each of them from any one it was reached through.
#pragma once
#include "base/uStatus.h"

#include <memory>

class IUnknownBase {
public:
  virtual ~IUnknownBase() = default;
};

// Every interface derives virtually from IUnknownBase so that objects implementing several of
// them still convert unambiguously to std::shared_ptr<IUnknownBase>.
template <class I, class T>
HRESULT QueryInterface(const std::shared_ptr<T>& object, std::shared_ptr<I>& out) {
  out.reset();
  if (!object) return E_POINTER;
  out = std::dynamic_pointer_cast<I>(object);
  return out ? S_OK : E_NOINTERFACE;
}

template <class I, class T> std::shared_ptr<I> QueryInterface(const std::shared_ptr<T>& object) {
  return std::dynamic_pointer_cast<I>(object);
}

// The progress sink through which long operations report to whoever runs them (the window, the
// command line). Texts are UTF-8 and carry their own line ends.
#pragma once
#include "base/uLogColours.h"
#include "base/uUnknown.h"

#include <cstdint>
#include <string>

class IAvrEvent : public virtual IUnknownBase {
public:
  virtual HRESULT SetProgress(int32_t position) = 0; // 0..100; 0 also resets the display
  virtual HRESULT SetStatusText(const std::string& text) = 0;
  virtual HRESULT AddMessage(const std::string& text, uint32_t colour) = 0;
  virtual HRESULT Idle() = 0;
};

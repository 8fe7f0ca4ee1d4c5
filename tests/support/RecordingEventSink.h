// A progress sink that records every call, for tests of code that reports progress: the ISP
// layer's IAvrEvent, or any interface of the same four calls (the controller's IProgressSink).
#pragma once
#include "core/uAvr_base_TLB.h"

#include <string>
#include <utility>
#include <vector>

template <class TSink> class TRecordingSinkOf : public TSink {
public:
  HRESULT SetProgress(int32_t position) override {
    progress.push_back(position);
    calls.push_back("progress " + std::to_string(position));
    return S_OK;
  }
  HRESULT SetStatusText(const std::string& text) override {
    status_texts.push_back(text);
    calls.push_back("status " + text);
    return S_OK;
  }
  HRESULT AddMessage(const std::string& text, uint32_t colour) override {
    messages.emplace_back(text, colour);
    calls.push_back("message " + text);
    return S_OK;
  }
  HRESULT Idle() override {
    ++idles;
    calls.push_back("idle");
    return idles == fail_idle_at ? idle_failure : S_OK;
  }

  int fail_idle_at = -1; // the n-th Idle (1-based) returns idle_failure, as a cancel would
  HRESULT idle_failure = static_cast<HRESULT>(0x80004004u);

  std::vector<int32_t> progress;
  std::vector<std::string> status_texts;
  std::vector<std::pair<std::string, uint32_t>> messages;
  std::vector<std::string> calls;
  int idles = 0;
};

using TRecordingEventSink = TRecordingSinkOf<IAvrEvent>;

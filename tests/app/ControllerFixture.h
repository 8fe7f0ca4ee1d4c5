// The controller on a simulated port, with the shipped device database, a virtual clock (no real
// page or reset waits) and a scratch directory for the simulated chip's state file.
#pragma once
#include "app/uController.h"
#include "core/uSpiBus_base.h"
#include "core/uWait.h"
#include "memimage/uAvrMemFile.h"
#include "sim/uSimPorts.h"
#include "sim/uSpiBus_Sim.h"
#include "tests/support/RecordingEventSink.h"
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

inline void PrintTo(TCommandResult result, std::ostream* os) {
  static const char* const names[] = {"Done", "Failed", "Declined", "Refused", "NoChip"};
  *os << names[static_cast<int>(result)];
}

struct TLogLine {
  std::string text;
  uint32_t colour;
  friend bool operator==(const TLogLine&, const TLogLine&) = default;
  friend std::ostream& operator<<(std::ostream& os, const TLogLine& line) {
    return os << "{\"" << line.text << "\", 0x" << std::hex << line.colour << std::dec << "}";
  }
};

class TRecordingLog : public ILogSink {
public:
  void LogStatus(const std::string& text, uint32_t colour) override { lines.push_back({text, colour}); }
  std::vector<TLogLine> lines;
};

class TScriptedConfirm : public IConfirm {
public:
  bool AskYesNo(const std::string& question) override {
    questions.push_back(question);
    return answer;
  }
  bool answer = true;
  std::vector<std::string> questions;
};

// A progress sink whose Idle can run code, the way the window's Idle processes clicks.
class TScriptedEventSink : public TRecordingSinkOf<IProgressSink> {
public:
  HRESULT Idle() override {
    TRecordingSinkOf<IProgressSink>::Idle();
    if (on_idle) on_idle();
    return S_OK;
  }
  std::function<void()> on_idle;
};

constexpr const char* kShippedDatabase = PINLET_SOURCE_DIR "/resources/CpuSignatures.xml";

// The fastest level a new chip's 1 MHz allows (sdFast): the clock is virtual, so it costs nothing.
constexpr uint8_t kConnectSpeed = 2;

class ControllerTest : public ::testing::Test {
protected:
  ControllerTest() : clock_(std::make_shared<TVirtualClock>()), scoped_clock_(clock_) {
    if (const char* old = std::getenv("XDG_STATE_HOME")) saved_state_home_ = old;
    setenv("XDG_STATE_HOME", state_dir_.Path().c_str(), 1);
    ResetSimPorts();
    controller_.DatabasePath = kShippedDatabase;
    controller_.SetEventSink(events_);
    // The bus stays the controller's; the tests look at it through the factory that made it.
    controller_.BusFactory = [this, made = controller_.BusFactory](const std::string& name,
                                                                   const std::string& database_path,
                                                                   std::string& detail) {
      std::unique_ptr<TSpiBusBase> bus = made(name, database_path, detail);
      bus_ = bus.get();
      return bus;
    };
  }
  ~ControllerTest() override {
    controller_.Free();
    ResetSimPorts();
    if (saved_state_home_)
      setenv("XDG_STATE_HOME", saved_state_home_->c_str(), 1);
    else
      unsetenv("XDG_STATE_HOME");
  }

  void Connect(const std::string& chip = kDefaultSimChip) {
    ASSERT_EQ(SetSimPortChip(1, chip), S_OK);
    // The fastest level a new chip's 1 MHz allows, so that no speed warning joins the logs.
    ASSERT_EQ(controller_.Init("SIM1", kConnectSpeed, false), TCommandResult::Done);
    log_.lines.clear();
  }
  // The open bus, null when there is none.
  TSpiBusBase* Bus() const { return controller_.HasBus() ? bus_ : nullptr; }
  TSimAvrChip& Chip() {
    auto* bus = dynamic_cast<TSpiBus_Sim*>(Bus());
    if (!bus || !bus->Chip()) throw std::runtime_error("no simulated chip connected");
    return *bus->Chip();
  }
  TSpiBus_Sim& SimBus() { return dynamic_cast<TSpiBus_Sim&>(*Bus()); }

  std::string TempFile(const std::string& name) const { return work_dir_.Path() + "/" + name; }
  std::string WriteTextFile(const std::string& name, const std::string& text) const {
    const std::string path = TempFile(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // Loads bytes into the meta memory through a .ucm file, the way a user would.
  void LoadBytes(const std::vector<uint8_t>& bytes) {
    const std::string path = TempFile("image.ucm");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_EQ(controller_.LoadFile(path), TCommandResult::Done);
    log_.lines.clear();
  }
  std::vector<uint8_t> MetaBytes() const {
    std::vector<uint8_t> bytes;
    auto meta = controller_.MetaMemory();
    if (!meta) return bytes;
    int32_t size = 0;
    meta->GetSize(&size);
    int32_t position = 0;
    meta->GetPosition(&position);
    meta->Rewind();
    for (int32_t i = 0; i < size; ++i) {
      uint8_t b = 0;
      meta->GetByte(&b);
      bytes.push_back(b);
    }
    meta->Seek(position, 0, nullptr);
    return bytes;
  }
  bool LogHas(const TLogLine& line) const {
    for (const auto& l : log_.lines)
      if (l == line) return true;
    return false;
  }

  std::shared_ptr<TVirtualClock> clock_;
  TScopedWaitClock scoped_clock_;
  TScratchDir state_dir_;
  TScratchDir work_dir_;
  std::optional<std::string> saved_state_home_;
  TRecordingLog log_;
  TScriptedConfirm confirm_;
  std::shared_ptr<TScriptedEventSink> events_ = std::make_shared<TScriptedEventSink>();
  TPinletController controller_{log_, confirm_};
  TSpiBusBase* bus_ = nullptr; // the last bus the factory made
};

inline std::vector<uint8_t> PatternBytes(size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + seed + (i >> 8));
  return bytes;
}

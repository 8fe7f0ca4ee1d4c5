#include "fakes/FakeGpio.h"

#include "core/uWait.h"
#include "sim/uSimChip.h"

#include <cerrno>

int TFakeGpioChip::Level(unsigned offset) const {
  if (offset >= lines.size()) return 1;
  const TFakeGpioLine& line = lines[offset];
  if (line.stuck >= 0) return line.stuck;
  if (line.output) return line.value;
  if (int(offset) == wiring.miso) {
    if (wiring.miso_follows >= 0 && wiring.miso_follows != wiring.miso)
      return Level(unsigned(wiring.miso_follows));
    // An undriven MISO floats high.
    return chip != nullptr ? (chip->Miso() != 0) != wiring.invert_miso : 1;
  }
  if (int(offset) == wiring.reset) return 1; // the AVR's pull-up on RESET
  return line.value;                         // a released output floats where it was
}

int TFakeGpioChip::Find(const std::string& prefix, size_t from) const {
  for (size_t i = from; i < events.size(); ++i)
    if (events[i].rfind(prefix, 0) == 0) return int(i);
  return -1;
}

void TFakeGpioChip::DriveChip() {
  if (chip == nullptr) return;
  if (wiring.reset >= 0)
    chip->SetReset(((Level(unsigned(wiring.reset)) != 0) != wiring.invert_reset) ? 0 : 1);
  if (wiring.mosi >= 0) chip->SetMosi(uint8_t((Level(unsigned(wiring.mosi)) != 0) != wiring.invert_mosi));
  if (wiring.sck >= 0) chip->SetSck(uint8_t((Level(unsigned(wiring.sck)) != 0) != wiring.invert_sck));
}

namespace {

// A line call: counted, timed, and refused once the chip has "gone".
bool StartCall(TFakeGpioChip& model) {
  ++model.calls;
  if (model.clock) model.clock->Advance(model.ns_per_call);
  return !model.Failing();
}

class TFakeLines final : public IGpioLines {
public:
  TFakeLines(TFakeGpioChip& model, std::vector<unsigned> offsets)
      : model_(model), offsets_(std::move(offsets)) {}
  ~TFakeLines() override {
    std::string event = "release";
    for (unsigned offset : offsets_) {
      TFakeGpioLine& line = model_.lines[offset];
      line.consumer.clear();
      line.output = false;
      event += " " + std::to_string(offset);
    }
    ++model_.releases;
    model_.Record(event + (model_.chip && model_.chip->InProgMode() ? " (chip in reset)" : ""));
    model_.DriveChip();
  }

  int SetValues(const std::vector<int>& values) override {
    ++model_.sets;
    if (!StartCall(model_)) return -model_.fail_errno;
    if (values.size() != offsets_.size()) return -EINVAL;
    std::string event = "set";
    for (size_t i = 0; i < offsets_.size(); ++i) {
      TFakeGpioLine& line = model_.lines[offsets_[i]];
      if (!line.output) return -EPERM; // the kernel refuses to set an input
      line.value = values[i] ? 1 : 0;
      if (model_.keep_events) event += " " + std::to_string(offsets_[i]) + "=" + std::to_string(line.value);
    }
    model_.Record(event);
    model_.DriveChip();
    return 0;
  }

  int GetValue(size_t index) override {
    ++model_.gets;
    if (!StartCall(model_)) return -model_.fail_errno;
    if (index >= offsets_.size()) return -EINVAL;
    return model_.Level(offsets_[index]);
  }

private:
  TFakeGpioChip& model_;
  std::vector<unsigned> offsets_;
};

class TFakeChipHandle final : public IGpioChip {
public:
  explicit TFakeChipHandle(TFakeGpioChip& model) : model_(model) { ++model_.open_handles; }
  ~TFakeChipHandle() override { --model_.open_handles; }

  std::string Name() const override { return model_.name; }
  std::string Label() const override { return model_.label; }
  unsigned NumLines() const override { return unsigned(model_.lines.size()); }
  int FindLine(const std::string& name) override {
    for (size_t i = 0; i < model_.lines.size(); ++i)
      if (model_.lines[i].name == name) return int(i);
    return -ENOENT;
  }
  std::string LineConsumer(unsigned offset) override {
    return offset < model_.lines.size() ? model_.lines[offset].consumer : std::string();
  }
  int RequestOutputs(const std::vector<unsigned>& offsets, const std::vector<int>& initial,
                     const std::string& consumer, std::unique_ptr<IGpioLines>& lines) override {
    if (initial.size() != offsets.size()) return -EINVAL;
    return Request(offsets, &initial, consumer, lines);
  }
  int RequestInputs(const std::vector<unsigned>& offsets, const std::string& consumer,
                    std::unique_ptr<IGpioLines>& lines) override {
    return Request(offsets, nullptr, consumer, lines);
  }

private:
  int Request(const std::vector<unsigned>& offsets, const std::vector<int>* initial,
              const std::string& consumer, std::unique_ptr<IGpioLines>& lines) {
    lines.reset();
    ++model_.requests;
    if (!StartCall(model_)) return -model_.fail_errno;
    if (offsets.empty()) return -EINVAL;
    for (unsigned offset : offsets) {
      if (offset >= model_.lines.size()) return -EINVAL;
      if (model_.Held(offset)) return -EBUSY; // all or none, as the kernel does
    }
    std::string event = "request";
    for (size_t i = 0; i < offsets.size(); ++i) {
      TFakeGpioLine& line = model_.lines[offsets[i]];
      line.consumer = consumer;
      line.output = initial != nullptr;
      if (initial) line.value = (*initial)[i] ? 1 : 0;
      event += " " + std::to_string(offsets[i]) + (initial ? "=" + std::to_string(line.value) : "");
    }
    model_.Record(event);
    model_.DriveChip();
    lines = std::make_unique<TFakeLines>(model_, offsets);
    return 0;
  }

  TFakeGpioChip& model_;
};

} // namespace

TFakeGpioChip& TFakeGpio::AddChip(const std::string& path, unsigned num_lines) {
  TFakeGpioChip& chip = chips_[path];
  const size_t slash = path.rfind('/');
  chip.name = slash == std::string::npos ? path : path.substr(slash + 1);
  chip.label = "fake-gpio";
  chip.lines.resize(num_lines);
  for (unsigned i = 0; i < num_lines; ++i) chip.lines[i].name = "GPIO" + std::to_string(i);
  return chip;
}

int TFakeGpio::OpenHandles() const {
  int count = 0;
  for (const auto& [path, chip] : chips_) count += chip.open_handles;
  return count;
}

int TFakeGpio::RequestedLines() const {
  int count = 0;
  for (const auto& [path, chip] : chips_)
    for (const auto& line : chip.lines) count += line.consumer == kGpioConsumer ? 1 : 0;
  return count;
}

int TFakeGpio::OpenChip(const std::string& path, std::unique_ptr<IGpioChip>& chip) {
  chip.reset();
  const auto found = chips_.find(GpioChipPath(path));
  if (found == chips_.end()) return -ENOENT;
  if (found->second.open_errno != 0) return -found->second.open_errno;
  chip = std::make_unique<TFakeChipHandle>(found->second);
  return 0;
}

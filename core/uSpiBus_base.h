// The bit-banged SPI master. It owns bit timing, byte framing (MSB first), the reset sequence that
// enters programming mode and the choice of clock speed; back ends supply the seven line and port
// operations, and may take over the line seam below them to drive MOSI and SCK together or to
// queue a whole run of frames into one transfer.
#pragma once
#include "base/uStatus.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

enum TSpiSpeed : uint8_t { sdFastest = 0, sdFaster, sdFast, sdNormal, sdSlow, sdSlower, sdSlowest };
constexpr int kSpiSpeedCount = 7;
const char* SpiSpeedName(uint8_t speed);      // "sdNormal", ...; nullptr outside 0..6
uint32_t SpiSpeedHalfPeriodUs(uint8_t speed); // levels above 6 use the slowest delay

constexpr HRESULT SPI_E_NOPORT = 0x9001;
constexpr HRESULT SPI_E_NOHARDWARE = 0x9002;

// Line-inversion flags of Options.
constexpr uint8_t soMosiInverted = 0x01;
constexpr uint8_t soMisoInverted = 0x02;
constexpr uint8_t soSckInverted = 0x04;
constexpr uint8_t soResetInverted = 0x08;

// One four-byte exchange: Out is clocked out MSB first while MISO is sampled at the bits that
// Sample flags. Sample holds one flag per bit clocked, the frame's first bit at bit 31, so that
// byte k's bits are SpiSampleByte(k) and the last bit of the frame is bit 0. Only flagged bits
// cost a sample (a port read on a bit-banged port); the bits of In that were not sampled are 0.
struct TSpiFrame {
  uint8_t Out[4] = {0, 0, 0, 0};
  uint8_t In[4] = {0, 0, 0, 0};
  uint32_t Sample = 0;
};
constexpr uint32_t SpiSampleByte(int index) {
  return 0xFFu << (8 * (3 - index));
}
constexpr TSpiFrame SpiFrame(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint32_t sample = 0) {
  return TSpiFrame{{b1, b2, b3, b4}, {0, 0, 0, 0}, sample};
}

class TSpiBusBase {
public:
  uint32_t ResetPulseTime = 120;  // ms RESET is released before it is asserted
  uint32_t ResetSettleTime = 100; // ms after asserting RESET before the first instruction
  uint8_t Speed = sdNormal;
  uint8_t Options = 0;
  // Leave the target held in reset when the port is closed, where the port can (CanHoldResetAtClose):
  // for a user who wants the chip kept still after programming.
  bool HoldResetAtClose = false;

  // Back ends close their port in their own destructor (a base destructor cannot reach the
  // back end's ClosePort any more).
  virtual ~TSpiBusBase() = default;
  TSpiBusBase(const TSpiBusBase&) = delete;
  TSpiBusBase& operator=(const TSpiBusBase&) = delete;

  // Back-end operations.
  virtual HRESULT OpenPort(int32_t port_number) = 0;
  virtual void ClosePort() = 0;
  virtual HRESULT ProbeHardware() = 0;
  virtual void SetMosi(uint8_t level) = 0;
  virtual bool GetMiso(uint8_t& level) = 0;
  virtual void SetSck(uint8_t level) = 0;
  virtual void SetReset(uint8_t level) = 0;

  // Operations of the base.
  virtual HRESULT CheckHardware();
  // Clocks the frames back to back and fills their In bytes, then rests the lines (SCK low, MOSI
  // high). A run stops at the frame where a line fault or an abort appears: its remaining sampled
  // bits read as an undriven line (1), and SPI_E_NOPORT is returned with the fault remembered.
  // A back end with a controller of its own (hardware SPI) overrides the whole run.
  virtual HRESULT Exchange(TSpiFrame* frames, size_t count);
  virtual HRESULT WriteByte(uint8_t value);
  virtual uint8_t ReadByte();
  virtual HRESULT SetProgMode(bool enable);
  virtual HRESULT GetErrorText(HRESULT code, std::string& text);

  HRESULT WriteBit(uint8_t bit);
  uint8_t ReadBit();
  // WriteByte that also samples MISO at every bit, where ReadBit samples it (half a period after
  // the rising edge): returns what the target shifted out meanwhile. A chip in programming mode
  // echoes an instruction's second byte while the third is clocked in; that echo is how the ISP
  // layer tells a chip that answers from a line that merely rests high or low.
  uint8_t TransferByte(uint8_t value);
  // Whether a MISO sample costs nothing. On a port every sample is one port operation, so the
  // ISP layer checks the echo less often there; a simulated target answers for free.
  virtual bool SamplesAreFree() const { return false; }
  // Only a port whose outputs keep their levels after it is let go (a parallel port's data
  // register) can hold RESET beyond its close; the others give their lines back to the adapter.
  virtual bool CanHoldResetAtClose() const { return false; }
  // How long one SCK phase lasts at a speed level on this back end, in ns, where the back end
  // knows it (a USB bit-bang adapter or an SPI controller clocks from its own oscillator); 0 when
  // only the level's wait is known, the port operations around it being of unknown length.
  virtual uint32_t SckPhaseNs(uint8_t /*level*/) const { return 0; }

  // A port access that failed (a USB adapter unplugged, EIO) is remembered until cleared, so the
  // ISP layer can end a transfer with an error instead of delivering resting-level bytes.
  bool LineFault() const { return line_fault_; }
  void ClearLineFault() { line_fault_ = false; }

  // Why the last open of the port failed, for the user: the device and the reason (a missing
  // driver module, a permission, another program holding it). Empty when nothing is known. The
  // status codes stay the table's; this is the second line of the report. A back end whose
  // SetProgMode(false) can fail (the simulated chip's save) says why here too.
  const std::string& LastErrorText() const { return last_error_text_; }

  // A flag of the front end's (set from a signal handler, hence sig_atomic_t) that, once non-zero,
  // stops the byte operations and the reset sequence from clocking the target: each reports a line
  // fault instead, so the running instruction is the last one. Releasing RESET and closing the
  // port still work. Null: never aborted.
  void SetAbortFlag(const volatile std::sig_atomic_t* flag) { abort_flag_ = flag; }
  bool AbortRequested() const { return abort_flag_ && *abort_flag_ != 0; }

protected:
  TSpiBusBase() = default;
  void ReportLineFault() { line_fault_ = true; }
  void SetLastErrorText(std::string text) { last_error_text_ = std::move(text); }

  // The line seam under every clocked bit. The base calls, per bit: SetLines(bit, 0) (the falling
  // edge and the new data), PhaseWait, SetLines(bit, 1), PhaseWait, and SampleInto for a sampled
  // bit; FlushLines at the end of every byte operation and run, before a result is used.
  //
  // The defaults act at once through SetSck, SetMosi and GetMiso, each called only for a level
  // that changes within one clocked operation (the levels are not trusted across operations:
  // SetProgMode and back ends move lines on their own). A back end whose port sets both lines in
  // one access overrides SetLines; one that queues (a USB bit-bang adapter) overrides all four,
  // runs the queue in FlushLines and delivers the samples there.
  virtual void SetLines(uint8_t mosi, uint8_t sck);
  // Ors mask into byte when MISO reads 1; a failed sample reads 1 and is a line fault.
  virtual void SampleInto(uint8_t& byte, uint8_t mask);
  // Half a clock period; a queuing back end holds the lines in its own time instead.
  virtual void PhaseWait(uint32_t us);
  virtual void FlushLines() {}

private:
  bool Aborted(); // AbortRequested, remembered as a line fault
  // One MISO sample while SCK is high: 0 or 1; a failed port access reads 1 and is a line fault.
  uint8_t SampleMiso();
  // The levels SetLines' default last set within this operation; kUnknownLevel at its start.
  static constexpr uint8_t kUnknownLevel = 0xFF;
  void BeginClocking() { seam_mosi_ = seam_sck_ = kUnknownLevel; }
  // One bit through the seam; SCK is left high.
  void ClockBit(uint8_t bit, uint8_t* in, uint8_t mask);
  // Eight bits MSB first; the bits flagged in sample are sampled into in.
  void ClockByte(uint8_t out, uint8_t sample, uint8_t& in);
  // SCK low and MOSI resting high, then the queue flushed.
  void EndClocking();

  uint8_t seam_mosi_ = kUnknownLevel, seam_sck_ = kUnknownLevel;
  bool line_fault_ = false;
  std::string last_error_text_;
  const volatile std::sig_atomic_t* abort_flag_ = nullptr;
};

// Constructs a back end and opens its port as the last step of construction; the open status is
// deliberately not returned: the owner asks CheckHardware next.
template <class TBus, class... Args> std::unique_ptr<TBus> CreateSpiBus(int32_t port_number, Args&&... args) {
  auto bus = std::make_unique<TBus>(std::forward<Args>(args)...);
  bus->Speed = sdNormal;
  bus->Options = 0;
  bus->ResetPulseTime = 120;
  bus->ResetSettleTime = 100;
  static_cast<void>(bus->OpenPort(port_number));
  return bus;
}

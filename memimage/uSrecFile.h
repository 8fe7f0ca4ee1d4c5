// Motorola S-record text (*.srec, *.s19, *.mot): an S0 header, S1/S2/S3 data records with 16-,
// 24- or 32-bit addresses, S5/S6 record counts and the S9/S8/S7 end records that match them.
#pragma once
#include "memimage/uAvrMemFile.h"

#include <string>

// SREC reader results (beside HEX_E_LENGTH, HEX_E_CHECKSUM and HEX_E_ADDRESS, which mean the same).
constexpr HRESULT SREC_E_NOS = 0xA021;   // a line that does not begin with 'S'
constexpr HRESULT SREC_E_TYPE = 0xA022;  // S4 or a type that is no digit
constexpr HRESULT SREC_E_COUNT = 0xA023; // an S5/S6 count that is not the number of data records
constexpr HRESULT SREC_E_NOEND = 0xA024; // the input ends before an end record

// Written with S1 records (and S9) while the image ends within 64 KiB, the classic S19 form; S2
// (and S8) up to 16 MiB, S3 (and S7) beyond. Only covered bytes are written, 16 to a record at
// most, each record within one 16-byte row.
class TuCSrecFile final : public TuCRecordFile {
protected:
  // Leaves the image's position at its start.
  HRESULT ReadRecords(TStream& source, std::string& detail) override;
  HRESULT WriteRecords(TStream& destination) override;

private:
  HRESULT ReadSrecRecords(TStream& source, std::string& detail);
};

std::shared_ptr<IuCFile> NewSrecFile();
